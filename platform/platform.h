#pragma once

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// Everything the watchdog knows of the caster and of the operating system it runs on.
namespace Platform {

// The caster's names. The process name is what the listing is searched for, without regard to case.
constexpr char processName[] = "brindleCast";
constexpr char casterExecutable[] = "brindleCast.exe";
constexpr char settingsOrganisation[] = "MORQ";
constexpr char settingsApplication[] = "brindleCast";

// The caster's per-user INI settings file, as QSettings names it. Elsewhere than on Windows the name is
// worked out as QSettings does it there, from the user's configuration folder, without reading the file.
// On Windows only QSettings knows the folder, and asking it reads and parses the file once (at
// start-up). Nothing is ever written to it.
QString settingsFilePath();

// False once the open file is no longer the one at name: deleted, or renamed away. Only POSIX systems
// allow either while the file is open.
bool stillNamed(const QFile &file, const QString &name);

// Puts what has been written to the open file on the disk, its data and its size, so that a power cut
// loses nothing already written. The syncs run in order on a thread of their own: a disk that is slow to
// take them never holds up the caller. A sync that fails changes nothing (what was written stays written
// as far as the system goes); the first failure is reported on the console and in the system's log.
void syncToDisk(const QFile &file);
// Gives the syncs asked for so far up to waitMs to be done; false when they are not.
bool flushSyncs(int waitMs);

// Where a process-listing or process-ending command ("tasklist", "taskkill") is run from.
// Windows has them as system commands; elsewhere they are our own companions, which live
// next to the watchdog and are never looked up on PATH.
QString commandPath(const QString &command);

// The program that starts the caster, found in the working directory.
QString launchProgram();

// A process object for the caster (and, on Windows, for the commands). None of the programs the
// watchdog starts gets the console's signals meant for the watchdog (Ctrl+C, hang-up, a closed console
// window): a Ctrl+C typed while a listing runs must not cut the listing short, and the caster must
// outlive the watchdog.
class ChildProcess : public QProcess
{
public:
    ChildProcess();

#if !defined(Q_OS_WIN) && QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
protected:
    void setupChildProcess() override;
#endif
};

// Starts the caster on process, a new ChildProcess.
void startCaster(ChildProcess &process, const QString &program);

// Waits like QProcess::waitForStarted, waitForReadyRead or waitForFinished (timeoutMs -1: without
// limit), and gives up as soon as a stop has been asked for, so that the stop block never waits for
// a slow command or a slow start; OnStop::KeepWaiting waits out its time all the same, for the moment
// a stop gives a step that is nearly done. Returns whether the process got there.
enum class Await { Started, ReadyRead, Finished };
enum class OnStop { GiveUp, KeepWaiting };
bool await(QProcess &process, Await what, int timeoutMs, OnStop onStop = OnStop::GiveUp);

// A listing or process-ending command. It gets no console signals either (a session of its own), the
// default signal dispositions, the null device on standard input (and on standard error, unless that
// is kept), and no descriptor above standard error. Elsewhere than on Windows it is started without a
// copy of the watchdog (posix_spawn): forking a process with Qt's mappings costs several times what
// the listing itself costs, every 15 s. The start runs on a thread of its own, as it returns only once
// the program is loaded, which the machine can hold up (a scanner, a slow card): the waits below keep
// their budgets meanwhile, and notice a stop. Windows has no fork to avoid; there it is a ChildProcess.
class Command
{
public:
    enum ErrorOutput { DiscardErrors, KeepErrors };

    Command();
    // A command still running is ended, unless it was left to finish. One whose start is still under way
    // never runs: it is ended as soon as it can be (where the system names the starting thread's
    // children, at once), or as its start comes through.
    ~Command();
    Q_DISABLE_COPY(Command)

    void start(const QString &program, const QStringList &arguments, ErrorOutput errors);
    // As await() above, a stop included.
    bool await(Await what, int timeoutMs, OnStop onStop = OnStop::GiveUp);
    QByteArray readAllStandardOutput();
    QByteArray readAllStandardError();
    bool isRunning() const;
    // How it ended: its exit code, -2 when it could not be started, -1 when it crashed, was ended by a
    // signal or is still running.
    int result() const;
    // The command, which has started, is left to finish on its own: nothing waits for it or ends it.
    // Nothing else is asked of the object after this.
    void leave();

private:
#ifdef Q_OS_WIN
    std::unique_ptr<ChildProcess> process;
#else
    void waitForActivity(int timeoutMs);

