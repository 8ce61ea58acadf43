#include "qt/Dialogs.h"

#include <QDir>
#include <QFileDialog>

void Dialogs::Message(QWidget* parent, const QString& title, const QString& text, QMessageBox::Icon icon,
                      std::function<void()> closed) {
    auto* box = new QMessageBox(icon, title, text, QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    QObject::connect(box, &QMessageBox::finished, box, [closed = std::move(closed)] {
        if (closed) closed();
    });
    box->show();
}

void Dialogs::Question(QWidget* parent, const QString& title, const QString& text,
                       std::function<void(bool yes)> answered) {
    auto* box = new QMessageBox(QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No, parent);
    box->setDefaultButton(QMessageBox::Yes);
    box->setEscapeButton(QMessageBox::No);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    QObject::connect(box, &QMessageBox::finished, box, [answered = std::move(answered)](int result) {
        if (answered) answered(result == QMessageBox::Yes);
    });
    box->show();
}

void Dialogs::OpenFile(QWidget* parent, const QString& filter, std::function<void(const QString&)> chosen) {
    auto* dialog = new QFileDialog(parent, QString(), QDir::currentPath(), filter);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setWindowModality(Qt::ApplicationModal);
    QObject::connect(dialog, &QFileDialog::finished, dialog, [dialog, chosen = std::move(chosen)](int result) {
        const QStringList files = dialog->selectedFiles();
        chosen(result == QDialog::Accepted && !files.isEmpty() ? files.front() : QString());
    });
    dialog->show();
}
