// Answers the window's modal boxes in tests, and remembers what they said.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringList>
#include <functional>

#include "Dialogs.h"

class RecordingDialogs : public Dialogs {
public:
    struct Box {
        QString title;
        QString text;
        QMessageBox::Icon icon;
    };

    void Message(QWidget*, const QString& title, const QString& text, QMessageBox::Icon icon) override {
        boxes.push_back({title, text, icon});
        if (onMessage) onMessage(boxes.back());
        // A real box is open for a while, with the window's timers running.
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < holdMs) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    }

    QString OpenFile(QWidget*, const QString& filter) override {
        filters << filter;
        return nextFile;
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