    std::shared_ptr<struct CommandStart> starting; // while the program is being started
    qint64 pid = 0;                                // 0: not started
    bool ended = false;
    bool left = false;
    int exitCode = -1; // -1: ended by a signal
    int outputFd = -1;
    int errorFd = -1;
    int endFd = -1; // readable once the command has ended, where the system has such descriptors
    QByteArray output;
    QByteArray errors;
#endif
};

// Gives the commands whose start was still under way when their objects went up to waitMs to come
// through, so that they are ended rather than run after the watchdog has gone; false when some have not.
bool endStartsUnderWay(int waitMs);

// The text the listing command prints, within three budgets (start, first output, end).
// The command belongs to the caller, who reads from it how the listing ended, and must stay alive
// until the caller is done. A stop cuts the waits short.
QString takeListing(Command &command, int startMs, int readyMs, int finishMs);

// Calls ended once, through the event loop, when the process pid has ended, whoever started it. The
// watch holds one handle or descriptor, and lasts as long as the object returned. Null where the end
// cannot be waited for: no means on this system (Linux before 5.3, a sandbox), on Windows a process of
// another user or with higher rights, or no process of that id. An id reused before the watch begins
// names another process, so the answer to the call is a fresh look at the processes, never an act on
// the id.
std::unique_ptr<QObject> watchEnd(qint64 pid, const std::function<void()> &ended);

// Opens whichever of standard input, output and error is closed on the null device, so that nothing the
// watchdog opens later takes its number, and with it what is written to the console. Called first.
void guardStandardStreams();

// The console echo. It never makes the caller wait: a console that does not read (a terminal paused
// with Ctrl+S, a selection in a console window, a pipe nobody reads) must not hold up the log or the
// supervision. What it has not taken yet waits in a bounded backlog; lines beyond it are dropped.
// Log lines are written as a text-mode console would write them, a command's output unchanged.
enum class Echo { LogLine, Output, ErrorOutput };
void echo(const QByteArray &bytes, Echo kind);
// Gives the console up to waitMs to take what is still waiting; false when it has not.
bool flushEcho(int waitMs);
// A message handler (qInstallMessageHandler) that sends Qt's own warnings the same way.
void echoQtMessage(QtMsgType type, const QMessageLogContext &context, const QString &message);

// The system's own log (the Windows event log, syslog elsewhere) gets a copy of every event line, as the
// tools that watch a fleet of machines read it there; the log file's header and framing lines stay in
// the file. Like the echo it never makes the caller wait: a system log that is missing, refuses or has
// stopped reading loses its copies and changes nothing else.
void systemLog(const QString &line);
// Gives the system log up to waitMs to take what is still waiting; false when it has not.
bool flushSystemLog(int waitMs);

// Ctrl+C, Ctrl+\ (SIGQUIT), SIGTERM and the like end the event loop in an orderly way, so that the stop
// block gets written; those of them but SIGTERM that the watchdog's parent ignored (nohup, a background
// job) stay ignored. None of these ends or stops the watchdog: a console that goes away, a file-size
// limit, a stray SIGUSR1, SIGUSR2 or SIGALRM, an echo from a background job. Installed before
// anything is written or started; it also undoes what the watchdog's parent may have left it with (SIGCHLD
// ignored, the signals above blocked), once every handler is in place.
void installStopHandler();
// True once a stop has been asked for: no further check cycle begins then.
bool stopRequested();
// The end of the user's session (a log off, a shutdown) stops the watchdog in order as well. Where the
// system may end the process as soon as it has said so (Windows), stop is called right then, on the
// main thread, and whatever it writes must be done when it returns; elsewhere the session's end comes as
// one of the signals above. Called on the main thread, with the event loop's objects in place.
void stopAtSessionEnd(const std::function<void()> &stop);

} // namespace Platform
