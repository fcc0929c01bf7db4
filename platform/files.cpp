#include "platform.h"

#ifndef Q_OS_WIN
#include <sys/stat.h>
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

} // namespace Platform
