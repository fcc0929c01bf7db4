// The event log as the real watchdog writes it: header, banner, stop block, console echo, and
// what happens when the log cannot be opened.

#include "watchdogrun.h"

#include <QDate>
#include <QDateTime>
#include <QTest>

using namespace WatchdogRun;

namespace {

const QByteArray banner = "  \r\n"
                          "# \r\n"
                          "# ZUVA Monitoring Tool (Rev 1.1) started at: <T>\r\n"
                          "# \r\n";

const QByteArray stopBlock = "# Monitoring service was stopped at: <T>\r\n"
                             "# \r\n";

} // namespace

class tst_EventLog : public QObject
{
    Q_OBJECT

private slots:
    void headerOnceBannerEveryStart_data();
    void headerOnceBannerEveryStart();
    void missingCasterWritesFatalBlockAndStaysIdle();
    void unopenableLogStillEchoesToConsole();
};

void tst_EventLog::headerOnceBannerEveryStart_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT (Ctrl+C)") << int(SIGINT);
    QTest::newRow("SIGHUP (terminal closed)") << int(SIGHUP);
}

void tst_EventLog::headerOnceBannerEveryStart()
{
    QFETCH(int, signal);
    Scratch scratch;
    QFile executable(scratch.casterPath());
    QVERIFY(executable.open(QIODevice::WriteOnly)); // present, so no fatal block
    executable.close();

    for (int run = 1; run <= 2; ++run) {
        scratch.console.clear();
        scratch.start();
        QVERIFY(scratch.waitForLog("started at: ", 5000, run));
        QTest::qWait(300);
        scratch.stop(signal);
    }

    const QByteArray expected = header() + banner + stopBlock + banner + stopBlock;
    QCOMPARE(maskTimes(scratch.log()), expected);
    QVERIFY(QFileInfo(scratch.logPath()).fileName().startsWith(QLatin1String("ZUVAmon_log_")));

    // The console echoes the last run's lines, each with its prefix.
    QCOMPARE(maskTimes(scratch.console), "Log:   \r\n"
                                         "Log: # \r\n"
                                         "Log: # ZUVA Monitoring Tool (Rev 1.1) started at: <T>\r\n"
                                         "Log: # \r\n"
                                         "Log: # Monitoring service was stopped at: <T>\r\n"
                                         "Log: # \r\n");
}

// A folder name with characters inside and outside Latin-1: the console shows "?" for the latter,
// the file keeps everything in UTF-8.
void tst_EventLog::missingCasterWritesFatalBlockAndStaysIdle()
{
    const QString folderName = QStringLiteral("Gr\u00f6\u00dfe-\u03a9");
    Scratch scratch(folderName);
    scratch.start();
    QVERIFY(scratch.waitForLog("correct folder.\r\n", 5000));
    // A tick comes and goes without a line.
    QTest::qWait(17000);
    scratch.stop();

    const QString path = scratch.folder + QStringLiteral("/brindleCast.exe");
    const QByteArray fatal = "###\r\n\r\n# FATAL ERROR: The ZUVA NTRIP Caster program was not found, \r\n"
                             "#  Looking at: "
                             + path.toUtf8()
                             + " \r\n\r\n"
                               " -- Monitoring process now disabled, unable to find ZUVA.\r\n"
                               " -- To configure, please place this tool in the correct folder.\r\n";
    QCOMPARE(maskTimes(scratch.log()), header() + banner + fatal + stopBlock);

    const QByteArray latin1Path = path.toLatin1();
    QVERIFY(latin1Path.contains("Gr\xf6\xdf"
                                "e-?"));
    QVERIFY(scratch.console.contains(
        "Log: ###\r\n\r\n# FATAL ERROR: The ZUVA NTRIP Caster program was not found, "
        "\r\n#  Looking at: "
        + latin1Path + " \r\n\r\n"));
    QVERIFY(!scratch.console.contains(path.toUtf8()));
}

// A directory where the week's log should be: nothing is written to any file, the lines reach the
// console, and the watchdog keeps supervising until it is stopped.
void tst_EventLog::unopenableLogStillEchoesToConsole()
{
    Scratch scratch;
    const qint64 days = QDate(2019, 1, 1).daysTo(QDateTime::currentDateTimeUtc().date());
    for (qint64 week = days / 7 - 1; week <= days / 7 + 1; ++week)
        QVERIFY(QDir(scratch.folder).mkdir(QStringLiteral("ZUVAmon_log_%1.txt").arg(week)));

    scratch.start();
    QVERIFY(scratch.waitForConsole("Log: At startup, Detected ZUVA not running, restarted at: ", 25000));
    QCOMPARE(scratch.watchdog.state(), QProcess::Running);
    scratch.stop();

    // Opening failed, so neither header nor banner was written; the stop block still reaches the console.
    QVERIFY(scratch.console.startsWith("Log: At startup, Detected ZUVA not running, restarted at: "));
    QVERIFY(maskTimes(scratch.console)
                .endsWith("Log: " + stopBlock.left(stopBlock.indexOf('\n') + 1) + "Log: # \r\n"));
    QCOMPARE(QDir(scratch.folder).entryList(QDir::Files), QStringList());
}

// The cases wait on the watchdog's tick: they run side by side.
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    tst_EventLog test;
    return runSideBySide(test, argc, argv);
}

#include "tst_eventlog.moc"
