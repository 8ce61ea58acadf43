#include "Dialogs.h"

#include <QDir>
#include <QFileDialog>

void Dialogs::Message(QWidget* parent, const QString& title, const QString& text, QMessageBox::Icon icon) {
    QMessageBox box(icon, title, text, QMessageBox::Ok, parent);
    box.exec();
}

QString Dialogs::OpenFile(QWidget* parent, const QString& filter) {
    // "Intel Hex (*.hex)|*.hex" -> "Intel Hex (*.hex)": the part before "|" already names the pattern.
    const QString qtFilter = filter.section('|', 0, 0);
    return QFileDialog::getOpenFileName(parent, QString(), QDir::currentPath(), qtFilter);
}
