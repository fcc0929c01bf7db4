#pragma once

#include <QString>

class QProcess;

// Everything the watchdog knows of the caster and of the operating system it runs on.
namespace Platform {

// The caster's names. The process name is what the listing is searched for, without regard to case.
constexpr char processName[] = "brindleCast";
constexpr char casterExecutable[] = "brindleCast.exe";
constexpr char settingsOrganisation[] = "MORQ";
constexpr char settingsApplication[] = "brindleCast";

// The caster's per-user INI settings file, as QSettings names it; the file itself is not touched.
QString settingsFilePath();

// Where a process-listing or process-ending command ("tasklist", "taskkill") is run from.
// Windows has them as system commands; elsewhere they are our own companions, which live
// next to the watchdog and are never looked up on PATH.
QString commandPath(const QString &command);

// The program that starts the caster kept in casterFolder.
QString launchProgram(const QString &casterFolder);

// A process object for launching the caster. The caster it starts must outlive the watchdog and
// must not share its console signals (Ctrl+C meant for the watchdog must not reach the caster).
QProcess *newCasterProcess();

// The text the listing command prints, within three budgets (start, first output, end).
// The process object belongs to the caller and must stay alive until the caller is done.
QString takeListing(QProcess &process, int startMs, int readyMs, int finishMs);

// Ctrl+C, SIGTERM and the like end the event loop in an orderly way, so that the stop block gets written.
void installStopHandler();

} // namespace Platform
