#include "platform.h"

#include <QProcess>
#include <QStringList>

namespace Platform {

QString takeListing(QProcess &process, int startMs, int readyMs, int finishMs)
{
    process.start(commandPath(QStringLiteral("tasklist")), QStringList(), QIODevice::ReadWrite);
    // Each wait starts when the one before has returned; what it returns does not matter, since
    // whatever the command has printed by the end is the listing.
    process.waitForStarted(startMs);
    process.waitForReadyRead(readyMs);
    process.waitForFinished(finishMs);
    return QString::fromUtf8(process.readAllStandardOutput());
}

} // namespace Platform
