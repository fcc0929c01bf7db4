#include "platform.h"

#include <QElapsedTimer>
#include <QFile>
#include <QStringList>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>
#endif

namespace Platform {

namespace {

// Waits in short slices, so that a stop is noticed between two of them: waitSlice(ms) waits up to ms
// and says whether what is awaited has come, running() whether it still can. A command that ends
// within the first slice, as nearly all do, costs one wait.
template <typename WaitSlice, typename Running>
bool inSlices(int timeoutMs, OnStop onStop, WaitSlice waitSlice, Running running)
{
    constexpr int sliceMs = 100;
    QElapsedTimer elapsed;
    elapsed.start();
    for (;;) {
        const qint64 left = timeoutMs < 0 ? sliceMs : timeoutMs - elapsed.elapsed();
        const bool done = waitSlice(int(qBound(qint64(0), left, qint64(sliceMs))));
#ifdef Q_OS_WIN
        // These waits take no messages, and the end of the session is sent as one to the watchdog's
        // window: unanswered during a slow command (a process-ending command is waited for without
        // limit), it would hold up the log off, and the system would end the watchdog unheard. Only
        // messages sent to it are taken here; posted ones, Qt's own, wait for the event loop.
        MSG message;
        ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
#endif
        // A wait that fails before its time is up (the command did not start, or has already ended)
        // will not succeed later either.
        if (done || !running() || (onStop == OnStop::GiveUp && stopRequested()))
            return done;
        if (timeoutMs >= 0 && elapsed.elapsed() >= timeoutMs)
            return false;
    }
}

} // namespace

QString takeListing(Command &command, int startMs, int readyMs, int finishMs)
{
    // What the command may say on its error channel is of no use here.
    command.start(commandPath(QStringLiteral("tasklist")), QStringList(), Command::DiscardErrors);
    // Each wait starts when the one before has returned; what it returns does not matter here, since
    // whatever the command has printed by the end is the listing, and the caller asks the command
    // how it ended.
    command.await(Await::Started, startMs);
    command.await(Await::ReadyRead, readyMs);
    command.await(Await::Finished, finishMs);
    return QString::fromUtf8(command.readAllStandardOutput());
}

bool await(QProcess &process, Await what, int timeoutMs, OnStop onStop)
{
    const auto waitSlice = [&](int ms) {
        switch (what) {
        case Await::Started:
            return process.waitForStarted(ms);
        case Await::ReadyRead:
            return process.waitForReadyRead(ms);
        case Await::Finished:
            return process.waitForFinished(ms);
        }
        return false;
    };
    return inSlices(timeoutMs, onStop, waitSlice, [&] { return process.state() != QProcess::NotRunning; });
}

#ifdef Q_OS_WIN

Command::Command()
    : process(std::make_unique<ChildProcess>())
{
}

Command::~Command() = default; // a ChildProcess still running is ended as it goes

void Command::start(const QString &program, const QStringList &arguments, ErrorOutput errors)
{
    process->setStandardInputFile(QProcess::nullDevice());
    if (errors == DiscardErrors)
        process->setStandardErrorFile(QProcess::nullDevice());
    process->start(program, arguments);
}

bool Command::await(Await what, int timeoutMs, OnStop onStop)
{
    return Platform::await(*process, what, timeoutMs, onStop);
}

QByteArray Command::readAllStandardOutput()
{
    return process->readAllStandardOutput();
}

QByteArray Command::readAllStandardError()
{
    return process->readAllStandardError();
}

bool Command::isRunning() const
{
    return process->state() != QProcess::NotRunning;
}

int Command::result() const
{
    if (process->error() == QProcess::FailedToStart)
        return -2;
    if (isRunning() || process->exitStatus() != QProcess::NormalExit)
        return -1;
    return process->exitCode();
}

void Command::leave()
{
    // Destroying the process object would end the command.
    process.release(); // NOLINT(bugprone-unused-return-value)
}

// The system starts a program before its process object learns of it: no start is under way later.
bool endStartsUnderWay(int waitMs)
{
    Q_UNUSED(waitMs);
    return true;
}

#else

namespace {

// A descriptor that becomes readable once pid has ended (Linux 5.3 on), or -1; without one, the waits
// look for the end every few milliseconds.
int endDescriptor(qint64 pid)
{
#ifdef SYS_pidfd_open
    return int(::syscall(SYS_pidfd_open, pid_t(pid), 0));
#else
    Q_UNUSED(pid);
    return -1;
#endif
}

// Appends what fd has to give now to bytes, without waiting; closes fd once the writer has closed it.
void drain(int &fd, QByteArray &bytes)
{
    char buffer[65536];
    while (fd >= 0) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            bytes.append(buffer, int(got));
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == EAGAIN)
            return;
        ::close(fd);
        fd = -1;
    }
}

} // namespace

