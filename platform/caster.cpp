#include "platform.h"

#include <QCoreApplication>

#ifdef Q_OS_WIN
#include <QSettings>
#include <qt_windows.h>
#else
#include <QStandardPaths>
#include <csignal>
#include <unistd.h>
#endif

namespace Platform {

#ifdef Q_OS_WIN

QString settingsFilePath()
{
    const QSettings settings(QSettings::IniFormat, QSettings::UserScope, QLatin1String(settingsOrganisation),
                             QLatin1String(settingsApplication));
    return settings.fileName();
}

QString commandPath(const QString &command)
{
    return command;
}

// Windows looks for a bare program name in the program's own folder and the working directory
// before anywhere else, so the bare name finds the caster in its folder.
QString launchProgram()
{
    return QLatin1String(casterExecutable);
}

namespace {

void createWith(QProcess &process, DWORD flags)
{
    process.setCreateProcessArgumentsModifier(
        [flags](QProcess::CreateProcessArguments *arguments) { arguments->flags |= flags; });
}

} // namespace

// No share of the watchdog's console, and a process group of their own: the console's Ctrl+C and its
// window's close reach every process attached to it (and Wine, with a terminal, every process of the
// terminal's group). Whatever the children print goes to pipes or nowhere, so a console of their own
// would show nothing.
constexpr DWORD childFlags = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP;

ChildProcess::ChildProcess()
{
    createWith(*this, childFlags);
}

// A launcher that runs the watchdog in a job object (Task Scheduler, some terminals and service
// wrappers) ends the job's processes with it. The caster leaves the job where the job allows it, and
// is started inside it where it does not, rather than not at all.
void startCaster(ChildProcess &process, const QString &program)
{
    createWith(process, childFlags | CREATE_BREAKAWAY_FROM_JOB);
    process.start(program, QStringList());
    if (process.state() != QProcess::NotRunning)
        return;
    createWith(process, childFlags);
    process.start(program, QStringList());
}

#else

// Where QSettings keeps user-scope INI files on such systems; it would read the file to say so.
QString settingsFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QLatin1Char('/')
           + QLatin1String(settingsOrganisation) + QLatin1Char('/') + QLatin1String(settingsApplication)
           + QLatin1String(".ini");
}

QString commandPath(const QString &command)
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + command;
}

// A bare name would be looked up on PATH, which could run any program of that name: always the caster's
// folder, named relative to the working directory, which follows the folder when it is renamed.
QString launchProgram()
{
    return QLatin1String("./") + QLatin1String(casterExecutable);
}

namespace {

// A session of its own: the terminal's Ctrl+C and hang-up go to the watchdog's process group and
// session only. The background write that the watchdog lets through is the system's default again.
void setUpChild()
{
    ::signal(SIGTTOU, SIG_DFL);
    ::setsid();
}

} // namespace

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
ChildProcess::ChildProcess() = default;

void ChildProcess::setupChildProcess()
{
    setUpChild();
}
#else
ChildProcess::ChildProcess()
{
    setChildProcessModifier(setUpChild);
}
#endif

void startCaster(ChildProcess &process, const QString &program)
{
    process.start(program, QStringList());
}

#endif

} // namespace Platform
