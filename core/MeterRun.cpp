#include "core/MeterRun.h"

#include <chrono>
#include <exception>
#include <optional>

#include "net/SocketAddress.h"
#include "net/SocketLink.h"
#include "platform/MeterLock.h"

namespace core {
namespace {

// A run broken off by this computer: the meter may have heard anything up to then.
history::MeterRun& BrokenOff(history::MeterRun& run, const std::exception& e) {
    run.contacted = true;
    if (run.started == std::chrono::system_clock::time_point{}) run.started = std::chrono::system_clock::now();
    run.finished = std::chrono::system_clock::now();
    run.result = {};
    run.result.outcome = update::Outcome::CommunicationError;
    run.fault = e.what();
    return run;
}

template <typename Engine>
history::MeterRun Locked(const update::UpdateRequest& request, const std::string& lockScope, const RunBegun& begun,
                         Engine engine) {
    history::MeterRun run;
    run.address = request.address;
    run.probe = !request.program;
    try {
        // Held to the meter's end: another run that erased it now would leave holes.
        const platform::MeterLock lock(lockScope, net::HostToDotted(request.address));
        if (lock.Busy()) {
            run.busyWith = lock.Holder();
            return run;
        }
        run.contacted = true;
        run.started = std::chrono::system_clock::now();
        if (begun) begun(run);
        run.result = engine().Run(request);
        run.finished = std::chrono::system_clock::now();
    } catch (const std::exception& e) {
        return BrokenOff(run, e);
    }
    return run;
}

// The links, pacer and engine of one meter's run.
struct OwnEngine {
    OwnEngine(const OwnLinks& setup, update::UpdateListener& listener, const update::CancelToken& stop)
        : boot(net::Transport::Udp, setup.ports.boot),
          modbus(net::Transport::Tcp, setup.ports.modbus),
          pacer(stop),
          engine(pacer, modbus, boot, setup.firmware, delay, listener) {
        if (setup.gate) engine.PaceBlocksThrough(*setup.gate);
    }
    net::SocketLink boot, modbus;
    update::PlainPacer pacer;
    update::DelayInterval delay;
    update::UpdateEngine engine;
};

}  // namespace

history::MeterRun RunMeter(update::UpdateEngine& engine, const update::UpdateRequest& request,
                           const std::string& lockScope, const RunBegun& begun) {
    return Locked(request, lockScope, begun, [&engine]() -> update::UpdateEngine& { return engine; });
}

history::MeterRun RunMeterOnOwnLinks(const update::UpdateRequest& request, const OwnLinks& setup,
                                     update::UpdateListener& listener, const update::CancelToken& stop) {
    std::optional<OwnEngine> own;  // made once the meter is locked, gone with its run
    return Locked(request, setup.lockScope, setup.begun,
                  [&]() -> update::UpdateEngine& { return own.emplace(setup, listener, stop).engine; });
}

update::ReturnFacts WatchReturnOnOwnLinks(const std::string& address, const update::UpdateResult& run,
                                          std::chrono::seconds limit, const MeterPorts& ports,
                                          update::UpdateListener& listener, const update::CancelToken& stop) {
    net::SocketLink boot(net::Transport::Udp, ports.boot), modbus(net::Transport::Tcp, ports.modbus);
    update::PlainPacer pacer(stop);
    return update::ReturnWatch(pacer, modbus, boot).Watch(address, run, limit, listener);
}

}  // namespace core
