#pragma once

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>

class QDate;
namespace Platform {
class ChildProcess;
class Command;
} // namespace Platform

// The week's log file is numbered by whole weeks counted from 1 January 2019 (UTC calendar dates).
int weekIndex(const QDate &utcDate);

// The watchdog: keeps exactly one caster running and records what it does in the weekly event log.
class TimerHandler : public QObject
{
    Q_OBJECT

public:
    TimerHandler();
    ~TimerHandler() override;

signals:
    void lineWritten();
    // The caster has ended while no check cycle ran: one this watchdog started, or the one the last
    // check found alone, whoever started it.
    void casterExited();

public slots:
    void performCheck();
    void zuvaStarted();
    void lastGasp();

public:
    bool writeLogLine(const QString &text);
    void pauseWithEvents(int seconds);

private:
    bool openLog();
    bool openLogFile();
    void writeStopBlock();
    void resolveSettingsFile();
    void checkExecutable();
    bool checkCaster();
    bool detectLockUp();
    bool killCaster();
    bool listingSucceeded(const Platform::Command &listingCommand);
    void launchCaster();
    void watchCaster(qint64 pid);

    bool atStartup = true;
    bool checkRunning = false;
    bool stopWritten = false;
    bool monitoringDisabled = false;
    qint32 restartCount = 0;
    QDateTime lastRestart;
    QPointer<Platform::ChildProcess> lastLaunch; // the caster started last, while its process object lives
    QFile logFile;
    QString logName; // the week's log, named relative to the working directory
    QFile settingsFile;
    QFileInfo settingsInfo;
    QString casterFolder;
    QString processName;
    std::unique_ptr<QObject> casterWatch; // on the end of the one caster last found, where it can be had
    qint64 watchedPid = 0;

    friend class tst_TimerHandler;
    friend class tst_Commands;
};
