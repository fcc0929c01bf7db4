#pragma once

// Runs the real watchdog in a scratch caster folder and reads what it writes; runs the cases that wait
// on it side by side.

#include <QByteArray>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <memory>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace WatchdogRun {

inline QString binary(const char *name)
{
    return QStringLiteral(ZUVA_BIN_DIR "/") + QLatin1String(name);
}

// Times in the log change from run to run; everything else is compared byte for byte.
inline QByteArray maskTimes(QByteArray text)
{
    static const QRegularExpression stamp(QStringLiteral("\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d"));
    return QString::fromUtf8(text).replace(stamp, QStringLiteral("<T>")).toUtf8();
}

// What was logged after the last start banner (all of it where there is none), times masked.
inline QByteArray events(const QByteArray &log)
{
    const QByteArray masked = maskTimes(log);
    const QByteArray banner = "started at: <T>\r\n# \r\n";
    const int at = masked.lastIndexOf(banner);
    return at < 0 ? masked : masked.mid(at + banner.size());
}

// The log lines that the console echoed, as the log would hold them.
inline QByteArray loggedOn(const QByteArray &console)
{
    return QByteArray("\n" + console).replace("\nLog: ", "\n").mid(1);
}

// The nine lines that start a new week's log.
inline QByteArray header()
{
    const QByteArray zone = QDateTime::currentDateTime().toString(QStringLiteral("t")).toUtf8();
    return "# ZUVA Monitoring log, event log file.\r\n"
           "# Instance Created <T> "
           + zone
           + " (all times local)\r\n"
             "#  Used to record ZUVA NTRIP Caster service restart events.\r\n"
             "#  ZUVAserviceMon.exe' runs as an application (not a service)  and it checks\r\n"
             "#  to confirm that brindleCast.exe is running on the machine.\r\n"
             "#  If not running, it will start/restart the program if required.\r\n"
             "#  This log file is appended to with events, with a new file once a week.\r\n"
             "#  Questions? - See https://support.example.com/zuva-caster/kb\r\n"
             "#  --\r\n";
}

inline bool alive(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    const int close = line.lastIndexOf(')');
    return close > 0 && line.size() > close + 2 && line.at(close + 2) != 'Z' && line.at(close + 2) != 'X';
}

