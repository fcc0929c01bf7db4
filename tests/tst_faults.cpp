// The real watchdog against commands and files that misbehave, and stopped at awkward moments.
// Every case runs its own copy of the watchdog next to stand-in commands of its own, so the cases
// see nothing of the machine or of each other and run side by side.

#include "watchdogrun.h"

#include <QDate>
#include <QtTest>

#include <memory>

using namespace WatchdogRun;

namespace {

// A caster that keeps running (as "sleep", so that no real listing on the machine counts it).
const QByteArray runningCaster = "#!/bin/sh\necho $$ >>\"$STANDIN_PIDFILE\"\nexec sleep 600\n";
const QByteArray emptyListing = "#!/bin/sh\nprintf '\\r\\nImage Name   PID\\r\\n'\n";
const QByteArray twoCasters = "#!/bin/sh\nprintf 'brindleCast.exe 101\\r\\nbrindleCast.exe 102\\r\\n'\n";

const QByteArray notRunningAtStart = "At startup, Detected ZUVA not running, restarted at: <T>\r\n"
                                     "ZUVA application process was restarted... (1)\r\n";
const QByteArray heldBack = "Detected ZUVA not running, (1) restarted at: <T> (1).\r\n"
                            "  Delayed, restart number 1 still too recent...\r\n";
const QByteArray stopBlock = "# Monitoring service was stopped at: <T>\r\n# \r\n";

struct Case
{
    const char *name;
    QByteArray tasklist; // empty: missing
    QByteArray taskkill; // empty: missing
    QByteArray events;   // what the log holds after the start banner, the stop block included
    int signal = SIGTERM;
    int signalAtMs = 0;       // 0: once the events before the stop block are all there
    int minStopMs = 0;        // the stop comes no earlier: the cycle under way finishes first
    bool casterAlive = false; // a caster was started and must outlive the watchdog
};

} // namespace

class tst_Faults : public QObject
{
    Q_OBJECT

private slots:
    void misbehavingCommandsAndStops();
    void logOnAFullDisk();
};

