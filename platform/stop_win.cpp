#include "platform.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <atomic>
#include <windows.h>

namespace {

std::atomic<bool> stopAsked{false};
std::function<void()> writeStop; // set and called on the main thread only

// From any thread: no further check cycle begins, and the event loop ends once it gets to it.
void askToStop()
{
    stopAsked.store(true);
    QMetaObject::invokeMethod(QCoreApplication::instance(), "quit", Qt::QueuedConnection);
}

// Runs on a thread of its own that the system starts for the console event.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    askToStop();
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // The system ends the process as soon as this returns. Never returning lets the watchdog write
        // its stop block and end by itself, which ends this thread too; the system's own time limit
        // (5 s for a closed window) still applies.
        ::Sleep(INFINITE);
    }
    return TRUE;
}

// A program that loads user32 (QtCore does) hears of a log off or a shutdown only through its top-level
// windows: its console handler is not called for them, and Qt's own window is message-only, which the
// session's end passes by. The system may end the process as soon as WM_ENDSESSION has been answered, so
// the stop block is written before that, and the system log gets its moment then too.
LRESULT CALLBACK onSessionMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_QUERYENDSESSION)
        return TRUE;
    if (message == WM_ENDSESSION) {
        if (wParam) {
            askToStop();
            if (writeStop)
                writeStop();
            Platform::flushSystemLog(500);
        }
        return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
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

void stopAtSessionEnd(const std::function<void()> &stop)
{
    writeStop = stop;
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = onSessionMessage;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"ZUVAserviceMonSession";
    // Top-level and never shown; its messages come wherever the main thread takes messages.
    if (!::RegisterClassW(&windowClass)
        || !::CreateWindowExW(0, windowClass.lpszClassName, L"ZUVAserviceMon", WS_OVERLAPPED, 0, 0, 0, 0,
                              nullptr, nullptr, windowClass.hInstance, nullptr)) {
        echo("No window for the session's end (error " + QByteArray::number(quint64(::GetLastError()))
                 + "): a log off or a shutdown ends the watchdog without its stop block.\n",
             Echo::ErrorOutput);
    }
}

} // namespace Platform
