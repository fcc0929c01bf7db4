#include "platform.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <atomic>
#include <windows.h>

namespace {

std::atomic<bool> stopAsked{false};

// Runs on a thread of its own that the system starts for the console event.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    stopAsked.store(true);
    QMetaObject::invokeMethod(QCoreApplication::instance(), "quit", Qt::QueuedConnection);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // The system ends the process as soon as this returns. Never returning lets the watchdog write
        // its stop block and end by itself, which ends this thread too; the system's own time limit
        // (5 s for a closed window) still applies.
        ::Sleep(INFINITE);
    }
    return TRUE;
}

} // namespace

namespace Platform {

void installStopHandler()
{
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

bool stopRequested()
{
    return stopAsked.load();
}

} // namespace Platform
