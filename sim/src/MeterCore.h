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
    int bootEndsInMs = -1;         // >= 0: the meter restarts; BootEnds(restart) is due then
    uint64_t restart = 0;
};

// Where the meter is: its application serves Modbus, its bootloader the
// datagrams; between the two, while it restarts, nothing answers.
enum class Phase { Application, Bootloader, Restarting };

class MeterCore {
public:
    explicit MeterCore(const MeterOptions& options);

    Reaction OnDatagram(ByteView datagram);
    Reaction OnModbusRequest(ByteView adu);
    void EnterBootloader();
    // The boot time of `restart` is over: the event that says what came
    // back. Nothing when the meter has moved on since (another restart, or
    // the bootloader meanwhile).
    std::optional<Event> BootEnds(uint64_t restart);

    Phase State() const { return phase_; }
    bool InBootloader() const { return phase_ == Phase::Bootloader; }
    const FlashModel& Flash() const { return flash_; }
    int ProgramFaults() const { return programFaults_; }

private:
    // The bootloader's own answer to a frame, before any fault; nothing for
    // a frame it answers with silence.
    std::optional<Bytes> Handle(const BootFrame& frame, Event& e);
    // Out of the bootloader, by a "RESET" or a reboot; what follows the boot time.
    void Restart(Reaction& r, AfterReset then);

    Bytes identity_;
    std::string password_;
    int bootDelayMs_;
    int bootTimeMs_;
    std::vector<std::string> deviceId_;  // empty: no Read Device Identification
    uint64_t seed_;
    Faults faults_;
    FlashModel flash_;
    Phase phase_;
    uint64_t restarts_ = 0;  // moves on at each restart, its end, and an entry into the bootloader
    AfterReset afterBoot_ = AfterReset::Back;
    uint32_t exchanges_ = 0;
    uint32_t modbusRequests_ = 0;
    int programFaults_ = 0;
};

}  // namespace sim
