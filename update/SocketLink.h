// A link over one of the tool's own socket endpoints.
#pragma once

#include "Pacer.h"
#include "Sockets.h"

namespace loader {

class SocketLink final : public Link {
public:
    explicit SocketLink(TCustomIpClient& socket) : socket_(socket) {}

    void Open(const std::string& host) override {
        socket_.SetRemoteHost(host);
        socket_.SetActive(true);
    }
    void Close() override { socket_.SetActive(false); }
    int32_t Send(const uint8_t* bytes, int32_t count) override { return socket_.SendBytes(bytes, count, 0); }
    int32_t Receive(uint8_t* bytes, int32_t count) override { return socket_.ReceiveBytes(bytes, count, 0); }
    bool Readable() const override { return socket_.Readable(); }
    TSocketHandle Handle() const override { return socket_.Active() ? socket_.Handle() : InvalidSocketHandle; }

private:
    TCustomIpClient& socket_;
};

}  // namespace loader