// How the start of a command is going; the command and the thread that starts it share it.
struct CommandStart
{
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    pid_t pid = 0;          // 0: the program could not be started
    pid_t thread = 0;       // the thread that starts it, once it is about to
    bool abandoned = false; // nobody waits for it any more: a program that starts now is ended
};

namespace {

// Starts that the machine holds up for good (an exec that never returns) would each keep a thread and a
// half-made process, one more at every check: beyond these, no further command is started until one of
// them has come through, and those commands are taken as ones that could not be started.
constexpr int maxStartsUnderWay = 4;
std::atomic<int> startsUnderWay{0};

// Ends the process that start's thread is making, whose program the machine has not loaded yet (its pid
// is known only once it has): the process dies as soon as the system lets it go on, and never runs the
// program, even if the watchdog has ended by then. It is that thread's one child, which Linux names
// where it keeps track of children (CONFIG_PROC_CHILDREN); elsewhere the start is ended as it comes
// through, while the watchdog runs. Called with the start's lock held: its thread cannot reap the
// process, nor its pid be reused, meanwhile.
void endHalfMadeProcess(const CommandStart &start)
{
    if (start.finished || start.thread == 0)
        return;
    QFile children(QStringLiteral("/proc/self/task/%1/children").arg(start.thread));
    if (!children.open(QIODevice::ReadOnly))
        return;
    for (const QByteArray &child : children.readAll().split(' ')) {
        const pid_t pid = pid_t(child.trimmed().toLong());
        if (pid > 0)
            ::kill(pid, SIGKILL);
    }
}

// Starts the program words[0] with the command's streams and a clean slate (see the class), and tells
// start how it went. outputEnd and errorEnd (-1: the null device) are the pipes' ends for the program.
void spawn(const std::shared_ptr<CommandStart> &start, QList<QByteArray> words, int outputEnd, int errorEnd)
{
    const auto closeEnds = [&] {
        for (const int fd : {outputEnd, errorEnd}) {
            if (fd >= 0)
                ::close(fd);
        }
    };
    {
        std::unique_lock<std::mutex> lock(start->mutex);
        if (start->abandoned) {
            // Given up before this thread came to it (a stop): nothing is started at all.
            start->finished = true;
            --startsUnderWay;
            lock.unlock();
            closeEnds();
            return;
        }
        start->thread = pid_t(::syscall(SYS_gettid));
    }

    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_adddup2(&actions, outputEnd, STDOUT_FILENO);
    if (errorEnd >= 0)
        ::posix_spawn_file_actions_adddup2(&actions, errorEnd, STDERR_FILENO);
    else
        ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 34)
    ::posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
#endif
    // Caught signals are reset by the exec anyway; ignored ones (SIGTTOU) would stay ignored.
    posix_spawnattr_t attributes;
    ::posix_spawnattr_init(&attributes);
    sigset_t all;
    sigset_t none;
    ::sigfillset(&all);
    ::sigemptyset(&none);
    ::posix_spawnattr_setsigdefault(&attributes, &all);
    ::posix_spawnattr_setsigmask(&attributes, &none);
    ::posix_spawnattr_setflags(&attributes,
                               POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<char *> argv;
    for (QByteArray &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t child = 0;
    const int failed = ::posix_spawn(&child, argv.front(), &actions, &attributes, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attributes);
    closeEnds();

    std::unique_lock<std::mutex> lock(start->mutex);
    start->finished = true;
    start->pid = failed ? 0 : child;
    if (start->abandoned && !failed) {
        // Started after its time, with nobody left to end it or reap it but this thread.
        lock.unlock();
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    } else {
        start->done.notify_all();
    }
    // Counted down last: once none is under way, no command is left to come through unended.
    --startsUnderWay;
}

} // namespace

Command::Command() = default;

Command::~Command()
{
    if (left)
        return;
    if (starting) {
        const std::lock_guard<std::mutex> lock(starting->mutex);
        // A start still under way ends what it starts; what has started by now is ended here.
        starting->abandoned = true;
        pid = starting->pid;
        endHalfMadeProcess(*starting);
    }
    if (pid > 0 && !ended) {
        ::kill(pid_t(pid), SIGKILL);
        ::waitpid(pid_t(pid), nullptr, 0);
    }
    for (const int fd : {outputFd, errorFd, endFd}) {
        if (fd >= 0)
            ::close(fd);
    }
}

void Command::start(const QString &program, const QStringList &arguments, ErrorOutput errors)
{
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (startsUnderWay >= maxStartsUnderWay)
        return;
    if (::pipe2(out, O_CLOEXEC) != 0 || (errors == KeepErrors && ::pipe2(err, O_CLOEXEC) != 0)) {
        for (const int fd : {out[0], out[1]}) {
            if (fd >= 0)
                ::close(fd);
        }
        return;
    }
    outputFd = out[0];
    errorFd = err[0];
    // Only our ends are read without waiting: the command's own writes must wait on a full pipe.
    for (const int fd : {outputFd, errorFd}) {
        if (fd >= 0)
            ::fcntl(fd, F_SETFL, O_NONBLOCK);
    }

    QList<QByteArray> words{QFile::encodeName(program)};
    for (const QString &argument : arguments)
        words << QFile::encodeName(argument);
    starting = std::make_shared<CommandStart>();
    ++startsUnderWay;
    try {
        std::thread(spawn, starting, words, out[1], err[1]).detach();
    } catch (const std::system_error &) {
        // No thread to be had (a limit on processes): started here and waited for, rather than not at all.
        spawn(starting, words, out[1], err[1]);
    }
}

// Waits up to timeoutMs for the start to finish, or for output or the end, and takes in what has come.
void Command::waitForActivity(int timeoutMs)
{
    if (starting) {
        std::unique_lock<std::mutex> lock(starting->mutex);
        if (!starting->done.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                     [this] { return starting->finished; }))
            return;
        pid = starting->pid;
        lock.unlock();
        starting.reset();
        endFd = pid > 0 ? endDescriptor(pid) : -1;
        return;
    }

