// One meter's run, the same for every front end: the meter locked for this
// computer, the engine run, a fault of this computer turned into a
// communication error, and the record that the report and the update
// history keep. The window runs it on its window-long engine; the fleet on
// links and an engine of each meter's own.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "history/Record.h"
#include "net/SocketLink.h"
#include "image/ImageView.h"
#include "protocol/Constants.h"
#include "update/PlainPacer.h"
#include "update/UpdateEngine.h"

namespace core {

// The ports a meter serves. Meters serve the protocol's; simulated meters
// of a rehearsal or a test may serve others, which need no root.
struct MeterPorts {
    std::uint16_t modbus = protocol::kModbusPort;
    std::uint16_t boot = protocol::kBootloaderPort;
};

// Runs `request` on `engine` while holding the meter's lock in `lockScope`
// (platform::MeterLock; empty: not locked). A meter another run holds is not
// contacted: its record names the holder. A fault of this computer (no
// socket, no thread) ends the record as a communication error with the
// fault's words, the meter's state unknown.
// `begun`, when given, is told of the run once the meter is locked, before
// anything is sent to it (the update history's start record).
using RunBegun = std::function<void(const history::MeterRun&)>;

// A support trace of each meter's run (trace::MeterTrace): a pcapng file in
// `folder` of every frame its links exchanged. A trace that cannot be
// written is the record's traceProblem, never a change of its verdict.
struct TraceSetup {
    std::string folder;  // empty: no trace
    std::string tool;    // "ethernet-loader-cli", with LOADER_VERSION in the file
    std::string firmwareSha256;
};

// Puts a tap on the engine's links, or takes it off (null).
using TapLinks = std::function<void(net::LinkTap*)>;

history::MeterRun RunMeter(update::UpdateEngine& engine, const update::UpdateRequest& request,
                           const std::string& lockScope, const RunBegun& begun = {}, const TraceSetup& trace = {},
                           const TapLinks& tapLinks = {});

// What a meter run on links of its own needs besides its request.
struct OwnLinks {
    image::ImageView firmware;
    MeterPorts ports;
    std::string lockScope;
    RunBegun begun{};
    TraceSetup trace{};
    // Where each block waits its turn among the meters sharing this one's
    // path (PathGate); none: no block waits.
    update::SendGate* gate = nullptr;
};

// The same, on links, a pacer and an engine made for this meter alone,
// stopped by `stop`, its events to `listener`.
history::MeterRun RunMeterOnOwnLinks(const update::UpdateRequest& request, const OwnLinks& setup,
                                     update::UpdateListener& listener, const update::CancelToken& stop);

// The watch after a run's "RESET" (update::ReturnWatch) on links and a pacer
// of its own, stopped by `stop`: a window can start its next run meanwhile.
// Its frames go on in the run's support trace `traceFile` (a native path;
// empty: none), where a run of the command line has them too.
update::ReturnFacts WatchReturnOnOwnLinks(const std::string& address, const update::UpdateResult& run,
                                          std::chrono::seconds limit, const MeterPorts& ports,
                                          update::UpdateListener& listener, const update::CancelToken& stop,
                                          const std::string& traceFile = {});

}  // namespace core
