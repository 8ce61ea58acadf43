// A window timer with the rules the waits are written against: enabling a
// stopped timer starts a fresh countdown, a different interval restarts a
// running one, and setting what the timer already has changes nothing.
// (QTimer restarts on every start() and setInterval(), which would stretch
// a wait whose call site sets the same value again.)
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <stdexcept>

class EOutOfResources : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TTimer : public QObject {
    Q_OBJECT
public:
    TTimer(uint32_t intervalMs, QObject* parent);

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);
    uint32_t Interval() const { return interval_; }
    void SetInterval(uint32_t ms);

    std::function<void()> OnTimer;

private:
    void Restart();

    QTimer timer_;
    bool enabled_ = false;
    uint32_t interval_;
};
