// The engine on real sockets and real time, through the plain pacer, against
// the simulated meter on loopback: as the headless updater runs it.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "image/FlashImage.h"
#include "update/PlainPacer.h"
#include "tests/update/RecordingListener.h"
#include "net/SocketLink.h"
#include "update/UpdateEngine.h"
#include "tests/update/VirtualMeter.h"
#include "sim/Meter.h"

namespace testsupport {

inline sim::MeterOptions BootloaderOnLoopback() {
    sim::MeterOptions o;
    o.address = "127.0.0.1";
    o.modbusPort = 0;
    o.bootPort = 0;
    o.bootloaderFromStart = true;
    return o;
}

struct SocketRig {
    explicit SocketRig(sim::MeterOptions options, std::vector<uint8_t> img = {})
        : firmware(img.empty() ? std::vector<uint8_t>(FlashImageARM, FlashImageARM + image::kImageSize)
                               : std::move(img)),
          meter(std::move(options)),
          engine(pacer, tcpLink, udpLink, image::ImageView(firmware.data(), image::kImageSize), delay, seen) {}

    int Count(const std::string& command) const {
        return static_cast<int>(std::ranges::count(meter.Events(), command, &sim::Event::command));
    }
    bool FlashIsImage() const { return meter.FlashMatches(firmware.data()); }

    std::vector<uint8_t> firmware;
    sim::Meter meter;
    net::SocketLink udpLink{net::Transport::Udp, meter.BootPort()};
    net::SocketLink tcpLink{net::Transport::Tcp, meter.ModbusPort()};
    update::CancelToken cancel;
    update::PlainPacer pacer{cancel};
    update::DelayInterval delay;
    RecordingListener seen;
    update::UpdateEngine engine;
};

}  // namespace testsupport
