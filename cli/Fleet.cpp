#include "Fleet.h"

#include <algorithm>
#include <atomic>
#include <thread>

#include "Constants.h"
#include "SocketLink.h"
#include "UpdateEngine.h"

namespace fleet {
namespace {

MeterRecord UpdateOne(const std::string& host, size_t index, const FleetOptions& options,
                      const loader::CancelToken& stop, Display& display) {
    MeterRecord record;
    record.address = host;
    // The protocol's ports; the meter's address tells the meters apart.
    net::SocketLink udpLink(net::Transport::Udp, protocol::kBootloaderPort);
    net::SocketLink tcpLink(net::Transport::Tcp, protocol::kModbusPort);
    loader::PlainPacer pacer(stop);
    loader::DelayInterval delay;
    MeterListener listener(display, index);
    loader::UpdateEngine engine(pacer, tcpLink, udpLink, options.firmware, delay, listener);

    record.contacted = true;
    record.started = std::chrono::system_clock::now();
    record.result = engine.Run({host, options.password, options.command == Command::Update});
    record.finished = std::chrono::system_clock::now();
    return record;
}

}  // namespace

std::vector<MeterRecord> RunFleet(const std::vector<std::string>& hosts, const FleetOptions& options,
                                  const loader::CancelToken& stop, Display& display) {
    std::vector<MeterRecord> records(hosts.size());
    std::atomic<size_t> next{0};
    auto worker = [&] {
        for (size_t i; (i = next.fetch_add(1)) < hosts.size();) {
            if (stop.Cancelled()) {
                records[i].address = hosts[i];
                records[i].result.outcome = loader::Outcome::Cancelled;
            } else {
                records[i] = UpdateOne(hosts[i], i, options, stop, display);
            }
            display.Finished(i, records[i]);
            if (options.finished) options.finished(records[i]);
        }
    };
    const size_t jobs = std::clamp<size_t>(static_cast<size_t>(std::max(options.jobs, 1)), 1, hosts.size());
    std::vector<std::thread> threads;
    for (size_t j = 1; j < jobs; ++j) threads.emplace_back(worker);
    worker();
    for (auto& t : threads) t.join();
    return records;
}

}  // namespace fleet
