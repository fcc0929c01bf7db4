#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/types.h>
#include <unistd.h>
#endif

namespace {

const QString standInPath = QStringLiteral(ZUVA_BIN_DIR "/standin-caster");

// Fields of /proc/<pid>/stat after the command name: state, parent pid, ... Empty once the process is gone.
QList<QByteArray> procStat(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray stat = file.readAll();
    return stat.mid(stat.lastIndexOf(')') + 2).split(' ');
}

bool alive(qint64 pid)
{
    const QList<QByteArray> stat = procStat(pid);
    return !stat.isEmpty() && stat.at(0) != "Z";
}

void killPid(qint64 pid)
{
#ifdef Q_OS_UNIX
    ::kill(pid_t(pid), SIGKILL);
#else
    Q_UNUSED(pid)
#endif
}

// A read can fall between the stand-in's truncate and its write: take only a whole file that held still.
struct Snapshot
{
    QByteArray bytes;
    QDateTime modified;
};

Snapshot snapshot(const QString &path)
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        const QDateTime before = QFileInfo(path).lastModified();
        QFile file(path);
        const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        if (!bytes.isEmpty() && QFileInfo(path).lastModified() == before)
            return {bytes, before};
        QTest::qSleep(5);
    }
    return {};
}

// One started program per test; whatever way the test leaves, it ends every process in the pid file.
class Started
{
public:
    Started(const QString &pidFile, const QStringList &knobs, const QString &program = standInPath,
            const QStringList &arguments = {})
        : m_pidFile(pidFile)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        const QStringList inherited = env.keys();
        for (const QString &key : inherited) {
            if (key.startsWith(QLatin1String("STANDIN_")))
                env.remove(key);
        }
        env.insert(QStringLiteral("STANDIN_PIDFILE"), pidFile);
        for (const QString &knob : knobs)
            env.insert(knob.section(QLatin1Char('='), 0, 0), knob.section(QLatin1Char('='), 1));
        process.setProcessEnvironment(env);
        process.start(program, arguments);
    }

    ~Started()
    {
        for (qint64 pid : pids()) {
            QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
            // Only what is still ours: a pid that ended long ago may belong to someone else by now.
            if (cmdline.open(QIODevice::ReadOnly)) {
                const QByteArray line = cmdline.readAll();
                if (line.contains("standin-caster") || line.contains("sleep"))
                    killPid(pid);
            }
        }
        // A shell in front of the stand-in gets the moment to reap it before it goes itself.
        if (!process.waitForFinished(1000))
            process.kill();
        process.waitForFinished();
    }

    QList<qint64> pids() const
    {
        QFile file(m_pidFile);
        QList<qint64> pids;
        if (file.open(QIODevice::ReadOnly)) {
            for (const QByteArray &line : file.readAll().split('\n')) {
                if (!line.isEmpty())
                    pids.append(line.toLongLong());
            }
        }
        return pids;
    }

    QProcess process;

private:
    const QString m_pidFile;
};

} // namespace

class TestStandIn : public QObject
{
    Q_OBJECT

public:
    explicit TestStandIn(const QString &home)
        : m_home(home)
    {
    }

private slots:
    void initTestCase();
    void init();
    void rewrites_data();
    void rewrites();
    void exitsAfter_data();
    void exitsAfter();
    void pidFileListsEveryProcess_data();
    void pidFileListsEveryProcess();
    void childOutlivesStandIn();
    void chattyKeepsItsRate();
    void chattySurvivesPipeWithoutReader();

private:
    const QString m_home;
    QString m_settings;
    QString m_pidFile;
};

void TestStandIn::initTestCase()
{
#ifdef Q_OS_WIN
    QSKIP("QSettings finds the Windows profile through the shell, not the environment: this would touch a "
          "real one");
#endif
    QVERIFY(QFileInfo(standInPath).isExecutable());
    m_settings = QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("MORQ"),
                           QStringLiteral("brindleCast"))
                     .fileName();
    // Never the real home: main() pointed the user folders at a scratch folder before QSettings looked.
    QCOMPARE(m_settings, m_home + QLatin1String("/config/MORQ/brindleCast.ini"));
    m_pidFile = m_home + QLatin1String("/pids");
}

void TestStandIn::init()
{
    QFile::remove(m_settings);
    QFile::remove(m_pidFile);
}

void TestStandIn::rewrites_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("newTime");
    QTest::addColumn<bool>("newBytes");
    QTest::newRow("normal") << QStringLiteral("normal") << true << true;
    QTest::newRow("same") << QStringLiteral("same") << true << false;
    QTest::newRow("hang") << QStringLiteral("hang") << false << false;
}

void TestStandIn::rewrites()
{
    QFETCH(QString, mode);
    QFETCH(bool, newTime);
    QFETCH(bool, newBytes);
    Started standIn(m_pidFile,
                    {QLatin1String("STANDIN_MODE=") + mode, QStringLiteral("STANDIN_INTERVAL_MS=150")});
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(m_settings), 5000);
    const Snapshot first = snapshot(m_settings);
    QVERIFY(!first.bytes.isEmpty());

    if (newTime)
        QTRY_VERIFY_WITH_TIMEOUT(snapshot(m_settings).modified > first.modified, 3000);
    else
        QTest::qWait(750);
    const Snapshot second = snapshot(m_settings);
    QCOMPARE(second.modified > first.modified, newTime);
    QCOMPARE(second.bytes != first.bytes, newBytes);
    QCOMPARE(standIn.process.state(), QProcess::Running);
}

