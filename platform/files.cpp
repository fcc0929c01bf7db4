#include "platform.h"

#ifdef Q_OS_WIN
#include <io.h>
#include <qt_windows.h>
#else
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace Platform {

#ifdef Q_OS_WIN

// Windows refuses to delete or rename a file that is open, as Qt opens it.
bool stillNamed(const QFile &file, const QString &name)
{
    Q_UNUSED(file);
    Q_UNUSED(name);
    return true;
}

// Qt hands out a C runtime descriptor for the file's own handle; the system's write cache (the lazy
// writer) is emptied through the handle.
void syncToDisk(const QFile &file)
{
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(file.handle()));
    if (handle != INVALID_HANDLE_VALUE)
        ::FlushFileBuffers(handle);
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

// The data and the size that finds it; the file's times are not worth a second write to the disk.
void syncToDisk(const QFile &file)
{
    while (::fdatasync(file.handle()) != 0 && errno == EINTR) {
    }
}

#endif

} // namespace Platform
