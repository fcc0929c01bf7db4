#include "platform.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSettings>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <unistd.h>
#endif

namespace Platform {

QString settingsFilePath()
{
    const QSettings settings(QSettings::IniFormat, QSettings::UserScope, QLatin1String(settingsOrganisation),
                             QLatin1String(settingsApplication));
    return settings.fileName();
}

#ifdef Q_OS_WIN

QString commandPath(const QString &command)
{
    return command;
}

// Windows looks for a bare program name in the program's own folder and the working directory
// before anywhere else, so the bare name finds the caster in its folder.
QString launchProgram(const QString &casterFolder)
{
    Q_UNUSED(casterFolder);
    return QLatin1String(casterExecutable);
}

// The caster gets no share of the watchdog's console: Ctrl+C there, and closing its window, are meant
// for the watchdog, and the caster must go on running when the watchdog stops. Its output goes
// nowhere anyway, so a console of its own would show nothing.
QProcess *newCasterProcess()
{
    auto *process = new QProcess;
    process->setCreateProcessArgumentsModifier(
        [](QProcess::CreateProcessArguments *arguments) { arguments->flags |= DETACHED_PROCESS; });
    return process;
}

#else

QString commandPath(const QString &command)
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + command;
}

// A bare name would be looked up on PATH, which could run any program of that name: always the caster's
// folder.
QString launchProgram(const QString &casterFolder)
{
    return casterFolder + QLatin1Char('/') + QLatin1String(casterExecutable);
}

namespace {

// The caster gets a session of its own: the terminal's Ctrl+C and hang-up are meant for the
// watchdog, and the caster must go on running when the watchdog stops.
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
class CasterProcess : public QProcess
{
protected:
    void setupChildProcess() override { ::setsid(); }
};
#endif

} // namespace

QProcess *newCasterProcess()
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    return new CasterProcess;
#else
    auto *process = new QProcess;
    process->setChildProcessModifier([] { ::setsid(); });
    return process;
#endif
}

#endif

} // namespace Platform
