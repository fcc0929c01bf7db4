#pragma once

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QString>

#include <functional>

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

// Puts what has been written to the open file on the disk, its data and its size, before returning: a
// power cut then loses nothing already written. A sync that fails changes nothing: what was written
// stays written as far as the system goes.
void syncToDisk(const QFile &file);

// Where a process-listing or process-ending command ("tasklist", "taskkill") is run from.
// Windows has them as system commands; elsewhere they are our own companions, which live
// next to the watchdog and are never looked up on PATH.
QString commandPath(const QString &command);

// The program that starts the caster, found in the working directory.
QString launchProgram();

// A process object for every program the watchdog starts: the caster and the commands. None of them
// gets the console's signals meant for the watchdog (Ctrl+C, hang-up, a closed console window): a
// Ctrl+C typed while a listing runs must not cut the listing short, and the caster must outlive the
// watchdog.
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

// The text the listing command prints, within three budgets (start, first output, end).
// The process object belongs to the caller, who reads from it how the command ended, and must stay
// alive until the caller is done. A stop cuts the waits short.
QString takeListing(ChildProcess &process, int startMs, int readyMs, int finishMs);

// Waits like QProcess::waitForStarted, waitForReadyRead or waitForFinished (timeoutMs -1: without
// limit), and gives up as soon as a stop has been asked for, so that the stop block never waits for
// a slow command or a slow start. Returns whether the process got there.
enum class Await { Started, ReadyRead, Finished };
bool await(QProcess &process, Await what, int timeoutMs);

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
// block gets written. None of these ends or stops the watchdog: a console that goes away, a file-size
// limit, a stray SIGUSR1, SIGUSR2 or SIGALRM, an echo from a background job. Installed before
// anything is written.
void installStopHandler();
// True once a stop has been asked for: no further check cycle begins then.
bool stopRequested();
// The end of the user's session (a log off, a shutdown) stops the watchdog in order as well. Where the
// system may end the process as soon as it has said so (Windows), stop is called right then, on the
// main thread, and whatever it writes must be done when it returns; elsewhere the session's end comes as
// one of the signals above. Called on the main thread, with the event loop's objects in place.
void stopAtSessionEnd(const std::function<void()> &stop);

} // namespace Platform
