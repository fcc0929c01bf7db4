// The watchdog object in the test's own process, where time and the caster's files can be set at
// will: week numbers, lock-up thresholds, the restart gate and the pause.

#include "timerhandler.h"

#include <QDate>
#include <QDir>
#include <QLocale>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

const QByteArray fifo = "<FIFO>"; // the settings file's contents: a FIFO in its place

QByteArray maskTimes(const QByteArray &text)
{
    static const QRegularExpression stamp(QStringLiteral("\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d"));
    return QString::fromUtf8(text).replace(stamp, QStringLiteral("<T>")).toUtf8();
}

// Sets a file's (or folder's) modification time to `age` seconds before now, to the millisecond.
bool setAge(const QString &path, qint64 age)
{
    const qint64 ms = QDateTime::currentDateTime().addSecs(-age).toMSecsSinceEpoch();
    const struct timespec times[2] = {{time_t(ms / 1000), long(ms % 1000) * 1000000},
                                      {time_t(ms / 1000), long(ms % 1000) * 1000000}};
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

quint16 checksumOf(const QByteArray &data)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return qChecksum(data);
#else
    return qChecksum(data.constData(), uint(data.size()));
#endif
}

double cpuSeconds()
{
    struct rusage usage = {};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace

class tst_TimerHandler : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void weekIndex_data();
    void weekIndex();
    void settingsFileFollowsTheFileSystem();
    void lockUpDetection_data();
    void lockUpDetection();
    void largeSettingsFile();
    void restartGate_data();
    void restartGate();
    void disabledMonitoringDoesNothing();
    void pauseKeepsDeliveringEvents();
    void pauseCostsNoCpu();

private:
    // Runs `action` and returns the log lines it appended, times masked.
    template <typename Action> QByteArray newLogLines(TimerHandler &handler, Action action)
    {
        const qint64 before = QFileInfo(handler.logFile.fileName()).size();
        action();
        QFile log(handler.logFile.fileName());
        if (!log.open(QIODevice::ReadOnly))
            return "log not readable";
        log.seek(before);
        return maskTimes(log.readAll());
    }

    QTemporaryDir folder;
    QString settingsPath;
    std::unique_ptr<TimerHandler> sequence; // one watchdog for the whole lock-up sequence, like one run
};

void tst_TimerHandler::initTestCase()
{
    QVERIFY(folder.isValid());
    QVERIFY(QDir::setCurrent(folder.path()));
    QFile caster(folder.filePath(QStringLiteral("brindleCast.exe")));
    QVERIFY(caster.open(QIODevice::WriteOnly));
    caster.write("#!/bin/sh\nexit 0\n");
    caster.close();
    QVERIFY(caster.setPermissions(caster.permissions() | QFile::ExeOwner));
    settingsPath = qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/MORQ/brindleCast.ini");
    QVERIFY(QDir().mkpath(QFileInfo(settingsPath).path()));
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
}

void tst_TimerHandler::cleanupTestCase()
{
    sequence.reset();
}

void tst_TimerHandler::weekIndex_data()
{
    QTest::addColumn<QDate>("date");
    QTest::addColumn<int>("week");
    QTest::newRow("1 January 2019") << QDate(2019, 1, 1) << 0;
    QTest::newRow("7 January 2019") << QDate(2019, 1, 7) << 0;
    QTest::newRow("8 January 2019") << QDate(2019, 1, 8) << 1;
    QTest::newRow("14 January 2019") << QDate(2019, 1, 14) << 1;
    QTest::newRow("15 January 2019") << QDate(2019, 1, 15) << 2;
    QTest::newRow("sixth day before") << QDate(2018, 12, 26) << 0;
    QTest::newRow("seventh day before") << QDate(2018, 12, 25) << -1;
    QTest::newRow("8 December 2026") << QDate(2026, 12, 8) << 414;
}

void tst_TimerHandler::weekIndex()
{
    QFETCH(QDate, date);
    QFETCH(int, week);
    QCOMPARE(::weekIndex(date), week);
}

void tst_TimerHandler::settingsFileFollowsTheFileSystem()
{
    TimerHandler handler;
    QCOMPARE(handler.settingsInfo.filePath(), settingsPath);
    QCOMPARE(settingsPath, QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("MORQ"),
                                     QStringLiteral("brindleCast"))
                               .fileName());
    QCOMPARE(handler.settingsFile.fileName(), settingsPath);
    QFile::remove(settingsPath);
    QVERIFY(!handler.settingsInfo.exists());
    QFile file(settingsPath);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    QVERIFY(handler.settingsInfo.exists());
    QVERIFY(file.remove());
    QVERIFY(!handler.settingsInfo.exists());
}

