// The watch after "RESET": a meter is back in service once its application
// answers on its Modbus TCP port. The watch only reads: a connect about once
// a second and, once one stands, one Read Device Identification request;
// never the boot-mode request. A meter not back within the limit is asked
// once, with "VER?", whether it waits in its bootloader.
#pragma once

#include <chrono>
#include <optional>
#include <span>
#include <string>

#include "protocol/Frames.h"
#include "update/Link.h"
#include "update/Pacer.h"
#include "update/UpdateEvents.h"

namespace update {

// How long the window and the command line watch unless told otherwise.
inline constexpr std::chrono::seconds kReturnLimit{60};

class ReturnWatch {
public:
    using TimePoint = Pacer::TimePoint;

    ReturnWatch(Pacer& pacer, Link& modbus, Link& boot) : pacer_(pacer), modbus_(modbus), boot_(boot) {}

    // Watches the meter at `address` that `run` reset, up to `limit` after
    // its "RESET". Waits as long as the run's link needed, and never less
    // than their designed time. A stop ends it at once, without a verdict.
    ReturnFacts Watch(const std::string& address, const UpdateResult& run, std::chrono::seconds limit,
                      UpdateListener& listener);

private:
    using Duration = std::chrono::microseconds;

    // One connect and, once it stands, the request; nothing when the
    // application did not answer by `deadline`.
    std::optional<protocol::DeviceIdAnswer> Reach(const std::string& address, TimePoint deadline, Duration wait);
    std::optional<protocol::DeviceIdAnswer> ReadAnswer(TimePoint deadline);
    // What the bootloader answers "VER?"; nothing when nothing does.
    std::optional<std::string> AskBootloader(const std::string& address, Duration wait);

    Pacer& pacer_;
    Link& modbus_;
    Link& boot_;
};

}  // namespace update
