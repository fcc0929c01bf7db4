#include "platform.h"

#include <QElapsedTimer>
#include <QStringList>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

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
    await(process, Await::Started, startMs);
    await(process, Await::ReadyRead, readyMs);
    await(process, Await::Finished, finishMs);
    return QString::fromUtf8(process.readAllStandardOutput());
}

bool await(QProcess &process, Await what, int timeoutMs)
{
    // Short slices: a stop is noticed between two of them. A command that ends within the first
    // slice, as nearly all do, costs one wait as before.
    constexpr int sliceMs = 100;
    QElapsedTimer elapsed;
    elapsed.start();
    for (;;) {
        const qint64 left = timeoutMs < 0 ? sliceMs : timeoutMs - elapsed.elapsed();
        const int slice = int(qBound(qint64(0), left, qint64(sliceMs)));
        bool done = false;
        switch (what) {
        case Await::Started:
            done = process.waitForStarted(slice);
            break;
        case Await::ReadyRead:
            done = process.waitForReadyRead(slice);
            break;
        case Await::Finished:
            done = process.waitForFinished(slice);
            break;
        }
#ifdef Q_OS_WIN
        // These waits take no messages, and the end of the session is sent as one to the watchdog's
        // window: unanswered during a slow command (a process-ending command is waited for without
        // limit), it would hold up the log off, and the system would end the watchdog unheard. Only
        // messages sent to it are taken here; posted ones, Qt's own, wait for the event loop.
        MSG message;
        ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
#endif
        // A wait that fails before its time is up (the command did not start, or has already ended)
        // will not succeed later either.
        if (done || process.state() == QProcess::NotRunning || stopRequested())
            return done;
        if (timeoutMs >= 0 && elapsed.elapsed() >= timeoutMs)
            return false;
    }
}

} // namespace Platform
