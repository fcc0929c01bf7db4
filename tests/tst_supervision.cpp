// The real watchdog supervising a stand-in caster: start-up findings, launches, duplicates, the
// restart gate, and what it leaves behind when it stops.

#include "watchdogrun.h"

#include <QDateTime>
#include <QTest>

using namespace WatchdogRun;

namespace {

QList<QByteArray> eventLines(const QByteArray &log)
{
    QList<QByteArray> lines = events(log).split('\n');
    lines.removeLast(); // after the final line end
    return lines;
}

// The watchdog on a wall clock of libfaketime's: setting is a FAKETIME value ("+0 x10": ten times as
// fast) or, where it is a file, read from there as it changes. False where libfaketime is missing.
bool useFakeClock(Scratch &scratch, const QString &setting)
{
    const QString faketime = qEnvironmentVariable("ZUVA_LIBFAKETIME");
    if (faketime.isEmpty())
        return false;
    scratch.env.insert(QStringLiteral("LD_PRELOAD"), faketime);
    if (QFileInfo(setting).isAbsolute()) {
        scratch.env.insert(QStringLiteral("FAKETIME_TIMESTAMP_FILE"), setting);
        scratch.env.insert(QStringLiteral("FAKETIME_NO_CACHE"), QStringLiteral("1"));
        scratch.env.insert(QStringLiteral("FAKETIME_DONT_FAKE_MONOTONIC"), QStringLiteral("1"));
    } else {
        scratch.env.insert(QStringLiteral("FAKETIME"), setting);
    }
    return true;
}

// A wall clock of libfaketime's that the test moves by writing an offset ("+130") to the file returned,
// at "+0" to begin with; empty where libfaketime is missing.
QString movableClock(Scratch &scratch)
{
    const QString clock = scratch.root.filePath(QStringLiteral("faketime.rc"));
    return Scratch::writeScript(clock, "+0\n") && useFakeClock(scratch, clock) ? clock : QString();
}

QDateTime stampOf(const QByteArray &line)
{
    static const QRegularExpression stamp(QStringLiteral("\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d"));
    const QRegularExpressionMatch match = stamp.match(QString::fromUtf8(line));
    return QDateTime::fromString(match.captured(), QStringLiteral("dd.MM.yyyy HH:mm:ss"));
}

} // namespace

class tst_Supervision : public QObject
{
    Q_OBJECT

private slots:
    void startsAbsentCasterFromItsFolder();
    void leavesRunningCasterAlone();
    void endsDuplicatesAndStartsOne_data();
    void endsDuplicatesAndStartsOne();
    void holdsRestartsForTwoMinutes();
    void answersACrashAtOnce_data();
    void answersACrashAtOnce();
    void stopAfterEndingALockedUpCaster();
};

// No caster at start-up: the first tick launches the one in the caster's folder, never a program of
// the same name found on PATH. The caster's chatter costs the watchdog no memory, and the caster
// outlives the watchdog.
void tst_Supervision::startsAbsentCasterFromItsFolder()
{
    Scratch scratch;
    scratch.installStandin();
    const QString decoyFolder = scratch.root.filePath(QStringLiteral("decoy"));
    QVERIFY(QDir().mkpath(decoyFolder));
    QFile decoy(decoyFolder + QStringLiteral("/brindleCast.exe"));
    QVERIFY(decoy.open(QIODevice::WriteOnly));
    decoy.write("#!/bin/sh\ntouch \"$0.ran\"\nexec sleep 600\n");
    decoy.close();
    decoy.setPermissions(decoy.permissions() | QFile::ExeOwner);
    scratch.env.insert(QStringLiteral("PATH"),
                       decoyFolder + QLatin1Char(':') + scratch.env.value(QStringLiteral("PATH")));
    scratch.env.insert(QStringLiteral("STANDIN_CHATTY"), QStringLiteral("2048"));

    scratch.start();
    QVERIFY(scratch.waitForLog("ZUVA application process was restarted... (1)\r\n", 40000));
    QVERIFY(scratch.started.elapsed() >= 14000);
    QCOMPARE(events(scratch.log()), QByteArray("At startup, Detected ZUVA not running, restarted at: <T>\r\n"
                                               "ZUVA application process was restarted... (1)\r\n"));

    QTRY_COMPARE_WITH_TIMEOUT(scratch.liveStandins().size(), 1, 10000); // noted as soon as it is up
    const QSet<qint64> casters = scratch.liveStandins();
    const qint64 caster = *casters.begin();
    QCOMPARE(QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(caster)), scratch.casterPath());
    QVERIFY(!QFile::exists(decoy.fileName() + QStringLiteral(".ran")));

    // The stand-in prints 2 MiB a second; none of it may pile up in the watchdog.
    const qint64 before = rssKiB(scratch.watchdog.processId());
    QTest::qWait(10000);
    const qint64 after = rssKiB(scratch.watchdog.processId());
    qInfo("watchdog RSS with a chatty caster: %lld KiB, 10 s later %lld KiB", before, after);
    QVERIFY2(after - before < 2048, "the watchdog's memory grows with the caster's output");

    scratch.stop();
    QVERIFY(maskTimes(scratch.log()).endsWith("# Monitoring service was stopped at: <T>\r\n# \r\n"));
    QTest::qWait(1000);
    QVERIFY2(alive(caster), "the caster must keep running when the watchdog stops");
}

