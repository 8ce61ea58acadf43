// Every modal box the window opens goes through here, so tests can answer
// them without a person.
#pragma once

#include <QMessageBox>
#include <QString>

class QWidget;

class Dialogs {
public:
    virtual ~Dialogs() = default;
    // A modal box with an OK button; returns when it is dismissed.
    virtual void Message(QWidget* parent, const QString& title, const QString& text, QMessageBox::Icon icon);
    // A file-open dialog with one filter ("Name (*.ext)|*.ext"), starting in
    // the working directory. Returns the chosen full path, or empty on cancel.
    virtual QString OpenFile(QWidget* parent, const QString& filter);
};
