#include "platform.h"

#include <QStringList>

namespace Platform {

QString takeListing(ChildProcess &process, int startMs, int readyMs, int finishMs)
{
    process.start(commandPath(QStringLiteral("tasklist")), QStringList(), QIODevice::ReadWrite);
    // Each wait starts when the one before has returned; what it returns does not matter here, since
    // whatever the command has printed by the end is the listing, and the caller asks the process
    // object how the command ended.
    process.waitForStarted(startMs);
    process.waitForReadyRead(readyMs);
    process.waitForFinished(finishMs);
    return QString::fromUtf8(process.readAllStandardOutput());
}

} // namespace Platform
