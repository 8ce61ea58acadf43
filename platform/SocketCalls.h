// The system's socket calls as each platform spells them, for Socket.cpp
// alone: every call returns its result as the system does (-1 for a
// failure) and leaves the error code where LastSocketError finds it.
#pragma once

#include "platform/Socket.h"

namespace platform::calls {

int LastSocketError();
// A system error code in the terms every platform shares.
SocketFault Classify(int code, SocketKind kind);

// A new socket of the kind, or kNoSocket.
SocketHandle CreateSocket(SocketKind kind);
int SetNonBlocking(SocketHandle handle);
int Connect(SocketHandle handle, std::uint32_t address, std::uint16_t port);
int Send(SocketHandle handle, const void* bytes, std::int32_t count);
// A datagram longer than count fails as MessageTooLong; a stream that
// failed earlier fails as NotConnected rather than reading as closed.
int Receive(SocketHandle handle, SocketKind kind, void* bytes, std::int32_t count);
bool Readable(SocketHandle handle);
// A stream's handshake: still running, ended with a connection, or failed.
Handshake HandshakeState(SocketHandle handle);
// This end's address and port; false when the system tells none.
bool LocalAddress(SocketHandle handle, SocketEndpoint& local);
int ShutdownBoth(SocketHandle handle);
int CloseSocket(SocketHandle handle);

}  // namespace platform::calls
