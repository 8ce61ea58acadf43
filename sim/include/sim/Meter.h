// A simulated energy meter on loopback: a Modbus TCP server that can switch
// the meter into its bootloader, and the UDP bootloader that erases and
// programs the Ethernet module's flash. Decodes everything on its own, so a
// fault in the update tool cannot hide behind the same fault here.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/Faults.h"
#include "sim/Gateway.h"

namespace sim {

inline constexpr uint32_t kFlashSize = 0x80000;
inline constexpr uint32_t kAppStart = 0x08000;  // below: the bootloader itself, never erased
inline constexpr uint32_t kBlockSize = 1024;
// Vendor, product and revision each at most this long: the three fit one
// Read Device Identification answer.
inline constexpr size_t kMaxDeviceIdText = 80;

// One line of the event log: a datagram or Modbus request and what the meter
// did, or the end of the boot time after the meter left its bootloader ("BOOT").
struct Event {
    double t = 0;                 // seconds since the meter started
    std::string meter;            // the meter's name (its address unless named otherwise)
    std::string command;          // "VER?", "E", "W", "RESET", "MODBUS", "BOOT", "?" (anything else)
    int function = 0;             // Modbus: the request's function code (16, 43, ...)
    uint32_t address = 0;         // write frames: block address; Modbus: first register
    size_t length = 0;            // bytes received
    std::string checksum;         // "ok", "bad", "-" (frames without checksum)
    std::vector<uint8_t> answer;  // bytes answered (empty: no answer)
    std::string fault;            // injected faults and "ignored", comma separated; empty: none
                                  // BOOT: what keeps the application away; empty: it is back
    bool inBootloader = false;    // state when the datagram arrived (BOOT: when the boot time ended)
};

// One JSON object, no line end.
std::string ToJson(const Event& event);

struct MeterOptions {
    std::string name;  // empty: the address
    std::string address = "127.0.0.1";
    int modbusPort = 502;              // 0: ephemeral
    int bootPort = 5555;               // 0: ephemeral
    bool modbusListener = true;        // false: the port is held but connections are refused
    bool bootloaderFromStart = false;  // and so Modbus closed until a "RESET" brings the application back
    std::string password = "1234";
    std::vector<uint8_t> identity = {'T', 'A', 'L', 'V', 'O', '-', 'E', 'T', 'H', '-', 'B', 'O', 'O',
                                     'T', 'L', 'O', 'A', 'D', 'E', 'R', '-', 'V', '1', '.', '0', '0'};
    int bootDelayMs = 1000;  // from the accepted boot-mode request to the bootloader
    int bootTimeMs = 1000;   // from a "RESET" the bootloader handled to the application and its Modbus server
    // Read Device Identification, objects 0 to 2 (each at most kMaxDeviceIdText).
    std::string vendor = "VELTRONA";
    std::string product = "QT5201";
    std::string revision = "2.31";
    bool deviceId = true;  // false: Read Device Identification is an unknown function (exception 1)
    uint64_t seed = 1;
    Faults faults;
    // The link this meter shares with others (the same object for each of
    // them); its bootloader's datagrams cross it both ways. Null: none.
    std::shared_ptr<Gateway> gateway;
    // Called on the meter's thread after each event is logged; must not call
    // back into the meter.
    std::function<void(const Event&)> onEvent;
};

class ServeLoop;
class MeterFleet;

class Meter {
public:
    // Binds its sockets and serves on its own thread until destroyed.
    // Throws std::system_error / std::invalid_argument when it cannot start.
    explicit Meter(MeterOptions options);
    ~Meter();
    Meter(const Meter&) = delete;
    Meter& operator=(const Meter&) = delete;

    const std::string& Name() const;
    uint16_t ModbusPort() const;  // also without listener: the held, refusing port
    uint16_t BootPort() const;

    std::vector<Event> Events() const;  // snapshot of the log
    // Blocks until some logged event satisfies `pred` or the time is up.
    bool WaitFor(const std::function<bool(const Event&)>& pred, std::chrono::milliseconds timeout) const;

    std::vector<uint8_t> Flash() const;
    bool InBootloader() const;
    // Answers held back (a delay, a split, a slow link) that have not left yet.
    bool AnswersPending() const;
    int ProgramFaults() const;  // write frames that hit bytes not erased with other data
    // Application area (0x08000..0x7FFFF) equal to `image`, which holds kFlashSize bytes.
    bool FlashMatches(const uint8_t* image) const;
    // First differing address of the application area, or -1.
    long FirstMismatch(const uint8_t* image) const;

private:
    friend class MeterFleet;
    Meter(MeterOptions options, ServeLoop& loop);  // served by a fleet's loop

    class Impl;
    std::unique_ptr<Impl> impl_;
};

// Many meters in one process, served by a few threads: one per
// metersPerThread meters rather than one each, so that hundreds of meters
// cost a handful of threads. Each meter is the same as a Meter on its own.
class MeterFleet {
public:
    // Binds every meter's sockets, then serves them all until destroyed.
    // Throws as Meter does when one cannot start; none is served then.
    explicit MeterFleet(std::vector<MeterOptions> meters, size_t metersPerThread = 64);
    ~MeterFleet();
    MeterFleet(const MeterFleet&) = delete;
    MeterFleet& operator=(const MeterFleet&) = delete;

    size_t Size() const { return meters_.size(); }
    const Meter& operator[](size_t i) const { return *meters_[i]; }

private:
    std::vector<std::unique_ptr<ServeLoop>> loops_;  // stopped before the meters go
    std::vector<std::unique_ptr<Meter>> meters_;
};

}  // namespace sim
