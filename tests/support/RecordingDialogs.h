// Answers the window's boxes in tests, and remembers what they said.
#pragma once

#include <QStringList>
#include <functional>
#include <vector>

#include "qt/Dialogs.h"

namespace testsupport {

class RecordingDialogs : public Dialogs {
public:
    struct Box {
        QString title;
        QString text;
        QMessageBox::Icon icon;
    };

    void Message(QWidget*, const QString& title, const QString& text, QMessageBox::Icon icon,
                 std::function<void()> closed) override {
        boxes.push_back({title, text, icon});
        if (closed) closed();
    }

    // Answered as Enter would: Yes, the default button.
    void Question(QWidget*, const QString& title, const QString& text, std::function<void(bool)> answered) override {
        questions.push_back({title, text, QMessageBox::Question});
        if (answered) answered(true);
    }

    void OpenFile(QWidget*, const QString& filter, std::function<void(const QString&)> chosen) override {
        filters << filter;
        chosen(nextFile);
    }

    QStringList Texts() const {
        QStringList out;
        for (const Box& b : boxes) out << b.text;
        return out;
    }

    std::vector<Box> boxes;
    std::vector<Box> questions;
    QString nextFile;  // what the file dialog "chooses"; empty: cancelled
    QStringList filters;
};

}  // namespace testsupport
