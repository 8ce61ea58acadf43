// What every system shares of the stop request: telling waits that watch no
// socket.
#include <algorithm>
#include <utility>

#include "platform/Wait.h"

namespace platform {

void CancelToken::WakeAll() {
    const std::lock_guard lock(wakesMutex_);
    for (const auto* wake : wakes_) (*wake)();
}

CancelWake::CancelWake(const CancelToken& token, std::function<void()> wake) : token_(token), wake_(std::move(wake)) {
    const std::lock_guard lock(token_.wakesMutex_);
    token_.wakes_.push_back(&wake_);
}

CancelWake::~CancelWake() {
    const std::lock_guard lock(token_.wakesMutex_);
    std::erase(token_.wakes_, &wake_);
}

}  // namespace platform
