// The update logic wired to a simulated meter on loopback, through real
// sockets and real-time waits, with a fake window.
#pragma once

#include <string>
#include <vector>

#include "FakeForm.h"
#include "FlashImage.h"
#include "Sockets.h"
#include "Updater.h"
#include "metersim/meter.h"

namespace loader::testing {

// An image with firmware in a few blocks only, for scenarios that do not need the whole one.
inline std::vector<uint8_t> SmallImage(std::initializer_list<uint32_t> blocks) {
    std::vector<uint8_t> img(image::kImageSize, 0xFF);
    for (uint32_t b : blocks)
        for (uint32_t i = 0; i < 1024; ++i) img[b + i] = static_cast<uint8_t>((b >> 10) * 31 + i * 7);
    return img;
}

inline metersim::MeterOptions BootloaderOnLoopback() {
    metersim::MeterOptions o;
    o.address = "127.0.0.1";
    o.modbusPort = 0;
    o.bootPort = 0;
    o.bootloaderFromStart = true;
    return o;
}

struct Rig {
    explicit Rig(metersim::MeterOptions options, std::vector<uint8_t> img = {})
        : firmware(img.empty() ? std::vector<uint8_t>(FlashImageARM, FlashImageARM + image::kImageSize) : std::move(img)),
          meter(std::move(options)),
          updater(form, udp, tcp, image::ImageView(firmware.data(), image::kImageSize)) {
        udp.SetBlockMode(bmNonBlocking);
        udp.SetRemotePort(std::to_string(meter.BootPort()));
        tcp.SetBlockMode(bmNonBlocking);
        tcp.SetRemotePort(std::to_string(meter.ModbusPort()));
        form.Type(Control::EditIPaddr, "127.0.0.1");
    }

    std::vector<metersim::Event> Received(const std::string& command) const {
        std::vector<metersim::Event> out;
        for (const auto& e : meter.Events())
            if (e.command == command) out.push_back(e);
        return out;
    }
    std::vector<uint32_t> WrittenBlocks() const {
        std::vector<uint32_t> out;
        for (const auto& e : Received("W")) out.push_back(e.address);
        return out;
    }
    std::string LastCommand() const {
        const auto ev = meter.Events();
        return ev.empty() ? std::string() : ev.back().command;
    }
    bool FlashIsImage() const { return meter.FlashMatches(firmware.data()); }
    // The blocks that hold firmware, in the order an update writes them.
    std::vector<uint32_t> ExpectedOrder() const {
        std::vector<uint32_t> out;
        for (uint32_t a = 0x08400; a < 0x80000; a += 1024)
            if (!IsBlank(a)) out.push_back(a);
        if (!IsBlank(0x08000)) out.push_back(0x08000);
        return out;
    }
    bool IsBlank(uint32_t a) const {
        for (uint32_t i = 0; i < 1024; ++i)
            if (firmware[a + i] != 0xFF) return false;
        return true;
    }

    std::vector<uint8_t> firmware;
    metersim::Meter meter;
    FakeForm form;
    TUdpSocket udp;
    TTcpClient tcp;
    TUpdater updater;
};

}  // namespace loader::testing
