#include <QApplication>

#include "Brand.h"
#include "Dialogs.h"
#include "Form1.h"
#include "Sockets.h"

int main(int argc, char* argv[]) {
    // Before any endpoint exists; where it fails the program cannot work at all.
    SocketLibraryStartup();
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QString::fromLatin1(brand::kApplicationName));
    Dialogs dialogs;
    TForm1 Form1(dialogs);
    Form1.show();
    const int rc = app.exec();
    // Releases the library with the update endpoint still open; closing it afterwards is harmless.
    SocketLibraryCleanup();
    return rc;
}
