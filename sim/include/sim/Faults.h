// Faults the simulated meter can be told to inject into its answers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// What happens to the answer of a bootloader exchange a rule applies to.
enum class FaultAction {
    Drop,         // no answer at all
    Delay,        // answer after `delayMs` (a "late" answer when longer than the tool waits)
    Duplicate,    // the answer is sent twice, the copy `lagMs` after it
    Wrong,        // same length, first byte replaced by a different one (never 'O')
    Short,        // the answer less its last byte (4 -> 3 bytes)
    Oversized,    // the answer plus a line feed (4 -> 5 bytes, identity -> identity + "\n")
    Zeroed,       // same length, every byte zero
    Script,       // `payload` is sent instead of the answer, even where none was due
    ForeignPort,  // the answer leaves from another UDP port than the bootloader's
    Reboot,       // the meter drops out of its bootloader instead of handling the datagram
};

// A rule applies to a bootloader exchange when every selector that is set
// matches. Exchanges are numbered from 1 over all datagrams that arrive at the
// bootloader port while the meter is in its bootloader (lost ones included).
struct FaultRule {
    FaultAction action = FaultAction::Drop;
    uint32_t exchange = 0;                 // only this exchange (0: any)
    uint32_t every = 0;                    // only every Nth exchange (0: any)
    std::optional<uint32_t> blockAddress;  // only write frames for this block
    std::string command;                   // only this command label ("VER?", "E", "W", "RESET", "?")
    int delayMs = 0;                       // for Delay
    int lagMs = 0;                         // for Duplicate: from the answer to its copy
    std::vector<uint8_t> payload;          // for Script
};

// What becomes of the meter once its bootloader has handled a "RESET": faults
// of the whole meter rather than of one exchange.
enum class AfterReset {
    Back,               // its application, with the Modbus server, after the boot time
    StaysInBootloader,  // the bootloader goes on answering as before; Modbus stays closed
    NeverBack,          // nothing answers any more, neither Modbus nor the bootloader
};

struct Faults {
    std::vector<FaultRule> rules;
    AfterReset afterReset = AfterReset::Back;
    double lossInPercent = 0;   // datagrams to the bootloader lost before they are handled
    double lossOutPercent = 0;  // answers lost on their way back
    // Modbus side: all apply to every request that gets an answer.
    int modbusException = 0;       // forced exception code (e.g. 2, 3, 4); 0: none
    int modbusDelayMs = 0;         // the answer leaves this much later
    int modbusSplitBytes = 0;      // >0: the answer is sent in two pieces, this many bytes first ...
    int modbusSplitDelayMs = 700;  // ... and the rest this much later
    // A slow link, both servers: every answer, Modbus or bootloader, spends
    // rttMs +- rttJitterMs (uniform) on its way back, after any delay above.
    // The request arrives at once, so the whole round trip is on the answer.
    int rttMs = 0;
    int rttJitterMs = 0;
};

// Parses a rule written as ACTION[:ARG][@SELECTOR[,SELECTOR...]], e.g.
// "drop@3", "drop@every=5", "wrong@block=0x08800", "delay:70@cmd=W", "duplicate:60",
// "script:4f4b@2", "reboot@10". On failure returns nothing and sets *error.
std::optional<FaultRule> ParseFaultRule(std::string_view text, std::string* error);

// One --fault: a rule as above, or a fault of the whole meter
// ("stays-in-bootloader", "never-back"), which takes neither argument nor
// selector. On failure leaves `faults` as it was and sets *error.
bool AddFault(std::string_view text, Faults& faults, std::string* error);

// "stays-in-bootloader", "never-back"; empty for Back.
std::string AfterResetName(AfterReset afterReset);

// The action and its argument as written ("drop", "delay:70", "duplicate:60"): the name of
// the fault in the event log.
std::string FaultRuleName(const FaultRule& rule);

}  // namespace sim