// field: "VmRSS:" for the resident set now, "VmHWM:" for its peak.
inline qint64 rssKiB(qint64 pid, const QByteArray &field = "VmRSS:")
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(field.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// The processes whose end pid waits on by process descriptor (pidfd); -1 for one gone since.
inline QList<qint64> pidfdTargets(qint64 pid)
{
    QList<qint64> targets;
    const QDir fds(QStringLiteral("/proc/%1/fdinfo").arg(pid));
    for (const QString &fd : fds.entryList(QDir::Files)) {
        QFile info(fds.filePath(fd));
        const QList<QByteArray> lines =
            info.open(QIODevice::ReadOnly) ? info.readAll().split('\n') : QList<QByteArray>();
        for (const QByteArray &line : lines) {
            if (line.startsWith("Pid:"))
                targets << line.mid(4).trimmed().toLongLong();
        }
    }
    return targets;
}

// A caster folder with its own settings home, a pid file for every stand-in started, and the watchdog.
class Scratch
{
public:
    explicit Scratch(const QString &folderName = QStringLiteral("caster"))
    {
        QDir(root.path()).mkpath(folderName);
        QDir(root.path()).mkpath(QStringLiteral("config"));
        folder = root.filePath(folderName);
        env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), root.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), root.filePath(QStringLiteral("config")));
        env.insert(QStringLiteral("STANDIN_PIDFILE"), root.filePath(QStringLiteral("pids")));
        env.insert(QStringLiteral("STANDIN_INTERVAL_MS"), QStringLiteral("1000"));
    }

    ~Scratch()
    {
        if (watchdog.state() != QProcess::NotRunning) {
            watchdog.kill();
            watchdog.waitForFinished(5000);
        }
        // Every stand-in this test caused, and their children, whoever started them; and a caster of
        // this folder that was started too late to have written its pid yet.
        for (qint64 pid : standinPids())
            ::kill(pid_t(pid), SIGKILL);
        const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
        for (const QString &pid : entries) {
            if (QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid)) == casterPath())
                ::kill(pid_t(pid.toLongLong()), SIGKILL);
        }
    }

    void installStandin() const { QVERIFY(QFile::copy(binary("standin-caster"), casterPath())); }

    static bool writeScript(const QString &path, const QByteArray &text)
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size())
            return false;
        file.close();
        return file.setPermissions(file.permissions() | QFile::ExeOwner | QFile::ExeUser);
    }

    // Runs a copy of the watchdog from a folder of the test's own, next to stand-in commands given as
    // shell scripts (an empty script: the command is missing). They see nothing of the machine.
    void useOwnCommands(const QByteArray &tasklist, const QByteArray &taskkill)
    {
        const QString bin = root.filePath(QStringLiteral("bin"));
        QVERIFY(QDir().mkpath(bin));
        QVERIFY(QFile::copy(binary("ZUVAserviceMon"), bin + QStringLiteral("/ZUVAserviceMon")));
        if (!tasklist.isEmpty())
            QVERIFY(writeScript(bin + QStringLiteral("/tasklist"), tasklist));
        if (!taskkill.isEmpty())
            QVERIFY(writeScript(bin + QStringLiteral("/taskkill"), taskkill));
        program = bin + QStringLiteral("/ZUVAserviceMon");
    }

    QString casterPath() const { return folder + QStringLiteral("/brindleCast.exe"); }
    QString settingsPath() const { return root.filePath(QStringLiteral("config/MORQ/brindleCast.ini")); }

    QSet<qint64> standinPids() const
    {
        QSet<qint64> pids;
        QFile file(root.filePath(QStringLiteral("pids")));
        if (file.open(QIODevice::ReadOnly)) {
            for (const QByteArray &line : file.readAll().split('\n')) {
                if (!line.trimmed().isEmpty())
                    pids.insert(line.trimmed().toLongLong());
            }
        }
        return pids;
    }

    QSet<qint64> liveStandins() const
    {
        QSet<qint64> live;
        for (qint64 pid : standinPids()) {
            if (alive(pid))
                live.insert(pid);
        }
        return live;
    }

    // A caster that was already running before the watchdog came; it is not the watchdog's child.
    qint64 startStandin(const QProcessEnvironment &extra = QProcessEnvironment()) const
    {
        QProcess process;
        QProcessEnvironment e = env;
        for (const QString &key : extra.keys())
            e.insert(key, extra.value(key));
        process.setProcessEnvironment(e);
        process.setStandardInputFile(QProcess::nullDevice());
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(QProcess::nullDevice());
        process.setProgram(casterPath());
        process.setWorkingDirectory(folder);
        qint64 pid = 0;
        if (!process.startDetached(&pid))
            return 0;
        // Wait until it has written its pid, so the listing shows it.
        QElapsedTimer timer;
        timer.start();
        while (!standinPids().contains(pid) && timer.elapsed() < 5000)
            QTest::qWait(20);
        return pid;
    }

    void start()
    {
        watchdog.setProcessEnvironment(env);
        watchdog.setWorkingDirectory(folder);
        watchdog.setProcessChannelMode(QProcess::SeparateChannels);
        QObject::connect(&watchdog, &QProcess::readyReadStandardOutput,
                         [this] { console += watchdog.readAllStandardOutput(); });
        if (launcher.isEmpty())
            watchdog.start(program, QStringList());
        else
            watchdog.start(launcher.first(), launcher.mid(1) << program);
        started.start();
        QVERIFY(watchdog.waitForStarted(5000));
    }

    // Sends the signal and waits for the watchdog to end by itself.
    void stop(int signal = SIGTERM)
    {
        ::kill(pid_t(watchdog.processId()), signal);
        QVERIFY(watchdog.waitForFinished(30000));
        console += watchdog.readAllStandardOutput();
        QCOMPARE(watchdog.exitStatus(), QProcess::NormalExit);
        QCOMPARE(watchdog.exitCode(), 0);
    }

    QString logPath() const
    {
        const QStringList logs =
            QDir(folder).entryList(QStringList(QStringLiteral("ZUVAmon_log_*.txt")), QDir::Files);
        return logs.isEmpty() ? QString() : folder + QLatin1Char('/') + logs.first();
    }

    QByteArray log() const
    {
        const QString path = logPath();
        if (!QFileInfo(path).isFile()) // a link to a device is listed too
            return QByteArray();
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    bool waitForLog(const QByteArray &text, int timeoutMs, int occurrences = 1)
    {
        QElapsedTimer timer;
        timer.start();
        while (log().count(text) < occurrences) {
            if (timer.elapsed() > timeoutMs || watchdog.state() == QProcess::NotRunning)
                return false;
            QTest::qWait(100);
        }
        return true;
    }

    bool waitForConsole(const QByteArray &text, int timeoutMs)
    {
        QElapsedTimer timer;
        timer.start();
        while (!console.contains(text)) {
            if (timer.elapsed() > timeoutMs || watchdog.state() == QProcess::NotRunning)
                return false;
            QTest::qWait(100);
        }
        return true;
    }

    QTemporaryDir root;
    QString program = binary("ZUVAserviceMon");
    QStringList launcher; // a command that runs the watchdog, such as setsid; empty: none
    QString folder;
    QProcessEnvironment env;
    QProcess watchdog;
    QElapsedTimer started;
    QByteArray console;
};