void tst_Supervision::leavesRunningCasterAlone()
{
    Scratch scratch;
    scratch.installStandin();
    const qint64 caster = scratch.startStandin();
    QVERIFY(caster > 0);

    scratch.start();
    QVERIFY(scratch.waitForLog("At startup, Detected ZUVA running (", 25000));
    // The first check comes one timer interval after the start, not at once.
    QVERIFY2(scratch.started.elapsed() >= 14000, "first check came too early");
    QTest::qWait(2000);
    scratch.stop();

    QCOMPARE(events(scratch.log()), QByteArray("At startup, Detected ZUVA running (<T>)\r\n"
                                               "# Monitoring service was stopped at: <T>\r\n"
                                               "# \r\n"));
    QCOMPARE(scratch.liveStandins(), QSet<qint64>({caster}));
}

void tst_Supervision::endsDuplicatesAndStartsOne_data()
{
    QTest::addColumn<int>("devLog");
    QTest::addColumn<int>("entries"); // how many of the events reach the system log
    QTest::newRow("no /dev/log") << int(OwnDevLog::Missing) << 0;
    QTest::newRow("syslog reading at /dev/log") << int(OwnDevLog::Reading) << 6;
    QTest::newRow("syslog stuck at /dev/log") << int(OwnDevLog::Stuck) << 1;
}

// Two casters, one with a child: both trees are ended (the second command finds nothing left and
// says so with its not-found code), then exactly one caster is started. The events also go to the
// system log; one that is missing or stuck changes nothing else.
void tst_Supervision::endsDuplicatesAndStartsOne()
{
    QFETCH(int, devLog);
    QFETCH(int, entries);
    const OwnDevLog systemLog{OwnDevLog::Kind(devLog)};
    if (!systemLog.ready)
        QSKIP("A mount namespace of its own is needed (root, or a user namespace).");
    Scratch scratch;
    scratch.installStandin();
    QProcessEnvironment withChild;
    withChild.insert(QStringLiteral("STANDIN_CHILD"), QStringLiteral("1"));
    const qint64 first = scratch.startStandin(withChild);
    const qint64 second = scratch.startStandin();
    QVERIFY(first > 0 && second > 0);
    QElapsedTimer timer;
    timer.start();
    while (scratch.standinPids().size() < 3 && timer.elapsed() < 5000)
        QTest::qWait(50);
    const QSet<qint64> before = scratch.liveStandins();
    QCOMPARE(before.size(), 3); // two casters and the child

    scratch.start();
    QVERIFY(scratch.waitForLog("ZUVA application process was restarted... (1)\r\n", 90000));
    QCOMPARE(events(scratch.log()), QByteArray("Detected Multiple copies of ZUVA running (<T>)\r\n"
                                               "Process Kill/Restart returned 0\r\n"
                                               "Process Kill/Restart returned 128\r\n"
                                               "ZUVA application process was restarted... (1)\r\n"));
    // The new caster notes its pid as soon as it is up.
    QTRY_COMPARE_WITH_TIMEOUT(scratch.liveStandins().size(), 1, 10000);
    const QSet<qint64> after = scratch.liveStandins();
    QVERIFY(!after.intersects(before));
    // What the process-ending command printed reaches the watchdog's console.
    QVERIFY(scratch.console.contains("SUCCESS: The process with PID " + QByteArray::number(first) + " "));
    scratch.stop();

    // Facility daemon (3 << 3) with info (6) or warning (4); the header and framing lines stay in the file.
    const QList<QByteArray> sent = {"<30>ZUVAserviceMon: # ZUVA Monitoring Tool (Rev 1.1) started at: <T>",
                                    "<28>ZUVAserviceMon: Detected Multiple copies of ZUVA running (<T>)",
                                    "<30>ZUVAserviceMon: Process Kill/Restart returned 0",
                                    "<30>ZUVAserviceMon: Process Kill/Restart returned 128",
                                    "<30>ZUVAserviceMon: ZUVA application process was restarted... (1)",
                                    "<30>ZUVAserviceMon: # Monitoring service was stopped at: <T>"};
    QCOMPARE(systemLog.received(), sent.mid(0, entries));
}

