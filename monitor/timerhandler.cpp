#include "timerhandler.h"

#include "platform.h"

#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QStringList>
#include <QTime>
#include <QTimer>

#include <optional>

namespace {

#if QT_VERSION >= QT_VERSION_CHECK(5, 14, 0)
constexpr auto skipEmptyParts = Qt::SkipEmptyParts;
#else
constexpr auto skipEmptyParts = QString::SkipEmptyParts;
#endif

QString timeStamp()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("dd.MM.yyyy HH:mm:ss"));
}

// Signed seconds from `since` to now; 0 while nothing has been recorded yet. Counted in UTC, which
// gives the same seconds as local time without looking up the time zone at every check.
qint64 secondsSince(const QDateTime &since)
{
    return since.isNull() ? 0 : since.secsTo(QDateTime::currentDateTimeUtc());
}

quint16 checksum(const QByteArray &data)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return qChecksum(data);
#else
    return qChecksum(data.constData(), uint(data.size()));
#endif
}

// Runs the process-ending command for one image name, waiting as long as it takes once it has started,
// and returns how it ended. The template is split into a program and its arguments before the name is
// filled in, and nothing goes through a shell, so a listing line can only ever supply that one argument.
// What the command prints goes to the console through the echo: a console that does not read must not
// hold the command, and with it the watchdog.
std::optional<int> runKillCommand(const QString &image)
{
    QStringList arguments = QObject::tr("taskkill /IM %1 /T /F").split(QLatin1Char(' '), skipEmptyParts);
    const QString program = Platform::commandPath(arguments.takeFirst());
    for (QString &argument : arguments) {
        if (argument.contains(QLatin1String("%1")))
            argument = argument.arg(image);
    }
    Platform::Command command;
    command.start(program, arguments, Platform::Command::KeepErrors);
    // A start that the machine holds up (an on-access scanner) has the listing's start budget, and a stop
    // ends it: the command could not be started, and never runs, as it is ended here should it come
    // through later.
    if (!command.await(Platform::Await::Started, 5000))
        return -2;
    // A stop ends the wait after a moment for a command that is nearly done. One still at work then is
    // left to finish on its own, with no result: cut short, it could leave casters half ended (stopped,
    // not killed).
    if (!command.await(Platform::Await::Finished, -1))
        command.await(Platform::Await::Finished, 1000, Platform::OnStop::KeepWaiting);
    Platform::echo(command.readAllStandardOutput(), Platform::Echo::Output);
    Platform::echo(command.readAllStandardError(), Platform::Echo::ErrorOutput);
    if (command.isRunning()) {
        command.leave();
        return std::nullopt;
    }
    return command.result();
}

// The id of the process on the listing's first line that holds name: the line's second field, in
// tasklist's layout and our work-alike's; 0 where there is none.
qint64 listedPid(const QString &listing, const QString &name)
{
    const QStringList lines = listing.split(QStringLiteral("\r\n"), skipEmptyParts);
    for (const QString &line : lines) {
        if (line.contains(name, Qt::CaseInsensitive))
            return line.split(QLatin1Char(' '), skipEmptyParts).value(1).toLongLong();
    }
    return 0;
}

// Opens file only where its name holds a regular file, or nothing yet: opening a FIFO would wait for
// its other end, opening a device can do things of its own. On failure why says what stood in the way.
bool openRegularFile(QFile &file, QIODevice::OpenMode mode, QString &why)
{
    const QFileInfo info(file.fileName());
    if (info.exists() && !info.isFile()) {
        why = QObject::tr("not a regular file");
        return false;
    }
    if (!file.open(mode)) {
        why = file.errorString();
        return false;
    }
    return true;
}

