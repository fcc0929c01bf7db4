// The real watchdog against commands and files that misbehave, and stopped at awkward moments.
// Every case runs its own copy of the watchdog next to stand-in commands of its own, so the cases
// see nothing of the machine or of each other and run side by side.

#include "watchdogrun.h"

#include <QDate>
#include <QTest>

#include <functional>
#include <memory>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

using namespace WatchdogRun;

namespace {

// A caster that keeps running (as "sleep", so that no real listing on the machine counts it), and notes
// what it holds open.
const QByteArray runningCaster = "#!/bin/sh\necho $$ >>\"$STANDIN_PIDFILE\"\n"
                                 "ls -l /proc/$$/fd >\"$HOME/caster-fds\"\nexec sleep 600\n";
const QByteArray emptyListing = "#!/bin/sh\nprintf '\\r\\nImage Name   PID\\r\\n'\n";
const QByteArray twoCasters = "#!/bin/sh\nprintf 'brindleCast.exe 101\\r\\nbrindleCast.exe 102\\r\\n'\n";

const QByteArray notRunning = "At startup, Detected ZUVA not running, restarted at: <T>\r\n";
const QByteArray launched = "ZUVA application process was restarted... (1)\r\n";
const QByteArray notRunningAtStart = notRunning + launched;
const QByteArray heldBack = "Detected ZUVA not running, (1) restarted at: <T> (1).\r\n"
                            "  Delayed, restart number 1 still too recent...\r\n";
const QByteArray stopBlock = "# Monitoring service was stopped at: <T>\r\n# \r\n";

const QByteArray banner = "  \r\n# \r\n# ZUVA Monitoring Tool (Rev 1.1) started at: <T>\r\n# \r\n";
const int bannerBytes = banner.size() - int(sizeof "<T>") + 1 + int(sizeof "dd.MM.yyyy HH:mm:ss") - 1;

QByteArray listingFailed(const char *result)
{
    return "Process listing failed at: <T> (returned " + QByteArray(result) + "), check skipped.\r\n";
}

// What the watchdog's standard output is connected to.
enum class Console {
    Read,   // read by the test as it comes
    Closed, // a pipe whose reader goes away after a few bytes, as with "| head -c 10"
    Stuck,  // a pipe that is full and never read, as a terminal paused with Ctrl+S
};

struct Case
{
    const char *name;
    QByteArray tasklist; // empty: missing
    QByteArray taskkill; // empty: missing
    QByteArray events;   // what the log holds after the start banner, the stop block included
    int signal = SIGTERM;
    int signalAtMs = 0;         // 0: once the events before the stop block are all there
    int minStopMs = 0;          // the watchdog stops no earlier: the steps under way finish first ...
    int maxStopMs = 0;          // ... and no later (0: no bound), as the pauses end at once
    bool casterAlive = false;   // one caster was running at the end and outlived the watchdog
    bool casterAtStart = false; // the stand-in caster runs before the watchdog starts
    bool signalToGroup = false; // the signal goes to the watchdog's process group, as Ctrl+C at a terminal
    Console console = Console::Read;
    QByteArray wrapper{}; // a shell command that starts the watchdog ("$0"); empty: started directly
    int slowStartMs = 0;  // the caster's start is held up this long (its exec, under strace)
    std::function<void(Scratch &)> setUp{};  // before the start
    std::function<void(Scratch &)> midRun{}; // 5 s after the start, between the banner and the first tick
    QByteArray consoleEvents{};              // where the log holds less: what the console shows
    qint64 maxPeakKiB = 0;                   // 0: no bound
    QByteArray toldOnce{};                   // what standard error says exactly once
    std::function<void(const Scratch &)> afterwards{}; // what else holds once it has ended
    int maxEndMs = 0; // its main thread has ended by then (0: no bound), whatever else the system holds up
};

// The week's log; the weeks either side as well, for a run that straddles a week's end.
QStringList weekLogs(const Scratch &run, int around = 0)
{
    const qint64 days = QDate(2019, 1, 1).daysTo(QDateTime::currentDateTimeUtc().date());
    QStringList logs;
    for (qint64 week = days / 7 - around; week <= days / 7 + around; ++week)
        logs << run.folder + QStringLiteral("/ZUVAmon_log_%1.txt").arg(week);
    return logs;
}

void makeFifos(const QStringList &paths)
{
    for (const QString &path : paths)
        QVERIFY(QDir().mkpath(QFileInfo(path).path())
                && ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
}

// Whether a tracer is attached to pid.
bool traced(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    const QByteArray text = status.open(QIODevice::ReadOnly) ? status.readAll() : QByteArray();
    const int at = text.indexOf("TracerPid:");
    return at >= 0 && text.mid(at + 10, text.indexOf('\n', at) - at - 10).trimmed() != "0";
}

// The watchdog, itself or behind a wrapper that noted its pid.
pid_t watchdogPid(const Scratch &run)
{
    QFile noted(run.root.filePath(QStringLiteral("watchdog.pid")));
    return pid_t(noted.open(QIODevice::ReadOnly) ? noted.readAll().trimmed().toLongLong()
                                                 : run.watchdog.processId());
}

// The calls on the week's log that strace -f -y -o "$HOME/trace" saw, in order: "write:<first word of
// the line>", "sync" where a sync begins and "done" where it returns. Empty until the tracer has seen the
// thread that wrote the log end. A log deleted is no longer the week's log.
QList<QByteArray> logCalls(const Scratch &run)
{
    static const QRegularExpression call(QStringLiteral(
        "^(\\d+) (write|fdatasync|fsync)\\(\\d+<[^>]*/ZUVAmon_log_-?\\d+\\.txt>(?!\\(deleted\\))(, "
        "\"(\\S*))?"));
    static const QRegularExpression resumed(QStringLiteral("^(\\d+) <\\.\\.\\. f(data)?sync resumed>"));
    QList<QByteArray> calls;
    QSet<QString> syncing; // threads in a sync of the log
    QString writer;
    bool ended = false;
    QFile file(run.root.filePath(QStringLiteral("trace")));
    for (const QByteArray &line :
         file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QList<QByteArray>()) {
        const QString text = QString::fromUtf8(line.simplified()); // strace pads the pid
        const QRegularExpressionMatch match = call.match(text);
        if (match.hasMatch() && match.captured(2) == QLatin1String("write")) {
            writer = match.captured(1);
            calls << "write:" + match.captured(4).toUtf8();
        } else if (match.hasMatch()) {
            calls << "sync";
            if (text.endsWith(QLatin1String("<unfinished ...>")))
                syncing.insert(match.captured(1));
            else
                calls << "done";
        } else if (syncing.remove(resumed.match(text).captured(1))) {
            calls << "done";
        }
        ended = ended || (!writer.isEmpty() && text == writer + QLatin1String(" +++ exited with 0 +++"));
    }
    return ended ? calls : QList<QByteArray>();
}

// Every line written is followed by a sync of the log, and no line queues a sync of its own behind one
// that waits: "write (write)* sync (sync)?", over and over, and as many writes as the log has lines. (A
// tracer may report the syncing thread's calls a little late: one more sync in a row is let through.)
void verifyEachLineSynced(const Scratch &run)
{
    QList<QByteArray> calls;
    QTRY_VERIFY_WITH_TIMEOUT(!(calls = logCalls(run)).isEmpty(), 5000);
    QByteArray sequence;
    for (const QByteArray &call : calls)
        sequence += call.startsWith("write") ? "write " : call == "sync" ? "sync " : "";
    static const QRegularExpression eachWriteSynced(QStringLiteral("^(write (write )*sync (sync ){0,2})+$"));
    QVERIFY2(eachWriteSynced.match(QString::fromLatin1(sequence)).hasMatch(), sequence.constData());
    QCOMPARE(sequence.count("write "), run.log().count("\r\n"));
}

// A pipe at path, filled to the brim; the returned descriptor is its reader, which never reads.
int fullPipe(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    if (::mkfifo(name.constData(), 0600) != 0)
        return -1;
    const int reader = ::open(name.constData(), O_RDONLY | O_NONBLOCK);
    const int writer = ::open(name.constData(), O_WRONLY | O_NONBLOCK);
    const QByteArray block(4096, 'x');
    while (::write(writer, block.constData(), size_t(block.size())) > 0) {
    }
    ::close(writer);
    return reader;
}

} // namespace

class tst_Faults : public QObject
{
    Q_OBJECT

private slots:
    void misbehavingCommandsAndStops();
    void partlyWrittenLinesLeaveNoTrace();
};

void tst_Faults::misbehavingCommandsAndStops()
{
    QByteArray megabyte = "#!/bin/sh\ni=0\nwhile [ $i -lt 20000 ]; do\n"
                          "  printf 'someprocess%05d.exe   %d Console   1   12,345 K\\r\\n' $i $i\n"
                          "  i=$((i+1))\n"
                          "  [ $i -eq 12345 ] && printf 'brindleCast.exe 4242\\r\\n'\n"
                          "done\n"
                          "exit 0\n";
    const QByteArray chatter = "#!/bin/sh\nhead -c 300000 /dev/zero\n";
    QList<Case> cases = {
        // A stop does not wait for the listing's budgets (75 s), and nothing is started on the strength
        // of a listing that never came.
        {"listing hangs, stop requested during it", "#!/bin/sh\nexec sleep 600\n", "", stopBlock, SIGTERM,
         20000, 20000, 22000},
        // The termination procedure's own listing outlasts its budgets (18.5 s): nothing is ended, and
        // no third caster joins the two.
        {"listing fails when the casters are to be ended",
         "#!/bin/sh\n[ -e listed-once ] && sleep 25\n: >listed-once\n"
         "printf 'brindleCast.exe 101\\r\\nbrindleCast.exe 102\\r\\n'\n",
         "", "Detected Multiple copies of ZUVA running (<T>)\r\n" + listingFailed("-1") + stopBlock},
        {"listing command missing", "", "", listingFailed("-2") + listingFailed("-2") + stopBlock},
        {"listing crashes after a caster line",
         "#!/bin/sh\nprintf 'brindleCast.exe 7\\r\\n'\nkill -SEGV $$\n", "", listingFailed("-1") + stopBlock},
        // The first cycle that could list is the start-up one.
        {"listing fails once, then works",
         "#!/bin/sh\nprintf 'brindleCast.exe 7\\r\\n'\n"
         "[ -e failed-once ] && exit 0\n"
         ": >failed-once\n"
         "exit 3\n",
         "", listingFailed("3") + "At startup, Detected ZUVA running (<T>)\r\n" + stopBlock},
        {"listing prints garbage",
         "#!/bin/sh\nprintf '\\377\\376\\0\\001brindle\\0Cast\\r\\r\\n\\n\\033[2J%%s%%n'\nhead -c 200000 "
         "/dev/zero\n",
         "", notRunningAtStart + heldBack + stopBlock},
        {"listing of a megabyte", megabyte, "", "At startup, Detected ZUVA running (<T>)\r\n" + stopBlock},
        // Casters that could not be ended are not joined by another one.
        {"process-ending command missing", twoCasters, "",
         "Detected Multiple copies of ZUVA running (<T>)\r\n"
         "Process Kill/Restart returned -2\r\n"
         "Process Kill/Restart returned -2\r\n"
             + stopBlock},
        // The first command has ended every caster: the second is not run, and the one caster that the
        // station had is replaced at once, before the stop block.
        {"stop between two process-ending commands", twoCasters, "#!/bin/sh\nexit 0\n",
         "Detected Multiple copies of ZUVA running (<T>)\r\nProcess Kill/Restart returned 0\r\n" + launched
             + stopBlock,
         SIGTERM, 18000, 18000, 20000, true},
        {"Ctrl+C during the pause after a launch", emptyListing, "", notRunningAtStart + stopBlock, SIGINT,
         18000, 17500, 20000, true},
        // Typed at a terminal, Ctrl+C reaches the whole foreground process group; the listing runs
        // from 15 s to 19 s and is abandoned, and the caster that ran before goes on running.
        {"Ctrl+C at the terminal while a listing runs",
         "#!/bin/sh\nsleep 4\nexec '" + QFile::encodeName(binary("tasklist")) + "'\n", "", stopBlock, SIGINT,
         17000, 17000, 19000, true, true, true},
        {"console closed at once", emptyListing, "", notRunningAtStart + heldBack + stopBlock, SIGTERM, 0, 0,
         0, false, false, false, Console::Closed},
        // The process-ending command prints 300 KB that the console never takes.
        {"console never reads", twoCasters, chatter,
         "Detected Multiple copies of ZUVA running (<T>)\r\n"
         "Process Kill/Restart returned 0\r\n"
         "Process Kill/Restart returned 0\r\n"
             + launched + stopBlock,
         SIGTERM, 0, 0, 0, true, false, false, Console::Stuck},
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
        // The caster's start takes 10 s (a slow disk, a scanner): the stop does not wait for it, and the
        // caster, left to start, goes on running. (Qt 6 starts programs with vfork semantics: there the
        // start itself waits for the program's exec, as CreateProcess does on Windows.)
        {"stop during a slow start of the caster", emptyListing, "", notRunning + stopBlock, SIGTERM, 17000,
         17000, 19000, true, false, false, Console::Read, "", 10000},
#endif
        // What the machine around it does: streams, terminal, limits, signals and the files' shapes.
        {"started with its standard streams closed", twoCasters,
         "#!/bin/sh\necho 'ERROR: The process \"brindleCast.exe\" not found.' >&2\nexit 128\n",
         "Detected Multiple copies of ZUVA running (<T>)\r\nProcess Kill/Restart returned 128\r\n"
         "Process Kill/Restart returned 128\r\nZUVA application process was restarted... (1)\r\n"
             + stopBlock,
         SIGTERM, 0, 30000, 0, true, false, false, Console::Closed, "exec \"$0\" <&- >&- 2>&-"},
        {"background job on a terminal with tostop", emptyListing, "", notRunningAtStart + stopBlock, SIGTERM,
         0, 0, 0, true, false, false, Console::Read,
         "export W=\"$0\"; exec script -qec 'stty tostop; set -m; \"$W\" & echo $! >\"$HOME/watchdog.pid\"; "
         "wait $!' /dev/null"},
        {"Ctrl+\\ during the pause after a launch", emptyListing, "", notRunningAtStart + stopBlock, SIGQUIT,
         18000, 17500, 20000, true},
    };
    Case row;
    // The caster's line names another program's process, which ends on its own 5 s after the first check:
    // its end brings one check at once, which takes its own listing and ends and logs nothing.
    row = {"caster's line naming another process",
           "#!/bin/sh\necho >>\"$HOME/listings\"\n"
           "[ -e \"$HOME/other\" ] || { sleep 5 </dev/null >/dev/null 2>&1 & echo $! >\"$HOME/other\"; }\n"
           "printf 'brindleCast.exe %s\\r\\n' \"$(cat \"$HOME/other\")\"\n",
           "",
           "At startup, Detected ZUVA running (<T>)\r\n" + stopBlock,
           SIGTERM,
           25000};
    row.afterwards = [](const Scratch &run) {
        QCOMPARE(QFileInfo(run.root.filePath(QStringLiteral("listings"))).size(), qint64(2)); // a byte each
    };
    cases << row;
    // The stop gives the command a second, no more: it then has no result to log, and is left to finish,
    // as one cut short could leave casters half ended, and nothing is started after it. (The command
    // stops the watchdog itself, which is its parent, and notes how long the watchdog outlived that, in
    // microseconds: on a busy machine a timed look of its own could come after the second.)
    row = {"process-ending command slow, stop requested during it",
           twoCasters,
           "#!/bin/bash\nsent=$EPOCHREALTIME\nkill -TERM $PPID\n"
           "while kill -0 $PPID 2>/dev/null && ! grep -qs '^State:.Z' /proc/$PPID/status\n"
           "do sleep 0.05; done\n"
           "echo $((${EPOCHREALTIME/./} - ${sent/./})) >waited\nsleep 2\n: >kill-finished\nexit 1\n",
           "Detected Multiple copies of ZUVA running (<T>)\r\n" + stopBlock,
           0,
           0,
           0,
           17500};
    row.afterwards = [](const Scratch &run) {
        QFile waited(run.folder + QStringLiteral("/waited"));
        QVERIFY(waited.open(QIODevice::ReadOnly));
        const QByteArray waitedUs = waited.readAll().trimmed();
        QVERIFY2(waitedUs.toLongLong() >= 950000, "the stop waited " + waitedUs + " us for the command");
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(run.folder + QStringLiteral("/kill-finished")), 5000);
    };
    cases << row;
    // One that is done within that second is reported, and what it ended is replaced.
    row = {"process-ending command done a moment after the stop",
           twoCasters,
           "#!/bin/sh\nkill -TERM $PPID\nsleep 0.3\nexit 0\n",
           "Detected Multiple copies of ZUVA running (<T>)\r\nProcess Kill/Restart returned 0\r\n" + launched
               + stopBlock,
           0,
           0,
           0,
           17500,
           true};
    cases << row;
    // The watchdog under strace, which holds up or fails the calls named in options; or which writes the
    // log's calls to "$HOME/trace" as well, for logCalls().
    const auto underStrace = [](const QByteArray &options) {
        return "exec strace -D -f -qq -o /dev/null " + options + " \"$0\"";
    };
    const auto tracingLog = [](const QByteArray &options) {
        return "exec strace -D -f -o \"$HOME/trace\" -y -e trace=write,fdatasync,fsync " + options
               + " \"$0\"";
    };
    // The watchdog on libfaketime's clock, five times as fast, with the shim that keeps its threads' waits
    // on that clock too; put between strace and the watchdog, so that strace keeps the real one.
    const QByteArray preload = qgetenv("ZUVA_LIBFAKETIME");
    const QByteArray fastClock =
        preload.isEmpty() ? QByteArray() : "env LD_PRELOAD='" + preload + "' FAKETIME='+0 x5'";
    // The machine holds up each start of a command for 30 s (a scanner, a slow card), or of the listing
    // for longer than all its budgets together: the stop does not wait for a start, nothing is begun
    // after it, and a listing that never started is a failed one.
    const auto holdStarts = [&](const char *command, int seconds, const QByteArray &wrapper = {}) {
        return underStrace("-P \"$HOME/bin/" + QByteArray(command)
                           + "\" -e trace=execve -e inject=execve:delay_enter="
                           + QByteArray::number(seconds * 1000000) + ' ' + wrapper);
    };
    row = {"listing's start held, stop during it", emptyListing, "", stopBlock, SIGTERM, 20000, 20000, 22000};
    row.wrapper = holdStarts("tasklist", 30);
    cases << row;
    // A command whose start was cut short by the stop, well within its 5 s, never runs, even once the
    // machine lets it start.
    row = {"process-ending command's start held, stop during it",
           twoCasters,
           "#!/bin/sh\n: >kill-ran\nexit 0\n",
           "Detected Multiple copies of ZUVA running (<T>)\r\n" + stopBlock,
           SIGTERM,
           17500,
           17500,
           20000};
    row.wrapper = holdStarts("taskkill", 30);
    row.afterwards = [](const Scratch &run) {
        QTest::qWait(int(qMax<qint64>(0, 48000 - run.started.elapsed()))); // the hold ends at about 45 s
        QVERIFY2(!QFile::exists(run.folder + QStringLiteral("/kill-ran")), "ran after the stop");
    };
    cases << row;
    // A start held for good is given the listing's start budget: the command could not be started, and
    // the checks go on.
    row = {"process-ending command's start held for good", twoCasters, "#!/bin/sh\nexit 0\n",
           "Detected Multiple copies of ZUVA running (<T>)\r\nProcess Kill/Restart returned -2\r\n"
           "Process Kill/Restart returned -2\r\n"
               + stopBlock};
    row.wrapper = holdStarts("taskkill", 600);
    cases << row;
    // Past all its budgets (75 s) on the watchdog's clock, which runs five times as fast where libfaketime is
    // at hand (strace's own stays real): held 16 s, the start comes as late as 80 s would on the real clock.
    row = {"listing's start held past its budgets", emptyListing, "", listingFailed("-1") + stopBlock};
    row.wrapper = fastClock.isEmpty() ? holdStarts("tasklist", 80) : holdStarts("tasklist", 16, fastClock);
    cases << row;
    // A disk that takes 30 s for each sync holds up neither the caster's start nor the stop, which gives
    // its own lines' sync a second and ends (the process itself may still be held until the disk
    // answers); the caster, started while a sync waits, holds no descriptor of the log. One that keeps
    // answering EINTR holds up nothing, and is reported once.
    row = {"every sync held 30 s",
           emptyListing,
           "",
           notRunningAtStart + stopBlock,
           SIGTERM,
           17000,
           17000,
           19000,
           true};
    row.wrapper = underStrace("-e trace=fdatasync -e inject=fdatasync:delay_enter=30000000");
    row.maxEndMs = 21000;
    cases << row;
    row = {"every sync interrupted", emptyListing, "", notRunningAtStart + heldBack + stopBlock};
    row.wrapper = underStrace("-e trace=fdatasync -e inject=fdatasync:error=EINTR");
    row.toldOnce = "Log not synced to the disk (Interrupted system call)";
    cases << row;
    // Whatever its parent passed on: SIGCHLD ignored (the system would reap the commands unread), the
    // stop signals blocked.
    row = {"started with SIGCHLD ignored", emptyListing, "", notRunningAtStart + heldBack + stopBlock};
    row.wrapper = "exec env --ignore-signal=CHLD \"$0\"";
    cases << row;
    row = {"started with its stop signals blocked", emptyListing, "", notRunningAtStart + stopBlock};
    row.wrapper = "exec env --block-signal=TERM,INT,HUP,QUIT \"$0\"";
    cases << row;
    // A stop or a broken pipe that came while they were blocked is answered once the handlers are in place.
    row = {"SIGTERM pending at start", emptyListing, "", stopBlock};
    row.signal = 0; // the test sends none
    row.wrapper = "exec env --block-signal=TERM sh -c 'kill -TERM $$; exec \"$0\"' \"$0\"";
    cases << row;
    row = {"SIGPIPE pending at start", emptyListing, "", notRunningAtStart + heldBack + stopBlock};
    row.wrapper = "exec env --block-signal=PIPE sh -c 'kill -PIPE $$; exec \"$0\"' \"$0\"";
    cases << row;
    // Stop signals that whoever started it ignored stay ignored; SIGTERM still stops it.
    row = {"SIGHUP under nohup", emptyListing, "", notRunningAtStart + heldBack + stopBlock};
    row.wrapper = "exec nohup \"$0\"";
    row.midRun = [](Scratch &run) { ::kill(pid_t(run.watchdog.processId()), SIGHUP); };
    cases << row;
    row = {"SIGINT and SIGQUIT ignored by its starter", emptyListing, "",
           notRunningAtStart + heldBack + stopBlock};
    row.wrapper = "exec env --ignore-signal=INT,QUIT \"$0\"";
    row.midRun = [](Scratch &run) {
        for (const int signal : {SIGINT, SIGQUIT})
            ::kill(pid_t(run.watchdog.processId()), signal);
    };
    cases << row;
    // 50 bytes left: the first event line is refused and cut back, the shorter launch line fits.
    row = {"file-size limit reached by the log", emptyListing, "",
           "ZUVA application process was restarted... (1)\r\n"};
    row.wrapper = "exec prlimit --fsize=8192 \"$0\"";
    row.setUp = [](Scratch &run) {
        QFile log(weekLogs(run).constFirst());
        const QByteArray earlier = "# " + QByteArray(8192 - 50 - bannerBytes - 4, '-') + "\r\n";
        QVERIFY(log.open(QIODevice::WriteOnly) && log.write(earlier) == earlier.size());
    };
    row.consoleEvents = notRunningAtStart + stopBlock;
    cases << row;
    row = {"SIGUSR1, SIGUSR2 and SIGALRM change nothing", emptyListing, "",
           notRunningAtStart + heldBack + stopBlock};
    row.midRun = [](Scratch &run) {
        for (const int signal : {SIGUSR1, SIGUSR2, SIGALRM})
            ::kill(pid_t(run.watchdog.processId()), signal);
    };
    cases << row;
    row = {"FIFO at the log's name", emptyListing, "", ""}; // no log file: the console has it all
    row.consoleEvents = notRunningAtStart + heldBack + stopBlock;
    row.setUp = [](Scratch &run) { makeFifos(weekLogs(run, 1)); };
    cases << row;
    row.name = "device at the log's name";
    row.setUp = [](Scratch &run) {
        for (const QString &log : weekLogs(run, 1))
            QVERIFY(QFile::link(QStringLiteral("/dev/full"), log));
    };
    cases << row;
    row = {"FIFO as settings file", emptyListing, "", notRunningAtStart + heldBack + stopBlock};
    row.setUp = [](Scratch &run) { makeFifos({run.settingsPath()}); };
    cases << row;
    row = {"settings file of 1 GiB", emptyListing, "", notRunningAtStart + heldBack + stopBlock};
    row.setUp = [](Scratch &run) {
        QFile settings(run.settingsPath());
        QVERIFY(QDir().mkpath(QFileInfo(settings).path()) && settings.open(QIODevice::WriteOnly));
        QVERIFY(settings.resize(qint64(1) << 30)); // sparse: no disk space
    };
    row.maxPeakKiB = 256 * 1024;
    cases << row;
    row = {"log deleted mid-run", emptyListing, "", header() + notRunningAtStart + heldBack + stopBlock};
    row.midRun = [](Scratch &run) { QVERIFY(QFile::remove(run.logPath())); };
    cases << row;
    row = {"caster's folder renamed mid-run", emptyListing, "", notRunningAtStart + heldBack + stopBlock};
    row.midRun = [](Scratch &run) {
        const QString moved = run.folder + QStringLiteral("-moved");
        QVERIFY(QDir().rename(run.folder, moved));
        run.folder = moved;
    };
    cases << row;
    // Each line is handed to the disk as it is written: the log's own calls, as a tracer sees them, are a
    // write for every line, each followed by a sync. A sync that fails (every other one) changes nothing.
    row = {"every line synced, every other sync failing", emptyListing, "",
           notRunningAtStart + heldBack + stopBlock};
    row.toldOnce = "Log not synced to the disk (Input/output error)";
    row.wrapper = tracingLog("-e inject=fdatasync,fsync:error=EIO:when=2+2");
    row.afterwards = verifyEachLineSynced;
    cases << row;
    // A disk that takes 300 ms for each sync: the lines written meanwhile wait for one sync, not one each,
    // and the stop block's sync is done before the watchdog ends.
    row = {"every sync taking 300 ms", emptyListing, "", notRunningAtStart + stopBlock};
    row.wrapper = tracingLog("-e inject=fdatasync:delay_enter=300000");
    row.afterwards = [](const Scratch &run) {
        verifyEachLineSynced(run);
        static const QRegularExpression lastLinesSynced(QStringLiteral("sync[^:]* done$")); // no write after
        const QByteArray calls = logCalls(run).join(' ');
        QVERIFY2(lastLinesSynced.match(QString::fromLatin1(calls)).hasMatch(), calls.constData());
    };
    cases << row;
    // The log begun anew while the old one's sync waits for the disk: its lines get a sync of their own
    // as soon as the disk answers, not with the next check's.
    row = {"log deleted while a sync is held", emptyListing, "",
           header() + notRunningAtStart + heldBack + stopBlock};
    row.wrapper = tracingLog("-e inject=fdatasync:delay_enter=20000000:when=1");
    row.midRun = [](Scratch &run) { QVERIFY(QFile::remove(run.logPath())); };
    row.afterwards = [](const Scratch &run) {
        QList<QByteArray> calls;
        QTRY_VERIFY_WITH_TIMEOUT(!(calls = logCalls(run)).isEmpty(), 5000);
        const int launchLine = int(calls.indexOf("write:ZUVA"));
        const int nextCheck = int(calls.indexOf("write:Detected"));
        QVERIFY2(launchLine >= 0 && nextCheck > launchLine
                     && calls.mid(launchLine, nextCheck - launchLine).contains("sync"),
                 calls.join(' ').constData());
    };
    cases << row;
    // Where no thread can be had (a limit on processes), commands are started and the log synced on the
    // watchdog's own thread, and standard error says so once.
    row = {"no thread to be had", emptyListing, "", notRunningAtStart + heldBack + stopBlock};
    row.wrapper = tracingLog("-E LD_PRELOAD='" ZUVA_NO_THREADS "'");
    row.toldOnce = "No thread can be started";
    row.afterwards = verifyEachLineSynced;
    cases << row;
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // The caster's start held for good (a scanner hung on it): no second launch is begun beside it,
    // however many checks pass the 120 s gate, on a clock ten times as fast.
    if (!qEnvironmentVariableIsEmpty("ZUVA_LIBFAKETIME")) {
        row = {"caster's start held for good", emptyListing, "",
               notRunning + heldBack.repeated(5) + stopBlock};
        row.wrapper = "exec env LD_PRELOAD=\"$ZUVA_LIBFAKETIME\" FAKETIME='+0 x10' \"$0\"";
        row.slowStartMs = 600000;
        cases << row;
    }
#endif

