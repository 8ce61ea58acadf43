#include <QApplication>
#include <QTimer>
#include <QWindow>

#include <cstdio>

#include "Brand.h"
#include "Dialogs.h"
#include "Form1.h"
#include "Socket.h"

namespace {

// With ETHERNET_LOADER_CLOSE_WHEN_SHOWN set, the window prints its title once
// it is on screen and closes itself the ordinary way (the settings file is
// saved). The package check starts the installed program like this.
void CloseWhenShown(TForm1& form) {
    auto* poll = new QTimer(&form);
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, &form, [&form, poll] {
        if (!form.isVisible() || !form.windowHandle() || !form.windowHandle()->isExposed()) return;
        poll->stop();
        std::printf("shown: %s\n", form.windowTitle().toUtf8().constData());
        std::fflush(stdout);
        form.close();
    });
    poll->start();
}

}  // namespace

int main(int argc, char* argv[]) {
    // Before any endpoint exists; where it fails the program cannot work at all.
    platform::StartSocketLibrary();
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QString::fromLatin1(brand::kApplicationName));
    Dialogs dialogs;
    TForm1 Form1(dialogs);
    Form1.show();
    if (qEnvironmentVariableIsSet("ETHERNET_LOADER_CLOSE_WHEN_SHOWN")) CloseWhenShown(Form1);
    const int rc = app.exec();
    // Releases the library with the update endpoint still open; closing it afterwards is harmless.
    platform::StopSocketLibrary();
    return rc;
}