void TestStandIn::exitsAfter_data()
{
    QTest::addColumn<int>("afterMs");
    QTest::newRow("at once") << 0;
    QTest::newRow("after 400 ms") << 400;
}

void TestStandIn::exitsAfter()
{
    QFETCH(int, afterMs);
    QElapsedTimer clock;
    clock.start();
    Started standIn(m_pidFile, {QStringLiteral("STANDIN_EXIT_AFTER_MS=%1").arg(afterMs)});
    QVERIFY(standIn.process.waitForFinished(5000));
    QVERIFY(clock.elapsed() >= afterMs);
    QCOMPARE(standIn.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(standIn.process.exitCode(), 0);
    QVERIFY(QFile::exists(m_settings));
}

void TestStandIn::pidFileListsEveryProcess_data()
{
    QTest::addColumn<bool>("withChild");
    QTest::newRow("alone") << false;
    QTest::newRow("with a child") << true;
}

void TestStandIn::pidFileListsEveryProcess()
{
    QFETCH(bool, withChild);
#ifndef Q_OS_LINUX
    if (withChild)
        QSKIP("Reads the process table through /proc");
#endif
    Started standIn(m_pidFile, {QLatin1String("STANDIN_CHILD=") + QLatin1Char(withChild ? '1' : '0')});
    // The child is listed before the first write, so by then the file is complete.
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(m_settings), 5000);
    const QList<qint64> pids = standIn.pids();
    QCOMPARE(pids.size(), withChild ? 2 : 1);
    QCOMPARE(pids.at(0), standIn.process.processId());
    if (!withChild)
        return;

    const qint64 child = pids.at(1);
    QVERIFY(alive(child));
    // Its own child, not a detached one, so that it shows up under the stand-in like a real helper.
    QCOMPARE(procStat(child).value(1).toLongLong(), standIn.process.processId());
    killPid(child);
    // Under the sanitizers a process takes a while to let go of its shadow memory, on a busy machine.
    QTRY_VERIFY_WITH_TIMEOUT(!alive(child), 10000);
}

void TestStandIn::childOutlivesStandIn()
{
#ifndef Q_OS_LINUX
    QSKIP("Reads the process table through /proc");
#endif
    Started standIn(m_pidFile,
                    {QStringLiteral("STANDIN_CHILD=1"), QStringLiteral("STANDIN_EXIT_AFTER_MS=300")});
    QVERIFY(standIn.process.waitForFinished(5000));
    QCOMPARE(standIn.process.exitCode(), 0);
    const QList<qint64> pids = standIn.pids();
    QCOMPARE(pids.size(), 2);
    QVERIFY(alive(pids.at(1)));
    killPid(pids.at(1));
    QTRY_VERIFY_WITH_TIMEOUT(!alive(pids.at(1)), 3000);
}

void TestStandIn::chattyKeepsItsRate()
{
    QElapsedTimer clock;
    clock.start();
    Started standIn(m_pidFile, {QStringLiteral("STANDIN_CHATTY=64")});
    QByteArray out;
    while (out.size() < 64 * 1024 && clock.elapsed() < 5000) {
        standIn.process.waitForReadyRead(100);
        out += standIn.process.readAllStandardOutput();
    }
    QVERIFY2(out.size() >= 64 * 1024, QByteArray::number(out.size()).constData());
    // A second's worth cannot be out before the stand-in has lived a second (one line of slack).
    QVERIFY2(clock.elapsed() >= 990, QByteArray::number(clock.elapsed()).constData());
}

void TestStandIn::chattySurvivesPipeWithoutReader()
{
#ifndef Q_OS_UNIX
    QSKIP("A broken pipe raises a signal only on POSIX");
#endif
    // `true` ends at once, so everything the stand-in prints goes into a pipe that nobody reads.
    Started pipeline(
        m_pidFile, {QStringLiteral("STANDIN_CHATTY=64"), QStringLiteral("STANDIN_INTERVAL_MS=150")},
        QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("\"$0\" | true"), standInPath});
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(m_settings), 5000);
    QTest::qWait(500);
    const Snapshot before = snapshot(m_settings);
    QTRY_VERIFY_WITH_TIMEOUT(snapshot(m_settings).modified > before.modified, 3000);
    // The shell waits for the whole pipeline: it is still running only if the stand-in is.
    QCOMPARE(pipeline.process.state(), QProcess::Running);
}

int main(int argc, char *argv[])
{
    // Before anything asks QSettings for the user's folder: it keeps the first answer for the process's life.
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path() + QLatin1String("/config")));
    QCoreApplication app(argc, argv);
    TestStandIn test(home.path());
    return QTest::qExec(&test, argc, argv);
}

#include "tst_standin.moc"