// The settings file's contents without their CRs, for the contents test. Only a regular file is read (a
// FIFO would hold the watchdog up), and only one of a settings file's size (a device or a runaway file
// would cost memory and time): a real one has a few kB. Anything else is skipped like an unreadable file.
bool readSettings(QFile &file, QByteArray &contents)
{
    constexpr qint64 limit = qint64(1) << 20;
    QString why;
    if (!openRegularFile(file, QIODevice::ReadOnly | QIODevice::Text, why))
        return false;
    const bool withinLimit = file.size() <= limit;
    if (withinLimit)
        contents = file.read(limit);
    file.close();
    return withinLimit;
}

} // namespace

int weekIndex(const QDate &utcDate)
{
    return int(QDate(2019, 1, 1).daysTo(utcDate) / 7);
}

TimerHandler::TimerHandler()
    : casterFolder(QDir::currentPath())
    , processName(QLatin1String(Platform::processName))
{
    if (!openLog())
        return;
    resolveSettingsFile();
    checkExecutable();
}

TimerHandler::~TimerHandler()
{
    writeStopBlock();
}

void TimerHandler::performCheck()
{
    // A tick that comes due while a stop is on its way (during a long cycle, say) starts nothing, and
    // neither does one that comes while a cycle waits with events (a caster's exit, say).
    if (monitoringDisabled || checkRunning || Platform::stopRequested())
        return;
    checkRunning = true;
    checkCaster();
    checkRunning = false;
    emit lineWritten();
}

void TimerHandler::zuvaStarted()
{
    writeLogLine(QObject::tr("ZUVA application process was restarted... (%L1)").arg(restartCount));
}

void TimerHandler::lastGasp()
{
    writeStopBlock();
}

// --- Event log ---

bool TimerHandler::openLog()
{
    const int week = weekIndex(QDateTime::currentDateTimeUtc().date());
    const QString name = QObject::tr("%1/ZUVAmon_log_%2.txt").arg(QDir::currentPath(), QString::number(week));
    logName = QFileInfo(name).fileName();
    logFile.setFileName(name);
    if (!openLogFile())
        return false;
    writeLogLine(QStringLiteral("  "));
    writeLogLine(QStringLiteral("# "));
    writeLogLine(QObject::tr("# ZUVA Monitoring Tool (Rev %1) started at: %2")
                     .arg(QStringLiteral("1.1"), timeStamp()));
    writeLogLine(QStringLiteral("# "));
    return true;
}

// Opens the file named in logFile, and starts it with the header where it is new. Only a regular file
// is opened: anything else at the name, and the lines reach the console only, as it says there.
bool TimerHandler::openLogFile()
{
    const bool existed = QFile::exists(logFile.fileName());
    QString why;
    // Unbuffered: every line goes to the system as one write, and a write that fails (disk full)
    // is dropped instead of piling up in a buffer that would be retried with every later line.
    if (!openRegularFile(logFile,
                         QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text | QIODevice::Unbuffered,
                         why)) {
        Platform::echo(QObject::tr("No log file: %1 (%2); the events reach the console only.\n")
                           .arg(logFile.fileName(), why)
                           .toLocal8Bit(),
                       Platform::Echo::ErrorOutput);
        return false;
    }

    if (!existed) {
        writeLogLine(QStringLiteral("# ZUVA Monitoring log, event log file."));
        writeLogLine(
            QObject::tr("# Instance Created %1 (all times local)")
                .arg(QDateTime::currentDateTime().toString(QStringLiteral("dd.MM.yyyy HH:mm:ss t"))));
        writeLogLine(QStringLiteral("#  Used to record ZUVA NTRIP Caster service restart events."));
        writeLogLine(
            QStringLiteral("#  ZUVAserviceMon.exe' runs as an application (not a service)  and it checks"));
        writeLogLine(QStringLiteral("#  to confirm that brindleCast.exe is running on the machine."));
        writeLogLine(QStringLiteral("#  If not running, it will start/restart the program if required."));
        writeLogLine(
            QStringLiteral("#  This log file is appended to with events, with a new file once a week."));
        writeLogLine(QStringLiteral("#  Questions? - See https://support.example.com/zuva-caster/kb"));
        writeLogLine(QStringLiteral("#  --"));
    }
    return true;
}

