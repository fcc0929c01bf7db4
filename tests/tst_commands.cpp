// The listing and process-ending commands as the watchdog runs them, with stand-in commands next to
// the test that print prepared listings, record their arguments, hang, crash or cannot be started.

#include "platform.h"
#include "timerhandler.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

class tst_Commands : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void listingWithinBudgets_data();
    void listingWithinBudgets();
    void killCaster_data();
    void killCaster();
    void commandStartsClean();

private:
    QString fixture(const char *name) const
    {
        return QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(name);
    }
    void setExecutable(const char *name, bool executable)
    {
        QFile file(fixture(name));
        const QFile::Permissions x = QFile::ExeOwner | QFile::ExeUser | QFile::ExeGroup | QFile::ExeOther;
        QVERIFY(file.setPermissions(executable ? file.permissions() | x : file.permissions() & ~x));
    }
    void writeFile(const QString &path, const QByteArray &contents)
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(contents);
    }

    QTemporaryDir folder;
};

void tst_Commands::initTestCase()
{
    QVERIFY(QDir::setCurrent(folder.path()));
    writeFile(folder.filePath(QStringLiteral("brindleCast.exe")), "");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(folder.filePath(QStringLiteral("config"))));
    qputenv("FIXTURE_LISTING", QFile::encodeName(folder.filePath(QStringLiteral("listing"))));
    qputenv("FIXTURE_KILL_RECORD", QFile::encodeName(folder.filePath(QStringLiteral("killed"))));
}

void tst_Commands::listingWithinBudgets_data()
{
    QTest::addColumn<QByteArray>("mode");
    QTest::addColumn<bool>("startable");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<int>("minMs");
    QTest::addColumn<int>("maxMs");

    QByteArray longListing = "\r\nImage Name                     PID\r\n";
    for (int pid = 1; pid <= 40000; ++pid)
        longListing += "process" + QByteArray::number(pid) + ".exe " + QByteArray::number(pid) + "\r\n";

    // Budgets used here: 500 ms to start, 1000 ms for the first output, 1500 ms to end.
    QTest::newRow("long listing read whole") << QByteArray("file") << true << longListing << 0 << 2500;
    QTest::newRow("hangs after printing: abandoned, what it printed is kept")
        << QByteArray("hang") << true << QByteArray("early.exe 1\r\nbrindleCast.exe 2\r\n") << 1400 << 2400;
    QTest::newRow("prints nothing: every budget spent")
        << QByteArray("silent") << true << QByteArray() << 2400 << 3400;
    QTest::newRow("cannot start: empty at once") << QByteArray("file") << false << QByteArray() << 0 << 500;
}

void tst_Commands::listingWithinBudgets()
{
    QFETCH(QByteArray, mode);
    QFETCH(bool, startable);
    QFETCH(QByteArray, expected);
    QFETCH(int, minMs);
    QFETCH(int, maxMs);

    qputenv("FIXTURE_LISTING_MODE", mode);
    if (mode == "file")
        writeFile(qEnvironmentVariable("FIXTURE_LISTING"),
                  expected.isEmpty() ? "brindleCast.exe 1\r\n" : expected);
    setExecutable("tasklist", startable);

    QElapsedTimer elapsed;
    elapsed.start();
    QString listing;
    {
        Platform::Command command;
        listing = Platform::takeListing(command, 500, 1000, 1500);
    }
    const qint64 ms = elapsed.elapsed();
    setExecutable("tasklist", true);

    QCOMPARE(listing.toUtf8(), expected);
    QVERIFY2(ms >= minMs && ms <= maxMs, QByteArray::number(ms).constData());
}

void tst_Commands::killCaster_data()
{
    QTest::addColumn<QByteArray>("listing");
    QTest::addColumn<QByteArray>("codes");
    QTest::addColumn<bool>("startable");
    QTest::addColumn<QByteArray>("expectedLog");
    QTest::addColumn<QByteArray>("expectedRecord");

    const QByteArray listing = "\r\nImage Name                     PID\r\n"
                               "========================= ========\r\n"
                               "   brindleCast.exe               101 Console\r\n"
                               "other.exe                       102\r\n"
                               "\r\n"
                               "$(touch${IFS}pwned);x.exe 103 BRINDLECAST in a later field\r\n";
    const QByteArray record = "/IM\nbrindleCast.exe\n/T\n/F\n--\n"
                              "/IM\n$(touch${IFS}pwned);x.exe\n/T\n/F\n--\n";

    QTest::newRow("one command per caster line")
        << listing << QByteArray("0 128") << true
        << QByteArray("Process Kill/Restart returned 0\r\nProcess Kill/Restart returned 128\r\n") << record;
    QTest::newRow("command cannot start: logged, next line still tried")
        << listing << QByteArray() << false
        << QByteArray("Process Kill/Restart returned -2\r\nProcess Kill/Restart returned -2\r\n")
        << QByteArray();
    QTest::newRow("command crashes") << QByteArray("brindleCast.exe 7\r\n") << QByteArray("crash") << true
                                     << QByteArray("Process Kill/Restart returned -1\r\n")
                                     << QByteArray("/IM\nbrindleCast.exe\n/T\n/F\n--\n");
    QTest::newRow("no caster line: nothing run, nothing logged")
        << QByteArray("\r\nother.exe 1\r\nsystem 2\r\n") << QByteArray() << true << QByteArray()
        << QByteArray();
}

