#include "platform.h"
#include "writerthread.h"

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <syslog.h>
#endif

namespace {

enum class Severity { Information, Warning, Error };

// The tools that watch the system log sort and alert by severity, which here is told from the text:
// the check cycle writes plain lines.
Severity severityOf(const QString &line)
{
    // Lock-ups, and the block that disables monitoring (its later lines start with " -- ").
    if (line.contains(QLatin1String("LOCKED UP")) || line.startsWith(QLatin1String("###"))
        || line.startsWith(QLatin1String(" -- ")))
        return Severity::Error;
    // What leads to a restart or holds one back, a check skipped for want of a listing, and a disk that
    // does not take the log.
    for (const char *warning : {"Detected Multiple copies", "Detected ZUVA not running",
                                "Delayed, restart number", "Process listing failed", "Log not synced"}) {
        if (line.contains(QLatin1String(warning)))
            return Severity::Warning;
    }
    return Severity::Information;
}

// The file's header and the lines around the banner and the stop block are its layout, not events;
// the banner's own line and the stop line are.
bool isEvent(const QString &line)
{
    if (line.trimmed().isEmpty())
        return false;
    return !line.startsWith(QLatin1String("# ")) || line.contains(QLatin1String(" started at: "))
           || line.contains(QLatin1String(" stopped at: "));
}

#ifdef Q_OS_WIN

void writeSystemLog(const QString &line)
{
    const Severity severity = severityOf(line);
    // Without the source registered (see the README) the entries are still written; the Event Viewer
    // then cannot find the message table that shows their text.
    static const HANDLE eventSource = ::RegisterEventSourceW(nullptr, L"ZUVAserviceMon");
    constexpr DWORD lineEvent = 1; // the MessageId of the one message in systemlog.mc, which is "%1"
    const WORD type = severity == Severity::Error     ? EVENTLOG_ERROR_TYPE
                      : severity == Severity::Warning ? EVENTLOG_WARNING_TYPE
                                                      : EVENTLOG_INFORMATION_TYPE;
    LPCWSTR text = reinterpret_cast<LPCWSTR>(line.utf16());
    if (eventSource)
        ::ReportEventW(eventSource, type, 0, lineEvent, nullptr, 1, 0, &text, nullptr);
}

#else

void writeSystemLog(const QString &line)
{
    const Severity severity = severityOf(line);
    // syslog(3) connects to /dev/log at the first entry, and tries again at the next one when there
    // was none; without LOG_CONS nothing is written anywhere else.
    static const bool opened = (::openlog("ZUVAserviceMon", LOG_PID, LOG_DAEMON), true);
    Q_UNUSED(opened)
    const int priority = severity == Severity::Error     ? LOG_ERR
                         : severity == Severity::Warning ? LOG_WARNING
                                                         : LOG_INFO;
    // The journal shows an entry with a CR in it as binary data; the lines of the fatal block end in LF.
    QString text = line;
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    ::syslog(priority, "%s", text.toUtf8().constData());
}

#endif

// A syslog daemon that has stopped reading blocks its writer after a handful of entries, an event log
// service that does not answer blocks it too, and neither may hold up a check: the entries are written
// from a thread of their own. A few hundred lines may wait; later ones are dropped.
using SystemLogWriter = WriterThread<QString, writeSystemLog, qint64(32) * 1024>;

} // namespace

namespace Platform {

void systemLog(const QString &line)
{
    if (isEvent(line))
        SystemLogWriter::instance().add(line);
}

bool flushSystemLog(int waitMs)
{
    return SystemLogWriter::instance().flush(waitMs);
}

} // namespace Platform
