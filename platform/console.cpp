#include "platform.h"
#include "writerthread.h"

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

#include <atomic>

namespace {

// A few hundred lines: what a console that has stopped reading can owe before lines are dropped.
constexpr qint64 backlogLimit = qint64(64) * 1024;

struct Chunk
{
    QByteArray bytes;
    bool toError;

    qint64 size() const { return bytes.size(); }
};

// Writes bytes to standard output or error, and returns when they are written or cannot be. It may
// block for as long as the console does not read, which is why only the echo's own thread calls it.
void writeAll(const Chunk &chunk)
{
#ifdef Q_OS_WIN
    const HANDLE handle = ::GetStdHandle(chunk.toError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    const char *data = chunk.bytes.constData();
    DWORD left = DWORD(chunk.bytes.size());
    DWORD written = 0;
    while (left > 0 && ::WriteFile(handle, data, left, &written, nullptr) && written > 0) {
        data += written;
        left -= written;
    }
#else
    const int fd = chunk.toError ? STDERR_FILENO : STDOUT_FILENO;
    const char *data = chunk.bytes.constData();
    qint64 left = chunk.bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return; // a console that has gone away: the echo carries on without it
        data += written;
        left -= written;
    }
#endif
}

// The echo's backlog and the thread that hands it to the console.
using ConsoleWriter = WriterThread<Chunk, writeAll, backlogLimit>;

} // namespace

void tellNoThread()
{
    static std::atomic<bool> told{false};
    if (told.exchange(true))
        return;
    const QByteArray text = QObject::tr("No thread can be started: the console shows no line until one can, "
                                        "and the log's lines are synced as they are written.\n")
                                .toLocal8Bit();
#ifdef Q_OS_WIN
    writeAll({text, true});
#else
    // Only where standard error takes it now: a console that does not read must not hold up the watchdog.
    pollfd console = {STDERR_FILENO, POLLOUT, 0};
    if (::poll(&console, 1, 0) == 1 && (console.revents & POLLOUT)) {
        [[maybe_unused]] const ssize_t written =
            ::write(STDERR_FILENO, text.constData(), size_t(text.size()));
    }
#endif
}

namespace Platform {

void guardStandardStreams()
{
#ifndef Q_OS_WIN
    // In order: each open takes the lowest free number, which is the one found closed.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    }
#endif
}

void echo(const QByteArray &bytes, Echo kind)
{
    if (bytes.isEmpty())
        return;
#ifdef Q_OS_WIN
    // The console is in text mode for our own lines, as the runtime's printf would write them.
    if (kind == Echo::LogLine) {
        QByteArray text = bytes;
        ConsoleWriter::instance().add({text.replace("\n", "\r\n"), false});
        return;
    }
#endif
    ConsoleWriter::instance().add({bytes, kind == Echo::ErrorOutput});
}

bool flushEcho(int waitMs)
{
    return ConsoleWriter::instance().flush(waitMs);
}

void echoQtMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QByteArray text = qFormatLogMessage(type, context, message).toLocal8Bit() + '\n';
    if (type != QtFatalMsg) {
        echo(text, Echo::ErrorOutput);
        return;
    }
    // The process ends right after this: the message has to be out before then, waiting or not.
    writeAll({text, true});
}

} // namespace Platform
