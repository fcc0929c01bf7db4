#include "platform.h"

#include <QStringList>

namespace Platform {

QString takeListing(ChildProcess &process, int startMs, int readyMs, int finishMs)
{
    // The command reads nothing, and what it may say on its error channel is of no use here: neither
    // needs a pipe, which the watchdog would otherwise set up and watch at every check.
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
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