// A caster that dies right after every start: each check logs the absence, launches are held back
// until 120 s have passed since the last one, and the watchdog carries on. Where libfaketime is at
// hand, the watchdog's clock (and its caster's) runs ten times as fast, timers and pauses included.
void tst_Supervision::holdsRestartsForTwoMinutes()
{
    Scratch scratch;
    scratch.installStandin();
    scratch.env.insert(QStringLiteral("STANDIN_EXIT_AFTER_MS"), QStringLiteral("1000"));
    useFakeClock(scratch, QStringLiteral("+0 x10"));

    scratch.start();
    QVERIFY2(scratch.waitForLog("ZUVA application process was restarted... (2)\r\n", 200000),
             events(scratch.log()).constData());
    scratch.stop();

    const QList<QByteArray> lines = eventLines(scratch.log());
    QCOMPARE(lines.value(0), QByteArray("At startup, Detected ZUVA not running, restarted at: <T>\r"));
    QCOMPARE(lines.value(1), QByteArray("ZUVA application process was restarted... (1)\r"));
    int delayed = 0;
    int i = 2;
    for (; i + 1 < lines.size() && lines.at(i + 1) == "  Delayed, restart number 1 still too recent...\r";
         i += 2) {
        QCOMPARE(lines.at(i), QByteArray("Detected ZUVA not running, (1) restarted at: <T> (1).\r"));
        ++delayed;
    }
    QCOMPARE(lines.value(i), QByteArray("Detected ZUVA not running, (1) restarted at: <T> (1).\r"));
    QCOMPARE(lines.value(i + 1), QByteArray("ZUVA application process was restarted... (2)\r"));
    // Checks every 15 s after a launch that is followed by a 10 s pause: at least six are held back.
    QVERIFY2(delayed >= 6 && delayed <= 8, QByteArray::number(delayed).constData());

    // The two launches, by their log times, lie at least 120 s apart.
    const QList<QByteArray> raw = scratch.log().split('\n');
    QDateTime firstLaunch, secondLaunch;
    for (const QByteArray &line : raw) {
        if (line.startsWith("At startup, Detected ZUVA not running"))
            firstLaunch = stampOf(line);
        else if (line.startsWith("Detected ZUVA not running"))
            secondLaunch = stampOf(line); // the last one is the launching one
    }
    QVERIFY(firstLaunch.isValid() && secondLaunch.isValid());
    QVERIFY2(firstLaunch.secsTo(secondLaunch) >= 120, "two launches within 120 s");
    QVERIFY(firstLaunch.secsTo(secondLaunch) <= 150);
}

