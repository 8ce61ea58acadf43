#include "update/PlainPacer.h"

#include <type_traits>

namespace update {

static_assert(std::is_same_v<Pacer::Clock, platform::Waiter::Clock>, "the pacer waits on the clock it reads");

PlainPacer::PlainPacer(const CancelToken& cancel) : cancel_(cancel) {}

void PlainPacer::WaitUntil(TimePoint deadline) { waiter_.SleepUntil(deadline); }

bool PlainPacer::WaitUnlessCancelled(TimePoint deadline) {
    if (cancel_.Cancelled()) return false;
    if (waiter_.WaitUntil(deadline, platform::kNoSocket, &cancel_)) return !cancel_.Cancelled();
    return true;
}

bool PlainPacer::WaitReadable(const Link& link, TimePoint deadline) {
    if (link.Readable()) return true;
    const platform::SocketHandle h = link.Handle();
    if (h == platform::kNoSocket) {
        WaitUntil(deadline);
        return false;
    }
    return waiter_.WaitUntil(deadline, h, nullptr) && link.Readable();
}

bool PlainPacer::WaitReadableUnlessCancelled(const Link& link, TimePoint deadline) {
    if (link.Readable() || cancel_.Cancelled()) return link.Readable();
    const platform::SocketHandle h = link.Handle();
    if (h == platform::kNoSocket) return WaitUnlessCancelled(deadline) && link.Readable();
    waiter_.WaitUntil(deadline, h, &cancel_);
    return link.Readable();
}

bool PlainPacer::WaitConnected(const Link& link, TimePoint deadline) {
    if (link.HandshakeState() == platform::Handshake::Pending && !cancel_.Cancelled()) {
        if (link.Handle() == platform::kNoSocket)
            WaitUnlessCancelled(deadline);
        else
            waiter_.WaitHandshake(deadline, link.Handle(), &cancel_);
    }
    return link.HandshakeState() == platform::Handshake::Connected;
}

}  // namespace update
