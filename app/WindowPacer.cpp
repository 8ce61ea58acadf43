#include "WindowPacer.h"

#include <QCoreApplication>
#include <QSocketNotifier>

TWindowPacer::TWindowPacer(TTimer& timer, const bool& closing) : timer_(timer), closing_(closing) {}

TWindowPacer::~TWindowPacer() = default;

void TWindowPacer::Pump(TimePoint deadline, const std::function<bool()>& done) {
    timer_.StartAt(deadline);
    // Blocks until something happens (at the latest the timer's own tick), so
    // a wait costs no processor time. A quit request meanwhile only marks the
    // application as ending: the wait still runs to its end.
    while (timer_.Enabled() && !(done && done())) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    timer_.SetEnabled(false);
}

void TWindowPacer::WaitUntil(TimePoint deadline) { Pump(deadline, nullptr); }

bool TWindowPacer::WaitUnlessCancelled(TimePoint deadline) {
    Pump(deadline, [this] { return closing_; });
    return !closing_;
}

bool TWindowPacer::WaitReadable(const loader::Link& link, TimePoint deadline) { return WaitOn(link, deadline, false); }

bool TWindowPacer::WaitReadableUnlessCancelled(const loader::Link& link, TimePoint deadline) {
    return WaitOn(link, deadline, true);
}

bool TWindowPacer::WaitOn(const loader::Link& link, TimePoint deadline, bool unlessCancelled) {
    if (link.Readable() || (unlessCancelled && closing_)) return link.Readable();
    const TSocketHandle h = link.Handle();
    if (h != InvalidSocketHandle && (!notifier_ || notifier_->socket() != static_cast<qintptr>(h)))
        notifier_ = std::make_unique<QSocketNotifier>(static_cast<qintptr>(h), QSocketNotifier::Read);
    if (notifier_) notifier_->setEnabled(h != InvalidSocketHandle);
    Pump(deadline, [&] { return link.Readable() || (unlessCancelled && closing_); });
    // A notifier left on would wake the loop for as long as the answer waits.
    if (notifier_) notifier_->setEnabled(false);
    return link.Readable();
}
