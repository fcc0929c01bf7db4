#include "platform.h"
#include "timerhandler.h"

#include <QCoreApplication>
#include <QTimer>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);

    // The timer and the watchdog live as long as the process: the watchdog's destructor would write
    // a second stop block after the one the quit has written.
    // NOLINTBEGIN(clang-analyzer-cplusplus.NewDeleteLeaks)
    auto *timer = new QTimer;
    timer->setInterval(15000);
    auto *handler = new TimerHandler;
    QObject::connect(timer, SIGNAL(timeout()), handler, SLOT(performCheck()));
    QObject::connect(&app, SIGNAL(aboutToQuit()), handler, SLOT(lastGasp()));
    // After the connections, so that anything the stop handler hooks to the quit runs after the stop block.
    Platform::installStopHandler();
    timer->start();

    return app.exec();
    // NOLINTEND(clang-analyzer-cplusplus.NewDeleteLeaks)
}
