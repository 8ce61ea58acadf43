#include "cli/Fleet.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <functional>

#include "protocol/Constants.h"
#include "platform/MeterLock.h"
#include "net/SocketAddress.h"
#include "net/SocketLink.h"
#include "update/UpdateEngine.h"

namespace cli {
namespace {

// An update needs a few KiB of stack (its frames, a name lookup); the
// system's default of megabytes per thread is address space for nothing.
constexpr size_t kStackBytes = 256 * 1024;

// Runs work on `count` threads at once (the calling one among them) and
// returns when all are done. pthreads, also on Windows (winpthreads), as
// std::thread cannot choose its stack size.
void RunOnThreads(size_t count, const std::function<void()>& work) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kStackBytes);
    const auto entry = [](void* w) -> void* {
        (*static_cast<const std::function<void()>*>(w))();
        return nullptr;
    };
    std::vector<pthread_t> threads;
    for (size_t i = 1; i < count; ++i) {
        pthread_t t;
        // Fewer threads than asked still finish the work, only later.
        if (pthread_create(&t, &attr, entry, const_cast<std::function<void()>*>(&work)) != 0) break;
        threads.push_back(t);
    }
    pthread_attr_destroy(&attr);
    work();
    for (pthread_t t : threads) pthread_join(t, nullptr);
}

MeterRecord UpdateOne(const std::string& host, size_t index, const FleetOptions& options,
                      const update::CancelToken& stop, Display& display) {
    MeterRecord record;
    record.address = host;
    // Held to the meter's end: another run that erased it now would leave holes.
    const platform::MeterLock lock(options.lockScope, net::HostToDotted(host));
    if (lock.Busy()) {
        record.busyWith = lock.Holder();
        return record;
    }
    // The protocol's ports; the meter's address tells the meters apart.
    net::SocketLink udpLink(net::Transport::Udp, protocol::kBootloaderPort);
    net::SocketLink tcpLink(net::Transport::Tcp, protocol::kModbusPort);
    update::PlainPacer pacer(stop);
    update::DelayInterval delay;
    MeterListener listener(display, index);
    update::UpdateEngine engine(pacer, tcpLink, udpLink, options.firmware, delay, listener);

    record.contacted = true;
    record.started = std::chrono::system_clock::now();
    record.result = engine.Run({host, options.password, options.command == Command::Update, options.connectLimit});
    record.finished = std::chrono::system_clock::now();
    return record;
}

}  // namespace

std::vector<MeterRecord> RunFleet(const std::vector<std::string>& hosts, const FleetOptions& options,
                                  const update::CancelToken& stop, Display& display) {
    std::vector<MeterRecord> records(hosts.size());
    std::atomic<size_t> next{0};
    auto worker = [&] {
        for (size_t i; (i = next.fetch_add(1)) < hosts.size();) {
            if (stop.Cancelled()) {
                records[i].address = hosts[i];
                records[i].result.outcome = update::Outcome::Cancelled;
            } else {
                try {
                    records[i] = UpdateOne(hosts[i], i, options, stop, display);
                } catch (const std::exception& e) {
                    // This machine ran out of something (timers, sockets): that
                    // meter's state is unknown, the others go on.
                    records[i].address = hosts[i];
                    records[i].contacted = true;
                    records[i].started = records[i].finished = std::chrono::system_clock::now();
                    records[i].result.outcome = update::Outcome::CommunicationError;
                    records[i].fault = e.what();
                }
            }
            display.Finished(i, records[i]);
            if (options.finished) options.finished(records[i]);
        }
    };
    const size_t jobs = std::clamp<size_t>(static_cast<size_t>(std::max(options.jobs, 1)), 1, hosts.size());
    RunOnThreads(jobs, worker);
    return records;
}

}  // namespace cli
