#include "platform.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <atomic>
#include <windows.h>

namespace {

std::atomic<bool> stopped{false};

// Runs on a thread of its own that the system starts for the console event.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    QMetaObject::invokeMethod(QCoreApplication::instance(), "quit", Qt::QueuedConnection);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // The system ends the process as soon as this returns: give the stop block time to be written.
        for (int i = 0; i < 45 && !stopped.load(); ++i)
            ::Sleep(100);
    }
    return TRUE;
}

} // namespace

namespace Platform {

void installStopHandler()
{
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit,
                     [] { stopped.store(true); });
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

} // namespace Platform
