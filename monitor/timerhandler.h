#pragma once

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QString>

class QDate;

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
    void killCaster();
    void launchCaster();

    bool atStartup = true;
    bool monitoringDisabled = false;
    qint32 restartCount = 0;
    QDateTime lastRestart;
    QFile logFile;
    QString logName; // the week's log, named relative to the working directory
    QFile settingsFile;
    QFileInfo settingsInfo;
    QString casterFolder;
    QString processName;

    friend class tst_TimerHandler;
    friend class tst_Commands;
};