    pollfd watched[3];
    nfds_t count = 0;
    for (const int fd : {outputFd, errorFd, endFd}) {
        if (fd >= 0)
            watched[count++] = {fd, POLLIN, 0};
    }
    ::poll(watched, count, endFd >= 0 ? timeoutMs : qMin(timeoutMs, 5));
    // The end first: what the command wrote before it is in the pipes by then, and is taken in below.
    int status = 0;
    const pid_t reaped = ::waitpid(pid_t(pid), &status, WNOHANG);
    if (reaped == pid || (reaped < 0 && errno == ECHILD)) {
        ended = true;
        exitCode = reaped == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (endFd >= 0)
            ::close(endFd);
        endFd = -1;
    }
    drain(outputFd, output);
    drain(errorFd, errors);
}

bool Command::await(Await what, int timeoutMs, OnStop onStop)
{
    const auto arrived = [&] {
        switch (what) {
        case Await::Started:
            return !starting && pid > 0;
        case Await::ReadyRead:
            return !output.isEmpty();
        case Await::Finished:
            return ended;
        }
        return false;
    };
    const auto waitSlice = [&](int ms) {
        if (!arrived() && isRunning())
            waitForActivity(ms);
        return arrived();
    };
    return inSlices(timeoutMs, onStop, waitSlice, [&] { return isRunning(); });
}

QByteArray Command::readAllStandardOutput()
{
    drain(outputFd, output);
    return std::exchange(output, QByteArray());
}

QByteArray Command::readAllStandardError()
{
    drain(errorFd, errors);
    return std::exchange(errors, QByteArray());
}

bool Command::isRunning() const
{
    return starting || (pid > 0 && !ended);
}

int Command::result() const
{
    if (starting)
        return -1; // still being started
    if (pid == 0)
        return -2;
    return ended ? exitCode : -1;
}

void Command::leave()
{
    left = true;
}

bool endStartsUnderWay(int waitMs)
{
    QElapsedTimer elapsed;
    elapsed.start();
    while (startsUnderWay > 0 && elapsed.elapsed() < waitMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return startsUnderWay == 0;
}

#endif

} // namespace Platform