    std::vector<std::unique_ptr<Scratch>> runs;
    std::vector<std::unique_ptr<QProcess>> readers; // for the console closed at once
    std::vector<int> stuckReaders;
    std::vector<std::unique_ptr<QProcess>> tracers; // for the slow starts
    for (const Case &c : cases) {
        runs.push_back(std::make_unique<Scratch>());
        Scratch &run = *runs.back();
        run.useOwnCommands(c.tasklist, c.taskkill);
        if (c.setUp)
            c.setUp(run);
        if (!c.wrapper.isEmpty())
            run.launcher =
                QStringList{QStringLiteral("sh"), QStringLiteral("-c"), QString::fromUtf8(c.wrapper)};
        if (c.casterAtStart) {
            run.installStandin();
            QVERIFY(run.startStandin() > 0);
        } else {
            QVERIFY(Scratch::writeScript(run.casterPath(),
                                         c.casterAlive ? runningCaster : QByteArray("#!/bin/sh\nexit 0\n")));
        }
        if (c.signalToGroup)
            run.launcher = QStringList(QStringLiteral("setsid"));
        if (c.console == Console::Closed) {
            readers.push_back(std::make_unique<QProcess>());
            run.watchdog.setStandardOutputProcess(readers.back().get());
            readers.back()->setStandardOutputFile(QProcess::nullDevice());
            readers.back()->start(QStringLiteral("head"), {QStringLiteral("-c"), QStringLiteral("10")});
        } else if (c.console == Console::Stuck) {
            const QString pipe = run.root.filePath(QStringLiteral("console"));
            stuckReaders.push_back(fullPipe(pipe));
            QVERIFY(stuckReaders.back() >= 0);
            run.watchdog.setStandardOutputFile(pipe);
        }
        run.start();
        if (c.slowStartMs) {
            tracers.push_back(std::make_unique<QProcess>());
            tracers.back()->setWorkingDirectory(run.folder);
            tracers.back()->start(
                QStringLiteral("strace"),
                {QStringLiteral("-f"), QStringLiteral("-qq"), QStringLiteral("-o/dev/null"),
                 QStringLiteral("-p%1").arg(run.watchdog.processId()),
                 QStringLiteral("-P") + run.casterPath(), QStringLiteral("-P./brindleCast.exe"),
                 QStringLiteral("-etrace=execve"),
                 QStringLiteral("-einject=execve:delay_enter=%1").arg(c.slowStartMs * 1000)});
            QVERIFY(tracers.back()->waitForStarted(5000));
            QTRY_VERIFY_WITH_TIMEOUT(traced(run.watchdog.processId()), 5000);
        }
    }

