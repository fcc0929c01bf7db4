#include "platform.h"
#include "writerthread.h"

#include <atomic>
#include <utility>

#ifdef Q_OS_WIN
#include <io.h>
#include <qt_windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// A sync that keeps being interrupted (a FUSE or network file system can answer so for as long as it is
// unwell) is given up after this many tries, like any other failed sync.
constexpr int syncTries = 10;

// The open file, duplicated for its sync: the log may be closed, or begun anew, while the sync waits.
class SyncRequest
{
public:
    explicit SyncRequest(const QFile &file)
    {
#ifdef Q_OS_WIN
        // Qt hands out a C runtime descriptor for the file's own handle; the system's write cache (the
        // lazy writer) is emptied through the handle.
        const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(file.handle()));
        if (handle == INVALID_HANDLE_VALUE
            || !::DuplicateHandle(::GetCurrentProcess(), handle, ::GetCurrentProcess(), &copy, 0, FALSE,
                                  DUPLICATE_SAME_ACCESS))
            copy = nullptr;
#else
        // Not inherited: a caster started while the sync waits must not hold the log open.
        copy = ::fcntl(file.handle(), F_DUPFD_CLOEXEC, 0);
        struct stat identity = {};
        if (copy != none && ::fstat(copy, &identity) == 0)
            fileId = {identity.st_dev, identity.st_ino};
#endif
    }
    SyncRequest(SyncRequest &&other) noexcept
        : copy(std::exchange(other.copy, none))
        , fileId(std::move(other.fileId))
    {
    }
    ~SyncRequest()
    {
        if (copy == none)
            return;
#ifdef Q_OS_WIN
        ::CloseHandle(copy);
#else
        ::close(copy);
#endif
    }

    qint64 size() const
    {
        return 1;
    }

    // One request waiting for a file is enough: a sync covers everything written to the file before it
    // begins. A log begun anew (the old one deleted or renamed away) is another file, with a sync of its
    // own, whatever the old one's waits for. (Windows keeps an open log from being deleted or renamed.)
    static bool sameFile(const SyncRequest &waiting, const SyncRequest &request)
    {
        return waiting.fileId == request.fileId;
    }

    // Empty when the data is on the disk, else why it is not.
    QString sync() const
    {
        if (copy == none)
            return qt_error_string();
#ifdef Q_OS_WIN
        if (::FlushFileBuffers(copy))
            return QString();
#else
        // The data and the size that finds it; the file's times are not worth a second write to the disk.
        for (int tries = 0; tries < syncTries; ++tries) {
            if (::fdatasync(copy) == 0)
                return QString();
            if (errno != EINTR)
                break;
        }
#endif
        return qt_error_string();
    }

private:
#ifdef Q_OS_WIN
    static constexpr HANDLE none = nullptr;
    HANDLE copy = none;
#else
    static constexpr int none = -1;
    int copy = none;
#endif
    std::pair<quint64, quint64> fileId; // device and inode
};

// A disk that refuses to sync is a disk the operator wants to hear of, once.
std::atomic<bool> refusalTold{false};

void syncFile(const SyncRequest &request)
{
    const QString why = request.sync();
    if (why.isEmpty() || refusalTold.exchange(true))
        return;
    const QString text = QObject::tr("Log not synced to the disk (%1): the lines are still written, but a "
                                     "power cut may lose the latest of them.")
                             .arg(why);
    Platform::echo(text.toLocal8Bit() + '\n', Platform::Echo::ErrorOutput);
    Platform::systemLog(text);
}

// A slow disk (a failing SD card, a hard NFS mount) holds up only the syncs that come after: one
// waits for each file, behind the one under way.
constexpr qint64 filesWaiting = 4;
using DiskSyncer = WriterThread<SyncRequest, syncFile, filesWaiting, SyncRequest::sameFile>;

} // namespace

namespace Platform {

#ifdef Q_OS_WIN

// Windows refuses to delete or rename a file that is open, as Qt opens it.
bool stillNamed(const QFile &file, const QString &name)
{
    Q_UNUSED(file);
    Q_UNUSED(name);
    return true;
}

#else

bool stillNamed(const QFile &file, const QString &name)
{
    struct stat open = {};
    struct stat named = {};
    if (::fstat(file.handle(), &open) != 0)
        return true; // nothing known: the file stays as it is
    return ::stat(QFile::encodeName(name).constData(), &named) == 0 && named.st_dev == open.st_dev
           && named.st_ino == open.st_ino;
}

#endif

void syncToDisk(const QFile &file)
{
    DiskSyncer &syncer = DiskSyncer::instance();
    if (syncer.running()) {
        syncer.add(SyncRequest(file));
        return;
    }
    // No thread to be had: the line is synced here. A slow disk then holds the watchdog up, which is
    // still better than a power cut that takes the lines explaining it.
    syncFile(SyncRequest(file));
}

bool flushSyncs(int waitMs)
{
    return DiskSyncer::instance().flush(waitMs);
}

} // namespace Platform