bool TimerHandler::writeLogLine(const QString &text)
{
    // The open file was deleted or renamed away: the lines go on in a file of the week's name in the
    // caster's folder, begun as a new one.
    if (logFile.isOpen() && !Platform::stillNamed(logFile, logName)) {
        logFile.close();
        logFile.setFileName(logName);
        openLogFile();
    }

    Platform::echo("Log: " + text.toLatin1() + "\r\n", Platform::Echo::LogLine);
    Platform::systemLog(text);

    if (!logFile.isOpen())
        return false;
    const QByteArray bytes = text.toUtf8() + "\r\n";
    const qint64 start = logFile.size();
    const qint64 written = logFile.write(bytes);
    if (written != bytes.size()) {
        // A full disk or a file-size limit can take part of a line. The part is cut off again, or the
        // next line would be glued to it: the file holds whole lines only.
        if (written > 0)
            logFile.resize(start);
        return false;
    }
    // Events are rare, and the ones just before an outage (a power cut at a remote station) are the
    // ones that explain it: each line is on the disk before the next step.
    Platform::syncToDisk(logFile);
    return true;
}

// Whichever comes first writes it: the end of the event loop, or the end of the session, which may end
// the process without returning to the loop.
void TimerHandler::writeStopBlock()
{
    if (stopWritten)
        return;
    stopWritten = true;
    writeLogLine(QObject::tr("# Monitoring service was stopped at: %1").arg(timeStamp()));
    writeLogLine(QStringLiteral("# "));
    logFile.close();
    // The watchdog ends right after this: the block is given a moment to reach the disk, and no more,
    // as a service manager that stops the watchdog may not wait long.
    Platform::flushSyncs(1000);
}

// --- The caster's files ---

void TimerHandler::resolveSettingsFile()
{
    const QString path = Platform::settingsFilePath();
    settingsInfo.setFile(path);
    settingsInfo.setCaching(false);
    settingsFile.setFileName(path);
}

void TimerHandler::checkExecutable()
{
    const QString path = QObject::tr("%1/brindleCast.exe").arg(casterFolder);
    if (QFile::exists(path))
        return;
    writeLogLine(QObject::tr("###\r\n\r\n# FATAL ERROR: The ZUVA NTRIP Caster program was not found, \r\n"
                             "#  Looking at: %1 \r\n")
                     .arg(path));
    writeLogLine(QObject::tr(" -- Monitoring process now disabled, unable to find ZUVA."));
    writeLogLine(QObject::tr(" -- To configure, please place this tool in the correct folder."));
    monitoringDisabled = true;
}

// --- Waiting ---

void TimerHandler::pauseWithEvents(int seconds)
{
    // The end is a time of day, so a pause begun just before midnight returns at once. The monotonic
    // bound keeps a clock set back, or a suspend across midnight, from stretching the pause.
    const QTime end = QTime::currentTime().addSecs(seconds);
    const qint64 lengthMs = qint64(seconds) * 1000;
    QElapsedTimer elapsed;
    elapsed.start();

    // Each slice is an event loop that sleeps until an event arrives, at most one slice long. Once the
    // application has been asked to quit, an event loop returns at once with -1: a stop requested
    // during a cycle ends its pauses, so that the stop block follows within moments.
    QEventLoop slice;
    QTimer sliceEnd;
    sliceEnd.setSingleShot(true);
    connect(&sliceEnd, &QTimer::timeout, &slice, &QEventLoop::quit);
    while (QTime::currentTime() < end && elapsed.elapsed() < lengthMs) {
        sliceEnd.start(int(qMin<qint64>(500, lengthMs - elapsed.elapsed())));
        if (slice.exec() < 0)
            return;
    }
}

// --- The check cycle ---

