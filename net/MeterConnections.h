// The engine's ports over the network for a window's life: the Modbus TCP
// client (port 502), the bootloader's datagram endpoint (port 5555, opened
// by the first run and kept open), and the plain pacer with its cancel token.
// A front end's entry makes them, after the socket library is started, and
// hands them to its window.
#pragma once

#include "net/SocketLink.h"
#include "protocol/Constants.h"
#include "update/PlainPacer.h"

namespace net {

struct MeterConnections {
    SocketLink modbus{Transport::Tcp, protocol::kModbusPort};
    SocketLink boot{Transport::Udp, protocol::kBootloaderPort};
    update::CancelToken cancel;
    update::PlainPacer pacer{cancel};
};

}  // namespace net