void tst_Commands::killCaster()
{
    QFETCH(QByteArray, listing);
    QFETCH(QByteArray, codes);
    QFETCH(bool, startable);
    QFETCH(QByteArray, expectedLog);
    QFETCH(QByteArray, expectedRecord);

    qputenv("FIXTURE_LISTING_MODE", "file");
    qputenv("FIXTURE_KILL_CODES", codes);
    writeFile(qEnvironmentVariable("FIXTURE_LISTING"), listing);
    QFile::remove(qEnvironmentVariable("FIXTURE_KILL_RECORD"));
    setExecutable("taskkill", startable);

    TimerHandler handler;
    const QString logName = handler.logFile.fileName();
    const qint64 before = QFileInfo(logName).size();
    QElapsedTimer elapsed;
    elapsed.start();
    handler.killCaster();
    const qint64 ms = elapsed.elapsed();
    setExecutable("taskkill", true);

    QFile log(logName);
    QVERIFY(log.open(QIODevice::ReadOnly));
    log.seek(before);
    QCOMPARE(log.readAll(), expectedLog);

    QFile record(qEnvironmentVariable("FIXTURE_KILL_RECORD"));
    QCOMPARE(record.open(QIODevice::ReadOnly) ? record.readAll() : QByteArray(), expectedRecord);
    QVERIFY2(!QFile::exists(folder.filePath(QStringLiteral("pwned"))), "listing text reached a shell");

    // Ten seconds of pause after every command run.
    const int commands = expectedLog.count('\n');
    QVERIFY2(ms >= commands * 9900 && ms < commands * 10000 + 3000, QByteArray::number(ms).constData());
}

// Whatever the watchdog ignores, blocks or holds open, a command starts with a session of its own, the
// default signal dispositions and no signal blocked, the null device on standard input and error, and
// nothing open beyond its three streams.
void tst_Commands::commandStartsClean()
{
    ::signal(SIGTTOU, SIG_IGN);
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    QVERIFY(::pthread_sigmask(SIG_BLOCK, &usr1, nullptr) == 0);
    const int inherited = ::open("/dev/zero", O_RDONLY); // not closed on exec
    const int input = ::dup(STDIN_FILENO);
    ::dup2(inherited, STDIN_FILENO);

    Platform::Command command;
    command.start(QStringLiteral("/bin/sleep"), {QStringLiteral("30")}, Platform::Command::DiscardErrors);
    ::dup2(input, STDIN_FILENO);
    ::close(input);
    ::close(inherited);
    ::pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr);
    ::signal(SIGTTOU, SIG_DFL);
    QVERIFY(command.await(Platform::Await::Started, 1000));

    // The test's only child: "<pid> (sleep) S <parent> <group> <session> ..."
    QString child;
    QByteArray session;
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &pid : pids) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        const QByteArray line = stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.value(1).toLongLong() == QCoreApplication::applicationPid()) {
            child = QStringLiteral("/proc/") + pid;
            session = fields.value(3);
        }
    }
    QVERIFY(!child.isEmpty());
    QCOMPARE(QString::fromLatin1(session), child.mid(6));
    QCOMPARE(
        QDir(child + QStringLiteral("/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System),
        QStringList({QStringLiteral("0"), QStringLiteral("1"), QStringLiteral("2")}));
    QCOMPARE(QFile::symLinkTarget(child + QStringLiteral("/fd/0")), QStringLiteral("/dev/null"));
    QCOMPARE(QFile::symLinkTarget(child + QStringLiteral("/fd/2")), QStringLiteral("/dev/null"));
    // Signals 32 and 33 are the C library's own, which it keeps from programs; the rest is theirs.
    QFile status(child + QStringLiteral("/status"));
    QVERIFY(status.open(QIODevice::ReadOnly));
    qulonglong blocked = ~0ULL;
    qulonglong ignored = ~0ULL;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("SigBlk:"))
            blocked = line.mid(7).trimmed().toULongLong(nullptr, 16);
        else if (line.startsWith("SigIgn:"))
            ignored = line.mid(7).trimmed().toULongLong(nullptr, 16);
    }
    QCOMPARE(blocked, 0ULL);
    QCOMPARE(ignored & 0x7fffffffULL, 0ULL);
}

QTEST_GUILESS_MAIN(tst_Commands)
#include "tst_commands.moc"