bool TimerHandler::checkCaster()
{
    bool running = false;
    bool restartNeeded = false;

    Platform::Command listingCommand;
    const QString listing = Platform::takeListing(listingCommand, 5000, 10000, 60000);
    // The next cycle that can list is still the start-up one.
    if (!listingSucceeded(listingCommand))
        return false;
    const int copies = listing.count(processName, Qt::CaseInsensitive);
    watchCaster(copies == 1 ? listedPid(listing, processName) : 0);

    if (copies >= 2) {
        writeLogLine(QObject::tr("Detected Multiple copies of ZUVA running (%1)").arg(timeStamp()));
        // Casters that could not be ended are not joined by one more; the next cycle tries again.
        restartNeeded = killCaster();
    } else if (copies == 1) {
        running = true;
        if (atStartup) {
            lastRestart = QDateTime::currentDateTime();
            writeLogLine(QObject::tr("At startup, Detected ZUVA running (%1)").arg(timeStamp()));
        }
    } else {
        restartNeeded = true;
        if (atStartup) {
            writeLogLine(
                QObject::tr("At startup, Detected ZUVA not running, restarted at: %1").arg(timeStamp()));
        } else {
            writeLogLine(QObject::tr("Detected ZUVA not running, (%1) restarted at: %2 (%L3).")
                             .arg(restartCount)
                             .arg(timeStamp())
                             .arg(restartCount));
        }
    }

    const qint32 sinceLaunch = qint32(secondsSince(lastRestart));
    if (running && !restartNeeded && sinceLaunch > 180 && settingsInfo.exists() && detectLockUp())
        restartNeeded = true;

    // Once a stop has been asked for, only the caster that this cycle has ended is replaced: stopping the
    // watchdog never changes whether the caster runs.
    if (restartNeeded && (copies > 0 || !Platform::stopRequested())) {
        // Never two launches within 120 s, nor one beside a launch that has not come through (a scanner
        // holding the caster's start); the first launch of a run is never held back.
        const bool launchUnderWay = lastLaunch && lastLaunch->state() == QProcess::Starting;
        if (restartCount > 0 && (secondsSince(lastRestart) < 120 || launchUnderWay)) {
            writeLogLine(QObject::tr("  Delayed, restart number %L1 still too recent...").arg(restartCount));
        } else {
            launchCaster();
        }
    }

    atStartup = false;
    return running;
}

void TimerHandler::launchCaster()
{
    ++restartCount;
    auto *caster = new Platform::ChildProcess;
    lastLaunch = caster;
    // The caster's output is never read: collecting it would grow the watchdog for as long as the
    // caster runs, and pipes would break under the caster when the watchdog ends.
    caster->setStandardInputFile(QProcess::nullDevice());
    caster->setStandardOutputFile(QProcess::nullDevice());
    caster->setStandardErrorFile(QProcess::nullDevice());
    connect(caster, &QProcess::started, this, &TimerHandler::zuvaStarted);
    // A running caster's process object is never released, as that would end the caster; once the
    // caster has ended, or never started, there is nothing left to keep, and months of restarts must
    // not pile them up.
    connect(caster, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), caster, &QObject::deleteLater);
    // A caster of our own that ends between cycles is answered at once instead of at the next tick.
    // One ended by a cycle (the termination procedure) is that cycle's business.
    connect(caster, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this, [this] {
        if (!checkRunning && !Platform::stopRequested())
            emit casterExited();
    });

    Platform::startCaster(*caster, Platform::launchProgram());
    lastRestart = QDateTime::currentDateTime();
    // A stop ends the wait after a moment for a start that comes through at once, which is then logged; a
    // caster still starting is left to start, and keeps running.
    bool started = Platform::await(*caster, Platform::Await::Started, 65000);
    if (!started && Platform::stopRequested())
        started = Platform::await(*caster, Platform::Await::Started, 1000, Platform::OnStop::KeepWaiting);
    if (!started && caster->state() == QProcess::NotRunning)
        caster->deleteLater();
    pauseWithEvents(10);
}