void tst_Supervision::answersACrashAtOnce_data()
{
    QTest::addColumn<bool>("before");         // a caster runs before the watchdog
    QTest::addColumn<QByteArray>("byHand");   // at 16 s, one started by hand "instead" of the watchdog's
    QTest::addColumn<QByteArray>("expected"); // or "beside" the one running; the log after the banner
    const QByteArray launched = "At startup, Detected ZUVA not running, restarted at: <T>\r\n"
                                "ZUVA application process was restarted... (1)\r\n";
    const QByteArray second = "Detected ZUVA not running, (1) restarted at: <T> (1).\r\n"
                              "ZUVA application process was restarted... (2)\r\n"
                              "Detected ZUVA not running, (2) restarted at: <T> (2).\r\n"
                              "  Delayed, restart number 2 still too recent...\r\n"
                              "# Monitoring service was stopped at: <T>\r\n"
                              "# \r\n";
    QTest::newRow("launched by the watchdog") << false << QByteArray() << launched + second;
    QTest::newRow("running before the watchdog")
        << true << QByteArray()
        << QByteArray("At startup, Detected ZUVA running (<T>)\r\n"
                      "Detected ZUVA not running, (0) restarted at: <T> (0).\r\n"
                      "ZUVA application process was restarted... (1)\r\n"
                      "Detected ZUVA not running, (1) restarted at: <T> (1).\r\n"
                      "  Delayed, restart number 1 still too recent...\r\n"
                      "# Monitoring service was stopped at: <T>\r\n"
                      "# \r\n");
    QTest::newRow("started by hand in the gate") << false << QByteArray("instead") << launched + second;
    // The tick at 30 s ends both (10 s after each command) and launches at 50 s: the caster it started
    // is its own, and nothing is left of the watch on the one that ran before.
    QTest::newRow("duplicates reduced") << true << QByteArray("beside")
                                        << QByteArray("At startup, Detected ZUVA running (<T>)\r\n"
                                                      "Detected Multiple copies of ZUVA running (<T>)\r\n"
                                                      "Process Kill/Restart returned 0\r\n"
                                                      "Process Kill/Restart returned 128\r\n"
                                                      "ZUVA application process was restarted... (1)\r\n")
                                               + second;
}

// A caster that dies between checks is answered at once, not at the next tick, whoever started it:
// past the 120 s gate with a launch, inside it with the usual delay. The watchdog waits on the end of
// the one caster a check found, once, and on no caster gone since. Its wall clock is moved two minutes
// on (libfaketime) instead of waiting for the gate.
void tst_Supervision::answersACrashAtOnce()
{
    QFETCH(bool, before);
    QFETCH(QByteArray, byHand);
    QFETCH(QByteArray, expected);
    Scratch scratch;
    scratch.installStandin();
    const QString clock = movableClock(scratch);
    if (clock.isEmpty())
        QSKIP("needs libfaketime (Debian package faketime)");
    const auto onlyCaster = [&] {
        const QSet<qint64> casters = scratch.liveStandins();
        return casters.size() == 1 ? *casters.begin() : 0;
    };
    // Qt 6 waits on a caster it started by a descriptor of its own.
    const auto waitsOn = [&](qint64 caster, bool adopted) {
        QList<qint64> others = pidfdTargets(scratch.watchdog.processId());
        const int onCaster = int(others.removeAll(caster));
        return others.isEmpty() && (adopted ? onCaster == 1 : onCaster <= 1);
    };
    const auto answered = [&](const QByteArray &line, int times) {
        QElapsedTimer sinceKill;
        sinceKill.start();
        const bool beforeTheTick = scratch.waitForLog(line, 10000, times); // 14 s away
        qInfo("\"%s\" %lld ms after the kill", line.constData(), sinceKill.elapsed());
        return beforeTheTick;
    };

    if (before)
        QVERIFY(scratch.startStandin() > 0);
    scratch.start();
    QVERIFY(scratch.waitForLog("At startup, Detected ZUVA ", 25000));
    QTRY_VERIFY_WITH_TIMEOUT(onlyCaster(), 10000);
    QTest::qWait(16000 - int(scratch.started.elapsed()));
    QVERIFY(waitsOn(onlyCaster(), before));
    if (byHand == "instead")
        QVERIFY(::kill(pid_t(onlyCaster()), SIGKILL) == 0);
    if (!byHand.isEmpty())
        QVERIFY(scratch.startStandin() > 0);

    // Just after a tick that found it running.
    QTest::qWait((byHand == "beside" ? 64000 : 31000) - int(scratch.started.elapsed()));
    const qint64 caster = onlyCaster();
    QVERIFY(waitsOn(caster, byHand == "instead" || (before && byHand.isEmpty())));
    QVERIFY(Scratch::writeScript(clock, "+130\n"));
    QVERIFY(caster && ::kill(pid_t(caster), SIGKILL) == 0);
    const int launches = int(expected.count("process was restarted"));
    QVERIFY2(answered("process was restarted", launches), events(scratch.log()).constData());

    // The schedule goes on from that check; a crash right after its next tick, inside the gate.
    QTest::qWait(16000);
    QVERIFY(::kill(pid_t(onlyCaster()), SIGKILL) == 0);
    QVERIFY2(answered("  Delayed, restart number", 1), events(scratch.log()).constData());
    scratch.stop();
    QCOMPARE(events(scratch.log()), expected);
}

