// The pause against a wall clock that jumps. The test runs under libfaketime, which shifts the wall
// clock by whatever offset the test writes to its timestamp file, while the monotonic clock stays true.

#include "timerhandler.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

class tst_PauseClock : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void pauseAcrossMidnightReturnsAtOnce();
    void clockJumps_data();
    void clockJumps();

private:
    void shiftClock(qint64 seconds)
    {
        QFile file(qEnvironmentVariable("FAKETIME_TIMESTAMP_FILE"));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write((seconds < 0 ? "-" : "+") + QByteArray::number(qAbs(seconds)) + "\n");
    }

    QTemporaryDir folder;
    qint64 shift = 0;
};

void tst_PauseClock::initTestCase()
{
    if (!qEnvironmentVariable("LD_PRELOAD").contains(QLatin1String("faketime")))
        QSKIP("needs libfaketime preloaded");
    QVERIFY(QDir::setCurrent(folder.path()));
    shiftClock(0);
    // The wall clock must follow the file, or every result below would mean nothing.
    const QDateTime real = QDateTime::currentDateTime();
    shiftClock(7200);
    const qint64 seen = real.secsTo(QDateTime::currentDateTime());
    shiftClock(0);
    QVERIFY2(seen >= 7199 && seen <= 7201, "libfaketime does not shift the clock");
}

void tst_PauseClock::cleanup()
{
    shiftClock(0);
}

void tst_PauseClock::pauseAcrossMidnightReturnsAtOnce()
{
    TimerHandler handler;
    const QDateTime now = QDateTime::currentDateTime();
    shiftClock(now.secsTo(QDateTime(now.date(), QTime(23, 59, 55))));
    const QTime start = QTime::currentTime();
    QVERIFY2(start >= QTime(23, 59, 54) && start <= QTime(23, 59, 56), qPrintable(start.toString()));

    QElapsedTimer elapsed;
    elapsed.start();
    handler.pauseWithEvents(10);
    QVERIFY2(elapsed.elapsed() < 500, QByteArray::number(elapsed.elapsed()).constData());
}

// The clock is moved one second into a 10 s pause.
void tst_PauseClock::clockJumps_data()
{
    QTest::addColumn<qint64>("jump");
    QTest::addColumn<int>("minMs");
    QTest::addColumn<int>("maxMs");
    QTest::newRow("set back an hour: never longer than its length") << qint64(-3600) << 9900 << 11000;
    QTest::newRow("set back a minute") << qint64(-60) << 9900 << 11000;
    QTest::newRow("set forward an hour: its end time has passed") << qint64(3600) << 900 << 2000;
}

void tst_PauseClock::clockJumps()
{
    QFETCH(qint64, jump);
    QFETCH(int, minMs);
    QFETCH(int, maxMs);

    TimerHandler handler;
    // Away from midnight, so that only the jump decides.
    const QDateTime now = QDateTime::currentDateTime();
    shiftClock(now.secsTo(QDateTime(now.date(), QTime(12, 0, 0))));
    const qint64 base = now.secsTo(QDateTime(now.date(), QTime(12, 0, 0)));
    QTimer::singleShot(1000, this, [this, base, jump] { shiftClock(base + jump); });

    QElapsedTimer elapsed;
    elapsed.start();
    handler.pauseWithEvents(10);
    QVERIFY2(elapsed.elapsed() >= minMs && elapsed.elapsed() <= maxMs,
             QByteArray::number(elapsed.elapsed()).constData());
}

int main(int argc, char *argv[])
{
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    QCoreApplication app(argc, argv);
    tst_PauseClock test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_pauseclock.moc"