void tst_Faults::misbehavingCommandsAndStops()
{
    QByteArray megabyte = "#!/bin/sh\ni=0\nwhile [ $i -lt 20000 ]; do\n"
                          "  printf 'someprocess%05d.exe   %d Console   1   12,345 K\\r\\n' $i $i\n"
                          "  i=$((i+1))\n"
                          "  [ $i -eq 12345 ] && printf 'brindleCast.exe 4242\\r\\n'\n"
                          "done\n";
    const QList<Case> cases = {
        {"listing hangs, stop requested during it", "#!/bin/sh\nexec sleep 600\n", "",
         notRunningAtStart + stopBlock, SIGTERM, 20000,
         // 15 s to the first tick, 10 s waiting for output, 60 s for the end, a 10 s pause after the launch
         90000, true},
        {"listing command missing", "", "", notRunningAtStart + heldBack + stopBlock},
        {"listing crashes after a caster line",
         "#!/bin/sh\nprintf 'brindleCast.exe 7\\r\\n'\nkill -SEGV $$\n", "",
         "At startup, Detected ZUVA running (<T>)\r\n" + stopBlock},
        {"listing prints garbage",
         "#!/bin/sh\nprintf '\\377\\376\\0\\001brindle\\0Cast\\r\\r\\n\\n\\033[2J%%s%%n'\nhead -c 200000 "
         "/dev/zero\n",
         "", notRunningAtStart + heldBack + stopBlock},
        {"listing of a megabyte", megabyte, "", "At startup, Detected ZUVA running (<T>)\r\n" + stopBlock},
        {"process-ending command missing", twoCasters, "",
         "Detected Multiple copies of ZUVA running (<T>)\r\n"
         "Process Kill/Restart returned -2\r\n"
         "Process Kill/Restart returned -2\r\n"
             + notRunningAtStart.mid(notRunningAtStart.indexOf("ZUVA application")) + stopBlock},
        {"process-ending command fails, stop requested during it", twoCasters, "#!/bin/sh\nsleep 3\nexit 1\n",
         "Detected Multiple copies of ZUVA running (<T>)\r\n"
         "Process Kill/Restart returned 1\r\n"
         "Process Kill/Restart returned 1\r\n"
             + notRunningAtStart.mid(notRunningAtStart.indexOf("ZUVA application")) + stopBlock,
         SIGTERM, 16500,
         // the first command ends at 18 s, then 10 s pause, 3 s command, 10 s pause, launch, 10 s pause
         47000, true},
        {"Ctrl+C during the pause after a launch", emptyListing, "", notRunningAtStart + stopBlock, SIGINT,
         18000, 24000, true},
    };

    std::vector<std::unique_ptr<Scratch>> runs;
    for (const Case &c : cases) {
        runs.push_back(std::make_unique<Scratch>());
        Scratch &run = *runs.back();
        run.useOwnCommands(c.tasklist, c.taskkill);
        QVERIFY(Scratch::writeScript(run.casterPath(),
                                     c.casterAlive ? runningCaster : QByteArray("#!/bin/sh\nexit 0\n")));
        run.start();
    }

    QElapsedTimer clock;
    clock.start();
    std::vector<bool> signalled(cases.size(), false);
    while (true) {
        bool allDone = true;
        for (size_t i = 0; i < runs.size(); ++i) {
            const Case &c = cases.at(int(i));
            Scratch &run = *runs[i];
            if (run.watchdog.state() == QProcess::NotRunning)
                continue;
            allDone = false;
            const QByteArray sofar = events(run.log());
            const bool due = c.signalAtMs ? clock.elapsed() >= c.signalAtMs
                                          : sofar == c.events.left(c.events.size() - stopBlock.size());
            if (due && !signalled[i]) {
                ::kill(pid_t(run.watchdog.processId()), c.signal);
                signalled[i] = true;
            }
        }
        if (allDone || clock.elapsed() > 150000)
            break;
        QTest::qWait(200);
    }

    for (size_t i = 0; i < runs.size(); ++i) {
        const Case &c = cases.at(int(i));
        Scratch &run = *runs[i];
        const QByteArray name = c.name;
        QVERIFY2(run.watchdog.state() == QProcess::NotRunning, name + ": still running");
        QVERIFY2(run.watchdog.exitStatus() == QProcess::NormalExit && run.watchdog.exitCode() == 0,
                 name + ": did not end in order");
        QCOMPARE(events(run.log()), c.events);
        QVERIFY2(run.log().count("# Monitoring service was stopped at: ") == 1,
                 name + ": stop block not once");
        QVERIFY2(run.started.elapsed() >= c.minStopMs, name + ": stopped before the cycle had ended");
        if (c.casterAlive) {
            QVERIFY2(run.standinPids().size() == 1, name);
            QVERIFY2(alive(*run.standinPids().begin()), name + ": the caster did not outlive the watchdog");
        }
    }
}

// The week's log is a link to a device that is always full: every write fails, the lines still
// reach the console, and the watchdog goes on working as before.
void tst_Faults::logOnAFullDisk()
{
    Scratch scratch;
    scratch.useOwnCommands(emptyListing, "");
    QVERIFY(Scratch::writeScript(scratch.casterPath(), "#!/bin/sh\nexit 0\n"));
    const qint64 days = QDate(2019, 1, 1).daysTo(QDateTime::currentDateTimeUtc().date());
    for (qint64 week = days / 7 - 1; week <= days / 7 + 1; ++week)
        QVERIFY(QFile::link(QStringLiteral("/dev/full"),
                            scratch.folder + QStringLiteral("/ZUVAmon_log_%1.txt").arg(week)));

    scratch.start();
    QVERIFY(scratch.waitForConsole("Log:   Delayed, restart number 1 still too recent...\r\n", 40000));
    const qint64 rss = rssKiB(scratch.watchdog.processId());
    scratch.stop();

    // The link counts as an existing log, so there is no header; everything else is on the console.
    QCOMPARE(maskTimes(scratch.console),
             QByteArray("Log:   \r\n"
                        "Log: # \r\n"
                        "Log: # ZUVA Monitoring Tool (Rev 1.1) started at: <T>\r\n"
                        "Log: # \r\n"
                        "Log: At startup, Detected ZUVA not running, restarted at: <T>\r\n"
                        "Log: ZUVA application process was restarted... (1)\r\n"
                        "Log: Detected ZUVA not running, (1) restarted at: <T> (1).\r\n"
                        "Log:   Delayed, restart number 1 still too recent...\r\n"
                        "Log: # Monitoring service was stopped at: <T>\r\n"
                        "Log: # \r\n"));
    qInfo("watchdog RSS while every log write fails: %lld KiB", rss);
}

QTEST_GUILESS_MAIN(tst_Faults)
#include "tst_faults.moc"