// A stop that comes in the pause after a locked-up caster has been ended: its replacement is started on
// the way out, so that stopping the watchdog leaves the station with a caster, as it found it. The
// watchdog's wall clock is moved 400 s on (libfaketime) instead of waiting out the hold after its first
// check, and the hung caster's settings file is dated back.
void tst_Supervision::stopAfterEndingALockedUpCaster()
{
    Scratch scratch;
    scratch.installStandin();
    const QString clock = movableClock(scratch);
    if (clock.isEmpty())
        QSKIP("needs libfaketime (Debian package faketime)");
    QProcessEnvironment hung;
    hung.insert(QStringLiteral("STANDIN_MODE"), QStringLiteral("hang"));
    const qint64 lockedUp = scratch.startStandin(hung);
    QVERIFY(lockedUp > 0);

    scratch.start();
    QVERIFY(scratch.waitForLog("At startup, Detected ZUVA running (", 25000));
    QVERIFY(Scratch::writeScript(clock, "+400\n"));
    QFile settings(scratch.settingsPath()); // last written 1000 s ago, whichever clock reads it
    QVERIFY(settings.open(QIODevice::ReadOnly)
            && settings.setFileTime(QDateTime::currentDateTime().addSecs(-1000),
                                    QFileDevice::FileModificationTime));
    QVERIFY(scratch.waitForLog("Process Kill/Restart returned 0\r\n", 25000));
    QElapsedTimer stopping;
    stopping.start();
    scratch.stop(); // in the 10 s pause after the ending
    QVERIFY2(stopping.elapsed() < 5000, "the stop waited for the pause");

    static const QRegularExpression age(QStringLiteral("\\(for [\\d,]+ sec\\)"));
    QCOMPARE(QString::fromUtf8(events(scratch.log())).replace(age, QStringLiteral("(for <N> sec)")).toUtf8(),
             QByteArray("At startup, Detected ZUVA running (<T>)\r\n"
                        "ZUVA app appears LOCKED UP at: <T>, (for <N> sec), restarting (0).\r\n"
                        "Process Kill/Restart returned 0\r\n"
                        "ZUVA application process was restarted... (1)\r\n"
                        "# Monitoring service was stopped at: <T>\r\n"
                        "# \r\n"));
    // The locked-up one may take a moment to be gone, its replacement to note its pid.
    QTRY_VERIFY_WITH_TIMEOUT(scratch.liveStandins().size() == 1 && !scratch.liveStandins().contains(lockedUp),
                             10000);
}

// Each case waits on the watchdog's real 15 s tick, its pauses and its gate: the cases (each row of a
// table one) run side by side, each in a process and a process table of its own, since each starts
// and ends casters by the same name.
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    tst_Supervision test;
    return runSideBySide(test, argc, argv, {QStringLiteral("sh"), QStringLiteral(ZUVA_PROCESS_TABLE)});
}

#include "tst_supervision.moc"
