// The meter's behaviour without sockets or clocks: what it does with one
// datagram or one Modbus request, and what it sends back when. Deterministic
// for a given seed, so fault scripts replay exactly.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sim/src/Flash.h"
#include "sim/src/Frames.h"
#include "sim/Meter.h"

namespace sim {

struct Send {
    int delayMs = 0;  // from the request to the answer leaving the meter
    Bytes bytes;
    bool foreignPort = false;
    int linkMs = -1;  // then this long on a slow link (-1: no slow link, sent as it leaves)
};

struct Reaction {
    Event event;  // t and meter are left for the caller to fill in
    std::vector<Send> sends;
    int enterBootloaderInMs = -1;  // >= 0: an accepted boot-mode request
    bool closeConnection = false;  // Modbus: the stream cannot be trusted any more
};

class MeterCore {
public:
    explicit MeterCore(const MeterOptions& options);

    Reaction OnDatagram(ByteView datagram);
    Reaction OnModbusRequest(ByteView adu);
    void EnterBootloader() { inBootloader_ = true; }

    bool InBootloader() const { return inBootloader_; }
    const FlashModel& Flash() const { return flash_; }
    int ProgramFaults() const { return programFaults_; }

private:
    // The bootloader's own answer to a frame, before any fault; nothing for
    // a frame it answers with silence.
    std::optional<Bytes> Handle(const BootFrame& frame, Event& e);

    Bytes identity_;
    std::string password_;
    int bootDelayMs_;
    uint64_t seed_;
    Faults faults_;
    FlashModel flash_;
    bool inBootloader_;
    uint32_t exchanges_ = 0;
    uint32_t modbusRequests_ = 0;
    int programFaults_ = 0;
};

}  // namespace sim