// One detection per row, in order: the detection remembers the previous age and checksum for the
// whole run, so each row builds on the ones before it (noted as [previous age, checksum of]).
void tst_TimerHandler::lockUpDetection_data()
{
    QTest::addColumn<qint64>("age");
    QTest::addColumn<QByteArray>("contents"); // empty: a folder in the file's place
    QTest::addColumn<QByteArray>("expected");

    const QByteArray a = "[General]\nbeat=1\n";
    const QByteArray b = "[General]\nbeat=2\n";
    const QByteArray bWithCrs = "[General]\r\nbeat=2\r\n";
    // Contents whose checksum is 0, which the detection takes for "no checksum yet".
    QByteArray zero;
    for (int i = 0; i < 0x10000 && zero.isEmpty(); ++i) {
        const QByteArray candidate = QByteArray("beat=") + char(i >> 8) + char(i & 0xff);
        if (checksumOf(candidate) == 0 && !candidate.contains('\r'))
            zero = candidate;
    }

    const auto app = [](const char *age) {
        return QByteArray("ZUVA app appears LOCKED UP at: <T>, (for ") + age
               + " sec), restarting (1,234).\r\n";
    };
    const auto files = [](const char *age) {
        return QByteArray("ZUVA files appear LOCKED UP at: <T>, (for ") + age
               + " sec), restarting (1,234).\r\n";
    };

    QTest::newRow("first detection only records its age") << qint64(300) << a << QByteArray();
    QTest::newRow("first read never fires [300]") << qint64(130) << a << QByteArray();
    QTest::newRow("fresh file [130, a]") << qint64(10) << a << QByteArray();
    QTest::newRow("360 s is not stale [10, a]") << qint64(360) << a << QByteArray();
    QTest::newRow("361 s is stale [360, a]") << qint64(361) << a << app("361");
    QTest::newRow("drop to 120 s does not fire [361, a]") << qint64(120) << a << QByteArray();
    QTest::newRow("rise [120, a]") << qint64(300) << a << QByteArray();
    QTest::newRow("drop to 130 s, same contents [300, a]") << qint64(130) << a << files("130");
    QTest::newRow("rise [130, a]") << qint64(300) << a << QByteArray();
    QTest::newRow("drop, changed contents [300, a]") << qint64(130) << b << QByteArray();
    QTest::newRow("rise [130, b]") << qint64(300) << b << QByteArray();
    QTest::newRow("only CRs changed [300, b]") << qint64(130) << bWithCrs << files("130");
    QTest::newRow("stale [130, b]") << qint64(500) << b << app("500");
    QTest::newRow("stale and same contents: both [500, b]") << qint64(400) << b << app("400") + files("400");
    QTest::newRow("stale folder [400, b]") << qint64(500) << QByteArray() << app("500");
    QTest::newRow("FIFO: contents test skipped [500, b]") << qint64(450) << fifo << app("450");
    QTest::newRow("unreadable: contents test skipped [450, b]") << qint64(400) << QByteArray() << app("400");
    QTest::newRow("next read compares with the last one read [400, b]") << qint64(300) << b << files("300");
    QTest::newRow("checksum 0 read [300, b]") << qint64(130) << zero << QByteArray();
    QTest::newRow("rise [130, zero]") << qint64(300) << zero << QByteArray();
    QTest::newRow("checksum 0 never matches [300, zero]") << qint64(130) << zero << QByteArray();
    QTest::newRow("modified in the future [130, zero]") << qint64(-100) << a << QByteArray();
    QTest::newRow("after a negative age [-100, zero]") << qint64(130) << a << QByteArray();
    QTest::newRow("ages in locale notation [130, zero]") << qint64(5000) << a << app("5,000");
    // Where the caster could not be ended (the termination listing shows one), no restart is due: a
    // second caster would join the locked-up one.
    QTest::newRow("process-ending command cannot start [5000, zero]")
        << qint64(6000) << a << app("6,000") + "Process Kill/Restart returned -2\r\n";
    QTest::newRow("process-ending command crashes [6000, zero]")
        << qint64(7000) << a << app("7,000") + "Process Kill/Restart returned -1\r\n";
    QTest::newRow("termination listing fails [7000, zero]")
        << qint64(8000) << a
        << app("8,000") + "Process listing failed at: <T> (returned 1), check skipped.\r\n";
}

