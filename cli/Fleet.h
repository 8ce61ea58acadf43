// Many meters at once: each with its own sockets, engine and plain pacer, on
// a thread of its own, so that each meter sees exactly the protocol's timing.
// The threads sleep almost all the time, on small stacks: hundreds of them
// cost little more than an event loop would, with the engine unchanged.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "core/MeterRun.h"
#include "protocol/Constants.h"
#include "cli/Display.h"
#include "image/FlashImage.h"
#include "update/PlainPacer.h"
#include "update/UpdateEvents.h"
#include "cli/Report.h"

namespace cli {

// What follows the meters besides the display (the update history, the
// live report), told on each meter's thread as it happens.
class MeterObserver {
public:
    virtual ~MeterObserver() = default;
    // The meter's turn has come: its lock is taken (or found held) and it is
    // contacted next. A meter whose turn never comes (the run was stopped
    // first) only ends.
    virtual void Started(size_t /*meter*/) {}
    // The meter is locked and nothing is sent to it yet (the update
    // history's start record); not told of a meter another run holds.
    virtual void Begun(size_t /*meter*/, const MeterRecord&) {}
    virtual void StageChanged(size_t /*meter*/, update::Stage) {}
    // The meter has ended, contacted or not.
    virtual void Finished(size_t /*meter*/, const MeterRecord&) {}
};

struct FleetOptions {
    Command command = Command::Update;
    std::string password;  // Windows-1252 bytes, already checked
    int jobs = 1;          // meters at once, each on a thread
    // How long a meter's Modbus TCP handshake may take.
    std::chrono::milliseconds connectLimit = protocol::kConnectLimit;
    // How long each meter is watched for after "RESET", and the revision it must come back with.
    std::chrono::seconds returnLimit{0};
    std::string expectedRevision;
    image::ImageView firmware = image::EmbeddedImage();
    // The scope each meter is locked in for its update (platform::MeterLock); empty: not locked.
    std::string lockScope;
    // The ports every meter serves: the protocol's, but in rehearsals and tests.
    core::MeterPorts ports;
    // Each meter's support trace; its folder empty: none.
    core::TraceSetup trace;
    // Told of each meter as the display is; they outlive the run.
    std::vector<MeterObserver*> observers;
    // Each host's group (Host::group), in the hosts' order: the meters of a
    // group share a path, and their block writes are paced as one
    // (core::PathGate). Empty: none is paced.
    std::vector<std::string> groups;
};

// Calls work(i) for each i below count, `jobs` at a time, each on a thread
// of its own with a small stack; returns when all are done.
void ForEachOnThreads(size_t count, int jobs, const std::function<void(size_t)>& work);

// Runs every host to its end (or to the stop request) and returns their
// records in the order given. Meters not yet started when a stop is
// requested are not contacted at all.
// `groups`, when given, gets each group's figures, in the order the groups
// first appear.
std::vector<MeterRecord> RunFleet(const std::vector<std::string>& hosts, const FleetOptions& options,
                                  const update::CancelToken& stop, Display& display,
                                  std::vector<GroupRecord>* groups = nullptr);

}  // namespace cli