// The end of the one caster a check found (pid; 0: none, or several) is answered as that of a caster of
// our own, with a check at once, whoever started it. A caster the watchdog launched is answered by its
// process object already: watched here too, its end would bring two checks.
void TimerHandler::watchCaster(qint64 pid)
{
    if (casterWatch && pid == watchedPid)
        return;
    casterWatch.reset();
    watchedPid = pid;
    if (pid == 0 || (lastLaunch && lastLaunch->processId() == pid))
        return;
    casterWatch = Platform::watchEnd(pid, [this] {
        if (!checkRunning && !Platform::stopRequested())
            emit casterExited();
    });
}

// --- Lock-up detection ---

// True when the caster was found locked up and could be ended: a fresh one is due.
bool TimerHandler::detectLockUp()
{
    static qint64 previousAge = 0;
    static quint16 previousChecksum = 0;

    bool found = false;
    bool ended = true;
    const qint64 age = secondsSince(settingsInfo.lastModified());

    // A caster that works rewrites its settings file well within this time.
    if (age > 360) {
        writeLogLine(QObject::tr("ZUVA app appears LOCKED UP at: %1, (for %L2 sec), restarting (%L3).")
                         .arg(timeStamp())
                         .arg(age)
                         .arg(restartCount));
        found = true;
        ended = killCaster();
    }

    // Rewritten since the last look, yet with the same contents: the caster's files are stuck.
    QByteArray contents;
    if (previousAge > age && previousAge > 0 && age > 120 && readSettings(settingsFile, contents)) {
        const quint16 sum = checksum(contents);
        if (sum == previousChecksum && previousChecksum != 0) {
            writeLogLine(QObject::tr("ZUVA files appear LOCKED UP at: %1, (for %L2 sec), restarting (%L3).")
                             .arg(timeStamp())
                             .arg(age)
                             .arg(restartCount));
            // Once a stop has been asked for, a caster ended by the test above is replaced as it is.
            if (!found || !Platform::stopRequested())
                ended = killCaster() && ended;
            found = true;
        }
        previousChecksum = sum;
    }

    previousAge = age;
    return found && ended;
}

// --- Termination ---

bool TimerHandler::killCaster()
{
    if (Platform::stopRequested())
        return false;
    Platform::Command listingCommand;
    const QString listing = Platform::takeListing(listingCommand, 1500, 2000, 15000);
    if (!listingSucceeded(listingCommand))
        return false;
    bool ended = true;
    bool commandRun = false;
    const QStringList lines = listing.split(QStringLiteral("\r\n"), skipEmptyParts);
    for (const QString &line : lines) {
        if (!line.contains(processName, Qt::CaseInsensitive))
            continue;
        // Once a stop has been asked for, no further command is begun: the first one ends every caster
        // of that name, and what it ended is replaced on the way out. One cut short by the stop before
        // it began never runs; one still at work may yet end whatever would be started now.
        if (Platform::stopRequested())
            return ended && commandRun;
        const QString image = line.split(QLatin1Char(' '), skipEmptyParts).constFirst();
        const std::optional<int> result = runKillCommand(image);
        if (!result)
            return false;
        if (*result == -2 && Platform::stopRequested())
            return ended && commandRun;
        commandRun = true;
        writeLogLine(QObject::tr("Process Kill/Restart returned %1").arg(*result));
        // A command that could not be started or crashed has not ended the casters. The code it gives
        // when an earlier one has already ended every caster of that name (128) is no failure.
        ended = *result >= 0 && ended;
        pauseWithEvents(10);
    }
    return ended;
}

bool TimerHandler::listingSucceeded(const Platform::Command &listingCommand)
{
    // A listing that did not end well says nothing reliable: taken for "no caster", it would start one
    // at every gate until casters pile up. Nothing is counted, ended or started on it. A listing cut
    // short by a stop is no failure of the machine's, and is not reported as one.
    if (Platform::stopRequested())
        return false;
    const int listed = listingCommand.result();
    if (listed == 0)
        return true;
    writeLogLine(QObject::tr("Process listing failed at: %1 (returned %2), check skipped.")
                     .arg(timeStamp(), QString::number(listed)));
    return false;
}
