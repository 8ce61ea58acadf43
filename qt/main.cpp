#include <QApplication>
#include <QTimer>
#include <QWindow>

#include <cstdio>

#include "brand/Brand.h"
#include "qt/Dialogs.h"
#include "qt/MainWindow.h"
#include "platform/Socket.h"

namespace {

// With ETHERNET_LOADER_CLOSE_WHEN_SHOWN set, the window prints its title once
// it is on screen and closes itself the ordinary way (the settings file is
// saved). The package check starts the installed program like this.
void CloseWhenShown(MainWindow& window) {
    auto* poll = new QTimer(&window);
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, &window, [&window, poll] {
        if (!window.isVisible() || !window.windowHandle() || !window.windowHandle()->isExposed()) return;
        poll->stop();
        std::printf("shown: %s\n", window.windowTitle().toUtf8().constData());
        std::fflush(stdout);
        window.close();
    });
    poll->start();
}

}  // namespace

int main(int argc, char* argv[]) {
    // Before any endpoint exists; where it fails the program cannot work at all.
    platform::StartSocketLibrary();
    int rc = 0;
    {
        QApplication app(argc, argv);
        QCoreApplication::setApplicationName(QString::fromLatin1(brand::kApplicationName));
        Dialogs dialogs;
        net::MeterConnections network;
        MainWindow window(dialogs, PortsOver(network));
        window.show();
        if (qEnvironmentVariableIsSet("ETHERNET_LOADER_CLOSE_WHEN_SHOWN")) CloseWhenShown(window);
        rc = app.exec();
        // Leaving this scope waits for a run still stopping after the close.
    }
    // Releases the library once the update endpoint is closed.
    platform::StopSocketLibrary();
    return rc;
}
