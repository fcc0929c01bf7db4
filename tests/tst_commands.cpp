// The listing and process-ending commands as the watchdog runs them, with stand-in commands next to
// the test that print prepared listings, record their arguments, hang, crash or cannot be started.

#include "platform.h"
#include "timerhandler.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
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
    void heldStarts_data();
    void heldStarts();

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

    const QDir descriptors(QStringLiteral("/proc/self/fd"));
    const uint openBefore = descriptors.count();
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
    // Every 15 s for months: a listing, however it went, leaves no descriptor open and no child unreaped.
    QCOMPARE(QDir(descriptors.path()).count(), openBefore);
    QCOMPARE(::waitpid(-1, nullptr, WNOHANG), pid_t(-1));
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

// Whatever the watchdog ignores or holds open, a command starts with a session of its own, the default
// signal dispositions, the null device on standard input and error, and nothing open beyond its three
// streams.
void tst_Commands::commandStartsClean()
{
    ::signal(SIGTTOU, SIG_IGN);
    const int inherited = ::open("/dev/zero", O_RDONLY); // not closed on exec
    const int input = ::dup(STDIN_FILENO);
    ::dup2(inherited, STDIN_FILENO);

    // The command tells of itself: its pid and session, its descriptors and where 0 and 2 lead, and
    // the signals it ignores.
    Platform::Command command;
    command.start(
        QStringLiteral("/bin/sh"),
        {QStringLiteral("-c"), QStringLiteral("echo $$; cut -d' ' -f6 /proc/$$/stat; ls /proc/$$/fd; "
                                              "readlink /proc/$$/fd/0 /proc/$$/fd/2; "
                                              "sed -n 's/^SigIgn:\t//p' /proc/$$/status")},
        Platform::Command::DiscardErrors);
    ::dup2(input, STDIN_FILENO);
    ::close(input);
    ::close(inherited);
    ::signal(SIGTTOU, SIG_DFL);
    QVERIFY(command.await(Platform::Await::Finished, 5000));
    const QList<QByteArray> facts = command.readAllStandardOutput().split('\n');
    QCOMPARE(facts.mid(1, 6), QList<QByteArray>({facts.value(0), "0", "1", "2", "/dev/null", "/dev/null"}));
    // Signals 32 and 33 are the C library's own, which it keeps from programs; the rest is theirs.
    QCOMPARE(facts.value(7).toULongLong(nullptr, 16) & 0x7fffffffULL, 0ULL);
}

void tst_Commands::heldStarts_data()
{
    QTest::addColumn<int>("holdMs");
    QTest::addColumn<int>("atOnce"); // starts held at once, then given up
    QTest::addColumn<int>("rounds");
    QTest::addColumn<int>("failed"); // starts of a program that is not there, afterwards

    QTest::newRow("four held for good, a fifth refused at once") << 600000 << 4 << 1 << 0;
    QTest::newRow("late and failed starts give their places back") << 300 << 1 << 5 << 5;
}

// The machine holds up the start of a program (an on-access scanner): this test traces itself, and the
// tracer holds every start of one program. At most four starts are under way at once; a command given
// up while its start is held never runs, leaves no process behind, and gives its place back.
void tst_Commands::heldStarts()
{
    QFETCH(int, holdMs);
    QFETCH(int, atOnce);
    QFETCH(int, rounds);
    QFETCH(int, failed);

    const QString held = folder.filePath(QStringLiteral("held"));
    writeFile(held, "#!/bin/sh\n: >\"$0.ran\"\n");
    QVERIFY(QFile::setPermissions(held, QFile::permissions(held) | QFile::ExeOwner));
    QProcess tracer;
    tracer.start(QStringLiteral("strace"),
                 {QStringLiteral("-f"), QStringLiteral("-qq"), QStringLiteral("-o/dev/null"),
                  QStringLiteral("-p%1").arg(::getpid()), QStringLiteral("-P") + held,
                  QStringLiteral("-etrace=execve"),
                  QStringLiteral("-einject=execve:delay_enter=%1").arg(qint64(holdMs) * 1000)});
    QVERIFY(tracer.waitForStarted(5000));
    const auto traced = [] {
        QFile status(QStringLiteral("/proc/self/status"));
        return status.open(QIODevice::ReadOnly) && !status.readAll().contains("TracerPid:\t0\n");
    };
    QTRY_VERIFY_WITH_TIMEOUT(traced(), 5000);
    const QString threads = QStringLiteral("/proc/self/task");

    for (int round = 0; round < rounds; ++round) {
        std::vector<std::unique_ptr<Platform::Command>> starts;
        for (int i = 0; i < atOnce; ++i) {
            starts.push_back(std::make_unique<Platform::Command>());
            starts.back()->start(held, QStringList(), Platform::Command::DiscardErrors);
            QVERIFY(!starts.back()->await(Platform::Await::Started, 100));
            QVERIFY(starts.back()->isRunning());
        }
        if (atOnce == 4) {
            const uint threadsBefore = QDir(threads).count();
            Platform::Command fifth;
            fifth.start(fixture("tasklist"), QStringList(), Platform::Command::DiscardErrors);
            QVERIFY(!fifth.isRunning());
            QCOMPARE(fifth.result(), -2);
            QCOMPARE(QDir(threads).count(), threadsBefore);
        }
        starts.clear();
    }
    // Released from a hold for good, the given-up starts end all the same: no child is left, not even a
    // zombie, and none ran its program.
    tracer.kill();
    QVERIFY(tracer.waitForFinished(5000));
    siginfo_t child = {};
    QTRY_VERIFY_WITH_TIMEOUT(::waitid(P_ALL, 0, &child, WEXITED | WNOHANG | WNOWAIT) == -1, 2000);
    QVERIFY(!QFile::exists(held + QStringLiteral(".ran")));

    for (int i = 0; i < failed; ++i) {
        Platform::Command missing;
        missing.start(folder.filePath(QStringLiteral("missing")), QStringList(),
                      Platform::Command::DiscardErrors);
        missing.await(Platform::Await::Finished, 5000);
        QCOMPARE(missing.result(), -2);
    }
    Platform::Command normal;
    normal.start(QStringLiteral("/bin/true"), QStringList(), Platform::Command::DiscardErrors);
    QVERIFY(normal.await(Platform::Await::Finished, 5000));
    QCOMPARE(normal.result(), 0);
}

QTEST_GUILESS_MAIN(tst_Commands)
#include "tst_commands.moc"