    QElapsedTimer clock;
    clock.start();
    std::vector<bool> signalled(cases.size(), false);
    std::vector<bool> disturbed(cases.size(), false);
    // When the stop block was there, or else the watchdog had ended: a sync that the disk holds up can
    // hold up the process's end too, after the watchdog is done with it.
    std::vector<qint64> stoppedAt(cases.size(), 0);
    std::vector<qint64> endedAt(cases.size(), 0);
    std::vector<qint64> peakKiB(cases.size(), 0);
    // How much later than asked the poll below sent a row its signal: the stop's bound runs from then.
    std::vector<qint64> signalLateMs(cases.size(), 0);
    while (true) {
        bool allDone = true;
        for (size_t i = 0; i < runs.size(); ++i) {
            const Case &c = cases.at(int(i));
            Scratch &run = *runs[i];
            if (run.watchdog.state() == QProcess::NotRunning) {
                if (!stoppedAt[i])
                    stoppedAt[i] = run.started.elapsed();
                if (!endedAt[i])
                    endedAt[i] = run.started.elapsed();
                continue;
            }
            allDone = false;
            if (signalled[i] && !endedAt[i] && !alive(watchdogPid(run)))
                endedAt[i] = run.started.elapsed();
            if (c.midRun && !disturbed[i] && run.started.elapsed() >= 5000) {
                c.midRun(run);
                disturbed[i] = true;
            }
            const QByteArray &expected = c.consoleEvents.isEmpty() ? c.events : c.consoleEvents;
            const QByteArray sofar =
                c.consoleEvents.isEmpty() ? events(run.log()) : events(loggedOn(run.console));
            if (!stoppedAt[i] && sofar.endsWith(stopBlock))
                stoppedAt[i] = run.started.elapsed();
            const bool due = c.signalAtMs ? run.started.elapsed() >= c.signalAtMs
                                          : sofar == expected.left(expected.size() - stopBlock.size());
            if (due && !signalled[i]) {
                const pid_t pid = watchdogPid(run);
                peakKiB[i] = rssKiB(pid, "VmHWM:");
                ::kill(c.signalToGroup ? -pid : pid, c.signal);
                signalled[i] = true;
                if (c.signalAtMs)
                    signalLateMs[i] = run.started.elapsed() - c.signalAtMs;
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
        QVERIFY2(events(run.log()) == c.events, name + ", the log after the banner:\n" + events(run.log()));
        QVERIFY2(c.consoleEvents.isEmpty() || events(loggedOn(run.console)) == c.consoleEvents,
                 name + ", the console after the banner:\n" + events(loggedOn(run.console)));
        // Said once, where no log file could be had at all, or the disk would not sync it.
        const QByteArray errors = run.watchdog.readAllStandardError();
        QVERIFY2(errors.count("No log file: ") == (c.events.isEmpty() ? 1 : 0),
                 name + ": the console's word on the log file");
        for (const QByteArray telling : {"Log not synced", "No thread can be started"}) {
            QVERIFY2(errors.count(telling) == (c.toldOnce.startsWith(telling) ? 1 : 0)
                         && (c.toldOnce.isEmpty() || errors.count(c.toldOnce) == 1),
                     name + ": the console's word on the disk:\n" + errors);
        }
        QVERIFY2(!c.maxPeakKiB || peakKiB[i] <= c.maxPeakKiB,
                 name + ": peak RSS " + QByteArray::number(peakKiB[i]));
        QVERIFY2(run.watchdog.state() == QProcess::NotRunning, name + ": still running");
        QVERIFY2(run.watchdog.exitStatus() == QProcess::NormalExit && run.watchdog.exitCode() == 0,
                 name + ": did not end in order");
        QVERIFY2(run.log().count("# Monitoring service was stopped at: ")
                     == (c.events.endsWith(stopBlock) ? 1 : 0),
                 name + ": stop block not once");
        QVERIFY2(stoppedAt[i] >= c.minStopMs
                     && (!c.maxStopMs || stoppedAt[i] - signalLateMs[i] <= c.maxStopMs),
                 name + ": stopped " + QByteArray::number(stoppedAt[i]) + " ms after the start, signalled "
                     + QByteArray::number(signalLateMs[i]) + " ms late");
        QVERIFY2(!c.maxEndMs || endedAt[i] <= c.maxEndMs,
                 name + ": ended " + QByteArray::number(endedAt[i]) + " ms after the start");
        if (c.casterAlive) {
            QTRY_VERIFY2_WITH_TIMEOUT(run.standinPids().size() == 1, name,
                                      5000); // a caster notes its pid once up
            QVERIFY2(alive(*run.standinPids().begin()), name + ": the caster did not outlive the watchdog");
        }
        if (c.casterAlive && !c.casterAtStart) {
            QFile held(run.root.filePath(QStringLiteral("caster-fds")));
            QVERIFY2(held.open(QIODevice::ReadOnly) && !held.readAll().contains("ZUVAmon_log_"),
                     name + ": the caster holds the log open");
        }
        if (c.afterwards)
            c.afterwards(run);
    }
    for (int reader : stuckReaders)
        ::close(reader);
}

// A disk that fills up can take part of a line. The part is cut off again: every line in the file is
// whole, and the lines after the disk has room again follow on cleanly. The caster folder is a small
// filesystem of its own, filled between the start banner and the first check, then freed.
void tst_Faults::partlyWrittenLinesLeaveNoTrace()
{
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        QSKIP("A mount namespace of its own is needed (root, or a user namespace).");
    Scratch scratch;
    const QByteArray folder = QFile::encodeName(scratch.folder);
    QVERIFY(::mount("zuva-faults", folder.constData(), "tmpfs", 0, "size=16k,huge=never") == 0);
    scratch.useOwnCommands(emptyListing, "");
    QVERIFY(Scratch::writeScript(scratch.casterPath(), "#!/bin/sh\nexit 0\n"));

    // Earlier runs left the week's log 20 bytes short of a page once the start banner is added.
    const QByteArray earlier = "# " + QByteArray(4096 - 20 - bannerBytes - 4, '-') + "\r\n";
    QFile log(weekLogs(scratch).constFirst());
    QVERIFY(log.open(QIODevice::WriteOnly) && log.write(earlier) == earlier.size());
    log.close();

    scratch.start();
    QVERIFY(scratch.waitForLog("started at: ", 5000));
    QFile filler(scratch.folder + QStringLiteral("/filler"));
    QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    while (filler.write(QByteArray(1024, 'f')) > 0) {
    }
    filler.close();
    // Both lines of the first check fail: the first in part, as 20 bytes were left, the second whole.
    QVERIFY(scratch.waitForConsole("Log: ZUVA application process was restarted... (1)\r\n", 25000));
    QVERIFY(filler.remove());
    QVERIFY(scratch.waitForLog("  Delayed, restart number 1 still too recent...\r\n", 25000));
    scratch.stop();

    QCOMPARE(maskTimes(scratch.log()), earlier + banner + heldBack + stopBlock);
    QVERIFY(::umount2(folder.constData(), MNT_DETACH) == 0);
}

// The cases wait on the watchdog's tick, pauses and budgets: they run side by side.
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    tst_Faults test;
    return runSideBySide(test, argc, argv);
}

#include "tst_faults.moc"