void tst_TimerHandler::lockUpDetection()
{
    QFETCH(qint64, age);
    QFETCH(QByteArray, contents);
    QFETCH(QByteArray, expected);

    if (!sequence)
        sequence = std::make_unique<TimerHandler>();
    TimerHandler &handler = *sequence;
    handler.restartCount = 1234;

    QDir(settingsPath).removeRecursively();
    QFile::remove(settingsPath);
    if (contents.isEmpty()) {
        QVERIFY(QDir().mkpath(settingsPath));
    } else if (contents == fifo) {
        QVERIFY(::mkfifo(QFile::encodeName(settingsPath).constData(), 0600) == 0);
    } else {
        QFile file(settingsPath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(contents);
        file.close();
    }
    QVERIFY(setAge(settingsPath, age));

    // The lines a row expects tell where ending the caster fails: the process-ending command cannot be
    // started or crashes (the termination listing shows a caster), or that listing fails. Elsewhere the
    // listing shows no caster, and there is nothing to end.
    const bool cannotStart = expected.contains("returned -2");
    const bool endingFails =
        cannotStart || expected.contains("returned -1") || expected.contains("listing failed");
    const QByteArray listing = qgetenv("FIXTURE_LISTING");
    if (endingFails)
        qputenv("FIXTURE_LISTING", listing + (expected.contains("listing failed") ? ".missing" : ".caster"));
    QFile taskkill(QCoreApplication::applicationDirPath() + QStringLiteral("/taskkill"));
    const QFile::Permissions permissions = taskkill.permissions();
    QVERIFY(taskkill.setPermissions(cannotStart ? QFile::ReadOwner : permissions));

    bool found = false;
    const QByteArray lines = newLogLines(handler, [&] { found = handler.detectLockUp(); });
    qputenv("FIXTURE_LISTING", listing);
    QVERIFY(taskkill.setPermissions(permissions));
    QCOMPARE(lines, expected);
    QCOMPARE(found, !expected.isEmpty() && !endingFails);
}

// Up to 1 MiB of settings is read whole, CRs dropped, and compared like any other file; a larger file
// is not read at all. Runs after the sequence above, whose last detection left an age of 8000 s.
void tst_TimerHandler::largeSettingsFile()
{
    QVERIFY(sequence);
    TimerHandler &handler = *sequence;
    QDir(settingsPath).removeRecursively();
    QFile file(settingsPath);
    const QByteArray line = "key=" + QByteArray(60, 'x') + "\r\n";
    QByteArray mebibyte = line.repeated((1 << 20) / line.size());
    mebibyte += QByteArray((1 << 20) - mebibyte.size(), 'y');
    const QByteArray files = "ZUVA files appear LOCKED UP at: <T>, (for 200 sec), restarting (1,234).\r\n";

    // Each file is read at the drops to 200 s where it can be read: the second read finds the same contents.
    for (const QByteArray &contents : {mebibyte + 'z', mebibyte}) {
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate)
                && file.write(contents) == contents.size());
        file.close();
        for (int detection = 0; detection < 4; ++detection) {
            QVERIFY(setAge(settingsPath, detection % 2 ? 200 : 300));
            const QByteArray lines = newLogLines(handler, [&] { handler.detectLockUp(); });
            QCOMPARE(lines, contents == mebibyte && detection == 3 ? files : QByteArray());
        }
    }
    QVERIFY(file.remove());
}

// Checks after the first one, with a listing that shows no caster: the launch waits until 120 s have
// passed since the last one.
void tst_TimerHandler::restartGate_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("secondsAgo");
    QTest::addColumn<bool>("executable");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("first launch is never held back")
        << 0 << 5 << true
        << QByteArray("Detected ZUVA not running, (0) restarted at: <T> (0).\r\n"
                      "ZUVA application process was restarted... (1)\r\n");
    QTest::newRow("119 s is too recent")
        << 1 << 119 << true
        << QByteArray("Detected ZUVA not running, (1) restarted at: <T> (1).\r\n"
                      "  Delayed, restart number 1 still too recent...\r\n");
    QTest::newRow("120 s is enough") << 1 << 120 << true
                                     << QByteArray("Detected ZUVA not running, (1) restarted at: <T> (1).\r\n"
                                                   "ZUVA application process was restarted... (2)\r\n");
    QTest::newRow("clock set back before the last launch")
        << 1 << -3600 << true
        << QByteArray("Detected ZUVA not running, (1) restarted at: <T> (1).\r\n"
                      "  Delayed, restart number 1 still too recent...\r\n");
    QTest::newRow("counts in locale notation")
        << 1234 << 30 << true
        << QByteArray("Detected ZUVA not running, (1234) restarted at: <T> (1,234).\r\n"
                      "  Delayed, restart number 1,234 still too recent...\r\n");
    QTest::newRow("launch that fails to start")
        << 1 << 200 << false << QByteArray("Detected ZUVA not running, (1) restarted at: <T> (1).\r\n");
}

