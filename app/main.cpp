#include "platform.h"
#include "timerhandler.h"

#include <QCoreApplication>
#include <QTimer>

int main(int argc, char *argv[])
{
    // Before anything opens a file: started with a standard stream closed, the watchdog would find its
    // own files on the console's numbers.
    Platform::guardStandardStreams();
    QCoreApplication app(argc, argv);
    // Before the first line is written: from here on a console that goes away cannot end the
    // watchdog, one that does not read cannot hold it up (Qt's own warnings included), and Ctrl+C
    // ends it in order.
    Platform::installStopHandler();
    qInstallMessageHandler(Platform::echoQtMessage);

    // The timer and the watchdog live as long as the process: nothing is left for their destructors to
    // do once the event loop has ended, as the stop block is written by then.
    // NOLINTBEGIN(clang-analyzer-cplusplus.NewDeleteLeaks)
    auto *timer = new QTimer;
    timer->setInterval(15000);
    auto *handler = new TimerHandler;
    QObject::connect(timer, SIGNAL(timeout()), handler, SLOT(performCheck()));
    // A caster that exits is checked on at once, as if the tick had come; the schedule goes on from there.
    QObject::connect(handler, SIGNAL(casterExited()), timer, SLOT(start()));
    QObject::connect(handler, SIGNAL(casterExited()), handler, SLOT(performCheck()));
    QObject::connect(&app, SIGNAL(aboutToQuit()), handler, SLOT(lastGasp()));
    // The end of the session may not wait for the event loop to end: the stop block is written once,
    // by whichever comes first.
    Platform::stopAtSessionEnd([handler] { handler->lastGasp(); });
    timer->start();

    const int exitCode = app.exec();
    // The stop block is in the file; the system log and the console get a moment to take it too, and a
    // command whose start was cut short by the stop one to come through and be ended, rather than run
    // once the watchdog has gone.
    Platform::flushSystemLog(500);
    Platform::flushEcho(1000);
    Platform::endStartsUnderWay(1000);
    return exitCode;
    // NOLINTEND(clang-analyzer-cplusplus.NewDeleteLeaks)
}
