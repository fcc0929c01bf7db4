// A stand-in for the caster: from the watchdog's side it looks the same (an image the watchdog starts,
// a settings file that it rewrites while it is healthy), and its environment lets tests make it hang,
// quit, spew output or leave a child behind. For tests and the demo only.
//
// Knobs, all optional:
//   STANDIN_INTERVAL_MS    rewrite period in ms (default 3000)
//   STANDIN_MODE           normal | hang (one write, then silence) | same (rewrites with identical bytes)
//   STANDIN_EXIT_AFTER_MS  exit with code 0 after that many ms (0: right after the first write)
//   STANDIN_CHATTY         KiB per second of lines printed to stdout
//   STANDIN_CHILD          1: start a child process that does nothing and is never ended by the stand-in
//   STANDIN_PIDFILE        append "<pid>\n" for the stand-in and for its child, for cleaning up after tests

#include <QByteArray>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <cstdio>

#ifdef Q_OS_UNIX
#include <csignal>
#endif

namespace {

enum class Mode { Normal, Hang, Same };

int intFromEnv(const char *name, int fallback, int minimum)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value >= minimum ? value : fallback;
}

void appendPid(const QString &pidFile, qint64 pid)
{
    if (pidFile.isEmpty())
        return;
    QFile file(pidFile);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        file.write(QByteArray::number(pid) + '\n');
}

class StandIn
{
public:
    StandIn(Mode mode, int intervalMs, int chattyKiB, const QString &pidFile)
        : m_mode(mode)
        , m_pidFile(pidFile)
        , m_settingsPath(QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("MORQ"),
                                   QStringLiteral("brindleCast"))
                             .fileName())
        , m_chattyBytesPerSecond(qint64(chattyKiB) * 1024)
    {
        m_rewriteTimer.setInterval(intervalMs);
        QObject::connect(&m_rewriteTimer, &QTimer::timeout, [this] { writeSettings(); });
        m_chatTimer.setInterval(50);
        QObject::connect(&m_chatTimer, &QTimer::timeout, [this] { chatter(); });
    }

    void start()
    {
        writeSettings();
        if (m_mode != Mode::Hang)
            m_rewriteTimer.start();
        if (m_chattyBytesPerSecond > 0) {
            m_chatClock.start();
            m_chatTimer.start();
        }
    }

    void startChild()
    {
        // Not owned by anything: a QProcess that is destroyed kills its child, and this one is meant to
        // outlive the stand-in however it ends, like a helper the real caster leaves behind.
        auto *child = new QProcess;
        child->setStandardInputFile(QProcess::nullDevice());
        child->setStandardOutputFile(QProcess::nullDevice());
        child->setStandardErrorFile(QProcess::nullDevice());
#ifdef Q_OS_WIN
        child->start(QStringLiteral("ping"),
                     {QStringLiteral("-n"), QStringLiteral("100000"), QStringLiteral("127.0.0.1")});
#else
        child->start(QStringLiteral("/bin/sleep"), {QStringLiteral("100000")});
#endif
        if (child->waitForStarted())
            appendPid(m_pidFile, child->processId());
    }

private:
    QByteArray contents()
    {
        if (m_mode == Mode::Same)
            return QByteArrayLiteral("[General]\r\nbeat=steady\r\n");
        ++m_beat;
        return "[General]\r\nbeat=" + QByteArray::number(m_beat)
               + "\r\nat=" + QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toLatin1()
               + "\r\npid=" + QByteArray::number(QCoreApplication::applicationPid()) + "\r\n";
    }

    void writeSettings()
    {
        // Written by hand because QSettings leaves an unchanged file alone, and the watchdog judges
        // liveness by the file's modification time.
        QDir().mkpath(QFileInfo(m_settingsPath).absolutePath());
        QFile file(m_settingsPath);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(contents());
    }

    void chatter()
    {
        const qint64 due = m_chatClock.elapsed() * m_chattyBytesPerSecond / 1000;
        // A reader that stalled us must not be paid back in one enormous burst.
        m_chatWritten = qMax(m_chatWritten, due - m_chattyBytesPerSecond);
        QByteArray chunk;
        while (m_chatWritten + chunk.size() < due) {
            ++m_chatLine;
            QByteArray line = "standin chatter line " + QByteArray::number(m_chatLine) + ' ';
            line.append(79 - line.size(), '.');
            chunk += line + '\n';
        }
        m_chatWritten += chunk.size();
        // stdout may be /dev/null, a full pipe or a pipe nobody reads any more: none of that matters here.
        std::fwrite(chunk.constData(), 1, size_t(chunk.size()), stdout);
        std::fflush(stdout);
    }

    const Mode m_mode;
    const QString m_pidFile;
    const QString m_settingsPath;
    const qint64 m_chattyBytesPerSecond;
    qint64 m_beat = 0;
    QTimer m_rewriteTimer;
    QTimer m_chatTimer;
    QElapsedTimer m_chatClock;
    qint64 m_chatWritten = 0;
    qint64 m_chatLine = 0;
};

} // namespace

int main(int argc, char *argv[])
{
#ifdef Q_OS_UNIX
    // Output to a closed pipe must not end the stand-in; the write just fails.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    QCoreApplication app(argc, argv);

    const QString pidFile = qEnvironmentVariable("STANDIN_PIDFILE");
    appendPid(pidFile, QCoreApplication::applicationPid());

    const QString modeName = qEnvironmentVariable("STANDIN_MODE", QStringLiteral("normal"));
    Mode mode = Mode::Normal;
    if (modeName == QLatin1String("hang")) {
        mode = Mode::Hang;
    } else if (modeName == QLatin1String("same")) {
        mode = Mode::Same;
    } else if (modeName != QLatin1String("normal")) {
        // A misspelt mode would otherwise pass for "normal" and make a test prove nothing.
        std::fprintf(stderr, "standin: unknown STANDIN_MODE \"%s\" (normal, hang or same)\n",
                     qPrintable(modeName));
        return 2;
    }

    StandIn standIn(mode, intFromEnv("STANDIN_INTERVAL_MS", 3000, 1), intFromEnv("STANDIN_CHATTY", 0, 0),
                    pidFile);
    if (qEnvironmentVariableIntValue("STANDIN_CHILD") == 1)
        standIn.startChild();
    standIn.start();

    const int exitAfterMs = intFromEnv("STANDIN_EXIT_AFTER_MS", -1, 0);
    if (exitAfterMs >= 0)
        QTimer::singleShot(exitAfterMs, &app, [] { QCoreApplication::exit(0); });

    return app.exec();
}