// /dev overlaid in a mount namespace of the test's own, for the test and the watchdogs it starts: with
// no /dev/log, or with a datagram socket of the test's there. A stuck one is made in a network
// namespace whose queue limit is 0: it holds one datagram, and every later sender waits, as with a
// syslog daemon that has stopped reading.
class OwnDevLog
{
public:
    enum Kind { Missing, Reading, Stuck };

    explicit OwnDevLog(Kind kind)
    {
        const QByteArray layer = QFile::encodeName(layers.path());
        const QByteArray options = "lowerdir=/dev,upperdir=" + layer + "/u,workdir=" + layer + "/w";
        QFile limit(QStringLiteral("/proc/sys/net/unix/max_dgram_qlen"));
        if (!QDir(layers.path()).mkpath(QStringLiteral("u"))
            || !QDir(layers.path()).mkpath(QStringLiteral("w")) || ::unshare(CLONE_NEWNS) != 0
            || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
            || ::mount("zuva-dev", "/dev", "overlay", 0, options.constData()) != 0)
            return;
        mounted = true;
        ::unlink("/dev/log");
        if (kind == Stuck
            && (::unshare(CLONE_NEWNET) != 0 || !limit.open(QIODevice::WriteOnly | QIODevice::Unbuffered)
                || limit.write("0") != 1))
            return;
        const sockaddr_un address = {AF_UNIX, "/dev/log"};
        socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        ready = kind == Missing
                || ::bind(socket, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    }

    ~OwnDevLog()
    {
        ::close(socket);
        if (mounted)
            ::umount2("/dev", MNT_DETACH);
    }

    // Each entry as "<priority>ident: text", times masked and the pid left out.
    QList<QByteArray> received() const
    {
        static const QRegularExpression head(
            QStringLiteral("^(<\\d+>)\\w{3} [ \\d]\\d [\\d:]{8} (\\w+)\\[\\d+\\]"));
        QList<QByteArray> entries;
        QByteArray buffer(4096, 0);
        for (ssize_t size; (size = ::recv(socket, buffer.data(), size_t(buffer.size()), 0)) > 0;)
            entries << maskTimes(
                QString::fromUtf8(buffer.left(int(size))).replace(head, QStringLiteral("\\1\\2")).toUtf8());
        return entries;
    }

    QTemporaryDir layers;
    bool mounted = false;
    bool ready = false;
    int socket = -1;
};

// Runs each case of test (a function, or a row of a data-driven one) in a process of its own, all at
// once, started through launcher (such as a process table of its own) where one is given, and prints
// what each printed, in order: for cases that spend their time waiting on the watchdog's tick, pauses
// and budgets. Given a case (or any argument), runs it as QtTest would.
inline int runSideBySide(QObject &test, int argc, char *argv[], const QStringList &launcher = {})
{
    if (argc > 1)
        return QTest::qExec(&test, argc, argv);

    const QString self = QCoreApplication::applicationFilePath();
    QProcess lister;
    lister.start(self, {QStringLiteral("-datatags")});
    if (!lister.waitForFinished(30000))
        return 1;
    std::vector<std::unique_ptr<QProcess>> cases;
    for (const QByteArray &line : lister.readAllStandardOutput().split('\n')) {
        // "<class> <function>", or "<class> <function> <row>"
        const QList<QByteArray> words = line.split(' ');
        if (words.size() < 2)
            continue;
        const QByteArray row = line.mid(words.at(0).size() + words.at(1).size() + 2);
        const QStringList command =
            launcher
            + QStringList{self, QString::fromUtf8(row.isEmpty() ? words.at(1) : words.at(1) + ':' + row)};
        cases.push_back(std::make_unique<QProcess>());
        cases.back()->setProcessChannelMode(QProcess::MergedChannels);
        cases.back()->start(command.first(), command.mid(1));
    }
    int failed = 0;
    int skipped = 0;
    for (const auto &run : cases) {
        run->waitForFinished(-1);
        std::fputs(run->readAll().constData(), stdout);
        if (run->exitStatus() == QProcess::NormalExit && run->exitCode() == 77)
            ++skipped;
        else if (run->exitStatus() != QProcess::NormalExit || run->exitCode() != 0)
            ++failed;
    }
    return failed ? failed : cases.empty() ? 1 : skipped == int(cases.size()) ? 77 : 0;
}

} // namespace WatchdogRun
