#include "platform.h"

#include <QTimer>

#ifdef Q_OS_WIN
#include <QWinEventNotifier>
#include <qt_windows.h>
#else
#include <QSocketNotifier>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace Platform {

namespace {

// The notifier owns what it waits on: the wait is ended before the handle or descriptor is closed.
#ifdef Q_OS_WIN
class EndNotifier : public QWinEventNotifier
{
public:
    explicit EndNotifier(::HANDLE process)
        : QWinEventNotifier(process)
    {
    }
    ~EndNotifier() override
    {
        setEnabled(false);
        ::CloseHandle(handle());
    }
};

// SYNCHRONIZE is all a wait needs, and a caster of the same user grants it without further rights.
EndNotifier *openEndNotifier(qint64 pid)
{
    const ::HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid));
    return process ? new EndNotifier(process) : nullptr;
}
#else
class EndNotifier : public QSocketNotifier
{
public:
    explicit EndNotifier(int descriptor)
        : QSocketNotifier(descriptor, QSocketNotifier::Read)
    {
    }
    ~EndNotifier() override
    {
        setEnabled(false);
        ::close(int(socket()));
    }
};

// A process descriptor becomes readable once the process has ended (Linux 5.3 on); it is opened
// close-on-exec, so the programs the watchdog starts do not inherit it.
EndNotifier *openEndNotifier(qint64 pid)
{
#ifdef SYS_pidfd_open
    const int descriptor = int(::syscall(SYS_pidfd_open, pid_t(pid), 0));
    return descriptor >= 0 ? new EndNotifier(descriptor) : nullptr;
#else
    Q_UNUSED(pid);
    return nullptr;
#endif
}
#endif

} // namespace

std::unique_ptr<QObject> watchEnd(qint64 pid, const std::function<void()> &ended)
{
    EndNotifier *notifier = pid > 0 ? openEndNotifier(pid) : nullptr;
    if (!notifier)
        return nullptr;
    // An ended process stays signalled: the watch is spent after its one call. The call comes from a
    // timer of the watch's own, as the caller may end the watch in it, and a notifier must not be
    // destroyed while it notifies.
    auto *call = new QTimer(notifier);
    call->setSingleShot(true);
    QObject::connect(call, &QTimer::timeout, notifier, ended);
    QObject::connect(notifier, &EndNotifier::activated, call, [notifier, call] {
        notifier->setEnabled(false);
        call->start(0);
    });
    return std::unique_ptr<QObject>(notifier);
}

} // namespace Platform
