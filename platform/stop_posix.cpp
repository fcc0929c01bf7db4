#include "platform.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int stopSockets[2] = {-1, -1};
volatile std::sig_atomic_t stopAsked = 0;

// Only async-signal-safe work here: the byte wakes the event loop, which does the rest.
extern "C" void onStopSignal(int)
{
    stopAsked = 1;
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(stopSockets[1], &byte, 1);
    errno = savedErrno;
}

// For signals that must not end the watchdog. A caught signal (unlike an ignored one) is reset for the
// programs it starts, so the caster keeps the default behaviour.
extern "C" void onHarmlessSignal(int)
{
}

void catchSignal(int signal, void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(signal, &action, nullptr);
}

} // namespace

namespace Platform {

void installStopHandler()
{
    // Whoever started the watchdog may have ignored SIGCHLD (the system would then reap the commands
    // before their ends could be read) or blocked the signals it acts on (a stop would never come), and
    // a process keeps both. Done before any thread is started, which takes the mask it is started with.
    ::signal(SIGCHLD, SIG_DFL);

    // A console or pipe that went away; a write beyond the file-size limit, which then fails like one
    // on a full disk; and signals that ask for nothing the watchdog does (a reload, a status report,
    // an alarm), sent to it by mistake.
    for (const int signal : {SIGPIPE, SIGXFSZ, SIGUSR1, SIGUSR2, SIGALRM})
        catchSignal(signal, onHarmlessSignal);
    // A background job's write to a terminal set to "tostop" goes ahead only where SIGTTOU is ignored:
    // caught, it would be sent again at every try. The children get the default back.
    catchSignal(SIGTTOU, SIG_IGN);

    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, stopSockets) == 0) {
        auto *notifier =
            new QSocketNotifier(stopSockets[0], QSocketNotifier::Read, QCoreApplication::instance());
        QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
            char bytes[16];
            while (::read(stopSockets[0], bytes, sizeof bytes) > 0) {
            }
            // During a check cycle this ends the cycle's pauses at once; its remaining steps still run.
            QCoreApplication::quit();
        });
        // SIGTERM always stops. The others stay ignored where the watchdog's starter ignored them:
        // nohup ignores the hang-up, a shell the Ctrl+C and Ctrl+\ of its background jobs, so that
        // closing the terminal or a Ctrl+C there leaves the watchdog running, as it was asked to.
        for (const int signal : {SIGINT, SIGQUIT, SIGHUP}) {
            struct sigaction inherited = {};
            if (::sigaction(signal, nullptr, &inherited) == 0 && inherited.sa_handler != SIG_IGN)
                catchSignal(signal, onStopSignal);
        }
        catchSignal(SIGTERM, onStopSignal);
    }

    // Only now, with every handler in place: a signal sent while they were blocked (a stop, a broken
    // pipe) comes at this point, and is answered as any other.
    sigset_t actedOn;
    sigemptyset(&actedOn);
    for (const int signal :
         {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD, SIGPIPE, SIGXFSZ, SIGUSR1, SIGUSR2, SIGALRM, SIGTTOU})
        sigaddset(&actedOn, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &actedOn, nullptr);
}

bool stopRequested()
{
    return stopAsked != 0;
}

// A session that ends hangs up the terminal (SIGHUP) or ends its processes with SIGTERM: both stop in order.
void stopAtSessionEnd(const std::function<void()> &stop)
{
    Q_UNUSED(stop)
}

} // namespace Platform
