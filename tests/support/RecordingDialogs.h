// Answers the window's boxes in tests, and remembers what they said.
#pragma once

#include <QStringList>
#include <QTimer>
#include <functional>
#include <vector>

#include "Dialogs.h"

namespace testsupport {

class RecordingDialogs : public Dialogs {
public:
    struct Box {
        QString title;
        QString text;
        QMessageBox::Icon icon;
    };

    // Dismissed at once, or after holdMs with the window's events running
    // meanwhile, as a real box stays open for a while.
    void Message(QWidget* parent, const QString& title, const QString& text, QMessageBox::Icon icon,
                 std::function<void()> closed) override {
        boxes.push_back({title, text, icon});
        if (onMessage) onMessage(boxes.back());
        if (holdMs <= 0) {
            if (closed) closed();
            return;
        }
        QTimer::singleShot(holdMs, parent, [closed = std::move(closed)] {
            if (closed) closed();
        });
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
    std::function<void(const Box&)> onMessage;
    int holdMs = 0;
    QString nextFile;  // what the file dialog "chooses"; empty: cancelled
    QStringList filters;
};

}  // namespace testsupport
