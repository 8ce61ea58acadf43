// Every box and dialog the window opens goes through here, so tests can
// answer them without a person. None of them waits: each reports its answer
// when the technician gives it, and the window stays live meanwhile.
#pragma once

#include <QMessageBox>
#include <QString>
#include <functional>

class QWidget;

class Dialogs {
public:
    virtual ~Dialogs() = default;
    // A modal box with an OK button; `closed` runs once it is dismissed.
    virtual void Message(QWidget* parent, const QString& title, const QString& text, QMessageBox::Icon icon,
                         std::function<void()> closed);
    // A question with Yes (the default button, Enter) and No (Esc);
    // `answered` gets true for Yes.
    virtual void Question(QWidget* parent, const QString& title, const QString& text,
                          std::function<void(bool yes)> answered);
    // A file-open dialog with a filter in Qt's syntax ("Name (*.ext)"),
    // starting in the working directory; `chosen` gets the full path, or empty on cancel.
    virtual void OpenFile(QWidget* parent, const QString& filter, std::function<void(const QString&)> chosen);
};
