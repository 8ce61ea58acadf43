// A plain client for the simulated meter, written from the wire format alone.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;

constexpr uint32_t kImageSize = 0x80000;

Bytes Text(const std::string& s);
Bytes EraseFrame();
Bytes WriteFrame(uint32_t address, const uint8_t* data1024);
// The 43-byte Write Multiple Registers request with "GoToBootMode" and the password.
Bytes BootModeRequest(const std::string& password);
// 0xFF below 0x08000, pseudo-random data in the first third of the
// application area, 0xFF above; with a few blank blocks inside the data.
Bytes FirmwareImage(uint32_t seed);
bool IsBlank(const uint8_t* data, size_t n);
// The blocks in the order the tool writes them: 0x08400 upwards, 0x08000 last.
std::vector<uint32_t> BlockOrder();

class UdpPeer {
public:
    explicit UdpPeer(uint16_t port, const std::string& address = "127.0.0.1", bool connected = true);
    ~UdpPeer();
    void Send(const Bytes& datagram) const;
    // One datagram, or nothing within `wait`; *fromPort gets its source port.
    std::optional<Bytes> Receive(milliseconds wait, uint16_t* fromPort = nullptr) const;
    Bytes Exchange(const Bytes& datagram, milliseconds wait = milliseconds(1000)) const;

private:
    int fd_;
    uint32_t address_;
    uint16_t port_;
};

class TcpPeer {
public:
    explicit TcpPeer(uint16_t port, const std::string& address = "127.0.0.1");  // check Connected()
    ~TcpPeer();
    bool Connected() const { return connected_; }
    int Error() const { return error_; }
    void Send(const Bytes& bytes) const;
    // Whatever one recv delivers within `wait`; empty on timeout or close.
    Bytes ReceiveSome(milliseconds wait) const;

private:
    int fd_;
    bool connected_ = false;
    int error_ = 0;
};

// The number after "key": in a JSON line, or -1.
long JsonNumber(const std::string& line, const std::string& key);

}  // namespace testsupport
