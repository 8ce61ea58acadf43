#pragma once

// Non-blocking IPv4 endpoints over the operating system's socket calls.
//
// No call here waits for the network (except a host name lookup) and none
// raises or reports: every failure shows only as a result of -1 or as an
// endpoint that stays inactive or unconnected. Callers send, wait on their
// own terms and then take whatever has arrived.

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#include "SocketAddress.h"

#ifdef _WIN32
using TSocketHandle = std::uintptr_t;  // SOCKET
inline constexpr TSocketHandle InvalidSocketHandle = ~TSocketHandle{0};
#else
using TSocketHandle = int;
inline constexpr TSocketHandle InvalidSocketHandle = -1;
#endif

using TSocketHost = std::string;
using TSocketPort = std::string;

enum TSocketBlockMode { bmBlocking, bmNonBlocking };

// Raised only when the platform's socket library cannot be started or
// released; the message is the name of the failing call.
class ESocketError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Once at program start, before any endpoint exists, and once at program end.
// Nothing to do where sockets need no library start-up.
void SocketLibraryStartup();
void SocketLibraryCleanup();

class TBaseSocket {
public:
    virtual ~TBaseSocket();  // closes
    TBaseSocket(const TBaseSocket&) = delete;
    TBaseSocket& operator=(const TBaseSocket&) = delete;

    bool Active() const { return FActive; }
    void SetActive(bool value);
    TSocketBlockMode BlockMode() const { return FBlockMode; }
    void SetBlockMode(TSocketBlockMode value);
    // Valid only while Active.
    TSocketHandle Handle() const { return FSocket; }

    // Both hand the buffer straight to the system and return its count or -1.
    // They do not look at Active: on a closed endpoint the system refuses.
    int32_t SendBytes(const void* buf, int32_t count, int32_t flags = 0);
    // -1 also when nothing has arrived, and for a datagram longer than count,
    // whose first count bytes are then stored and the rest dropped.
    int32_t ReceiveBytes(void* buf, int32_t count, int32_t flags = 0);
    // Something waits to be received, or a failure the next receive reports.
    // Never waits; false on a closed endpoint.
    bool Readable() const;

    // None installed by default; the program needs none of them, the tests
    // watch an endpoint's life and its failures through them.
    std::function<void()> OnCreateHandle;
    std::function<void()> OnDestroyHandle;
    std::function<void(int code)> OnError;  // errno / WSAGetLastError code

protected:
    TBaseSocket(int family, int type, int protocol);

    // Passes every result through; a -1 hands the system's error code to
    // DoHandleError and is otherwise dropped.
    virtual int ErrorCheck(int result);
    virtual void Open();
    virtual void Close();
    virtual void DoCreateHandle();
    virtual void DoDestroyHandle();
    virtual void DoHandleError(int code);

    // Before a setting changes, an open socket no longer matches it.
    template <typename T>
    void Change(T& field, const T& value) {
        if (field == value) return;
        SetActive(false);
        field = value;
    }

private:
    bool FActive = false;
    TSocketBlockMode FBlockMode = bmBlocking;
    int FFamily;
    int FSocketType;
    int FProtocol;
    TSocketHandle FSocket = InvalidSocketHandle;
};

class TIpSocket : public TBaseSocket {
public:
    const TSocketHost& RemoteHost() const { return FRemoteHost; }
    void SetRemoteHost(const TSocketHost& value) { Change(FRemoteHost, value); }
    const TSocketPort& RemotePort() const { return FRemotePort; }
    void SetRemotePort(const TSocketPort& value) { Change(FRemotePort, value); }

protected:
    using TBaseSocket::TBaseSocket;

private:
    TSocketHost FRemoteHost;
    TSocketPort FRemotePort;
};

class TCustomIpClient : public TIpSocket {
public:
    ~TCustomIpClient() override;  // shuts down before the socket is closed
    // True only when connect succeeded at once: a datagram endpoint with a
    // usable address. A non-blocking stream endpoint never gets there.
    bool Connected() const { return FConnected; }

    std::function<void()> OnDisconnect;  // after the shutdown, before the close

protected:
    using TIpSocket::TIpSocket;
    void Open() override;
    void Close() override;
    virtual void DoDisconnect();

private:
    bool FConnected = false;
};

// Datagrams to and from one peer only.
class TUdpSocket : public TCustomIpClient {
public:
    TUdpSocket();
};

class TTcpClient : public TCustomIpClient {
public:
    TTcpClient();
};