void tst_TimerHandler::restartGate()
{
    QFETCH(int, count);
    QFETCH(int, secondsAgo);
    QFETCH(bool, executable);
    QFETCH(QByteArray, expected);

    TimerHandler handler;
    handler.atStartup = false;
    handler.restartCount = count;
    handler.lastRestart = QDateTime::currentDateTime().addSecs(-secondsAgo);
    const QString caster = folder.filePath(QStringLiteral("brindleCast.exe"));
    const QString hidden = caster + QStringLiteral(".away");
    if (!executable)
        QVERIFY(QFile::rename(caster, hidden));

    QSignalSpy written(&handler, &TimerHandler::lineWritten);
    const QByteArray lines = newLogLines(handler, [&] { handler.performCheck(); });
    if (!executable)
        QVERIFY(QFile::rename(hidden, caster));

    QCOMPARE(lines, expected);
    QCOMPARE(written.count(), 1);
    const bool launched = !expected.contains("Delayed");
    QCOMPARE(handler.restartCount, launched ? count + 1 : count);
    if (launched)
        QVERIFY(qAbs(handler.lastRestart.secsTo(QDateTime::currentDateTime())) <= 12);
    QVERIFY(!handler.atStartup);
}

void tst_TimerHandler::disabledMonitoringDoesNothing()
{
    QTemporaryDir empty;
    QVERIFY(QDir::setCurrent(empty.path()));
    TimerHandler handler;
    QVERIFY(QDir::setCurrent(folder.path()));
    QVERIFY(handler.monitoringDisabled);

    QSignalSpy written(&handler, &TimerHandler::lineWritten);
    const QByteArray lines = newLogLines(handler, [&] {
        for (int tick = 0; tick < 3; ++tick)
            handler.performCheck();
    });
    QCOMPARE(lines, QByteArray());
    QCOMPARE(written.count(), 0);
    QCOMPARE(handler.restartCount, 0);
}

void tst_TimerHandler::pauseKeepsDeliveringEvents()
{
    TimerHandler handler;
    bool timerFired = false;
    bool queuedCalled = false;
    QTimer::singleShot(300, [&] { timerFired = true; });
    QMetaObject::invokeMethod(
        this, [&] { queuedCalled = true; }, Qt::QueuedConnection);

    QElapsedTimer elapsed;
    elapsed.start();
    handler.pauseWithEvents(2);
    QVERIFY(timerFired);
    QVERIFY(queuedCalled);
    QVERIFY2(elapsed.elapsed() >= 1900, QByteArray::number(elapsed.elapsed()).constData());
    QVERIFY2(elapsed.elapsed() < 3000, QByteArray::number(elapsed.elapsed()).constData());
}

// A figure, not a pass mark: a pause waits for events instead of polling for them.
void tst_TimerHandler::pauseCostsNoCpu()
{
    TimerHandler handler;
    const double before = cpuSeconds();
    QElapsedTimer elapsed;
    elapsed.start();
    handler.pauseWithEvents(10);
    const double used = cpuSeconds() - before;
    qInfo("pauseWithEvents(10): %.1f s elapsed, %.4f s of CPU (%.3f%% of a core)", elapsed.elapsed() / 1000.0,
          used, used * 100 / (elapsed.elapsed() / 1000.0));
    QVERIFY(elapsed.elapsed() >= 9900 && elapsed.elapsed() < 11000);
}

int main(int argc, char *argv[])
{
    // Settings paths are fixed the first time they are asked for: point them away from the real home first.
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    // The stand-in listing command next to this test lists no caster.
    const QString listing = config.filePath(QStringLiteral("listing"));
    QFile listingFile(listing);
    if (!listingFile.open(QIODevice::WriteOnly)
        || listingFile.write("\r\nImage Name   PID\r\nother.exe 1\r\n") < 0)
        return 1;
    listingFile.close();
    QFile casterListing(listing + QStringLiteral(".caster"));
    if (!casterListing.open(QIODevice::WriteOnly) || casterListing.write("brindleCast.exe 7\r\n") < 0)
        return 1;
    casterListing.close();
    qputenv("FIXTURE_LISTING", QFile::encodeName(listing));
    qputenv("FIXTURE_LISTING_MODE", "file");
    // The process-ending command next to this test crashes: only the lock-up rows whose listing shows
    // a caster run it.
    qputenv("FIXTURE_KILL_CODES", "crash");
    qputenv("FIXTURE_KILL_RECORD", QFile::encodeName(config.filePath(QStringLiteral("killed"))));
    QCoreApplication app(argc, argv);
    tst_TimerHandler test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_timerhandler.moc"
