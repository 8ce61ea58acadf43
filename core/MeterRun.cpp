#include "core/MeterRun.h"

#include <chrono>
#include <exception>
#include <optional>
#include <utility>

#include "brand/LoaderVersion.h"
#include "net/SocketAddress.h"
#include "net/SocketLink.h"
#include "platform/MeterLock.h"
#include "trace/MeterTrace.h"

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

// A run's trace, on its links from the engine's start to the end of this
// object, which takes it off them whatever way the run ends.
class RunTrace {
public:
    RunTrace(const TraceSetup& setup, const TapLinks& tapLinks) : setup_(setup), tapLinks_(tapLinks) {}
    ~RunTrace() { Detach(); }
    RunTrace(const RunTrace&) = delete;
    RunTrace& operator=(const RunTrace&) = delete;

    void Begin(const history::MeterRun& run) {
        if (setup_.folder.empty()) return;
        const trace::TraceHeader header{setup_.tool + " " + LOADER_VERSION, setup_.tool, setup_.firmwareSha256,
                                        run.address};
        trace_.emplace(trace::TracePath(platform::PathFromNativeName(setup_.folder), run.address, run.started), header);
        if (tapLinks_) tapLinks_(&*trace_);
        attached_ = static_cast<bool>(tapLinks_);
    }
    // The file's name in the record, or why there is none.
    void End(history::MeterRun& run) {
        if (!trace_) return;
        Detach();
        run.traceProblem = trace_->Finish();
        if (run.traceProblem.empty()) run.trace = trace_->Path().string();
    }

private:
    void Detach() {
        if (std::exchange(attached_, false)) tapLinks_(nullptr);
    }

    const TraceSetup& setup_;
    const TapLinks& tapLinks_;
    std::optional<trace::MeterTrace> trace_;
    bool attached_ = false;
};

template <typename Engine>
history::MeterRun Locked(const update::UpdateRequest& request, const std::string& lockScope, const RunBegun& begun,
                         RunTrace& trace, Engine engine) {
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
        update::UpdateEngine& e = engine();
        trace.Begin(run);
        run.result = e.Run(request);
        run.finished = std::chrono::system_clock::now();
    } catch (const std::exception& e) {
        BrokenOff(run, e);
    }
    trace.End(run);
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
                           const std::string& lockScope, const RunBegun& begun, const TraceSetup& trace,
                           const TapLinks& tapLinks) {
    RunTrace runTrace(trace, tapLinks);
    return Locked(request, lockScope, begun, runTrace, [&engine]() -> update::UpdateEngine& { return engine; });
}

history::MeterRun RunMeterOnOwnLinks(const update::UpdateRequest& request, const OwnLinks& setup,
                                     update::UpdateListener& listener, const update::CancelToken& stop) {
    std::optional<OwnEngine> own;  // made once the meter is locked, gone with its run
    const TapLinks tapLinks = [&own](net::LinkTap* tap) {
        own->boot.SetTap(tap);
        own->modbus.SetTap(tap);
    };
    RunTrace runTrace(setup.trace, tapLinks);
    return Locked(request, setup.lockScope, setup.begun, runTrace,
                  [&]() -> update::UpdateEngine& { return own.emplace(setup, listener, stop).engine; });
}

update::ReturnFacts WatchReturnOnOwnLinks(const std::string& address, const update::UpdateResult& run,
                                          std::chrono::seconds limit, const MeterPorts& ports,
                                          update::UpdateListener& listener, const update::CancelToken& stop,
                                          const std::string& traceFile) {
    // Made before the links, gone after them. A trace that cannot go on is
    // left as the run wrote it: the run's record already names it.
    std::optional<trace::MeterTrace> trace;
    if (!traceFile.empty()) trace.emplace(platform::PathFromNativeName(traceFile), trace::MeterTrace::Continued{});
    net::SocketLink boot(net::Transport::Udp, ports.boot), modbus(net::Transport::Tcp, ports.modbus);
    boot.SetTap(trace ? &*trace : nullptr);
    modbus.SetTap(trace ? &*trace : nullptr);
    update::PlainPacer pacer(stop);
    return update::ReturnWatch(pacer, modbus, boot).Watch(address, run, limit, listener);
}

}  // namespace core
