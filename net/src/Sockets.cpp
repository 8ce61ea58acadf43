#include "Sockets.h"

#include "SocketPlatform.h"

using namespace net_platform;

void SocketLibraryStartup() {
#ifdef _WIN32
    WSADATA data;
    if (WSAStartup(MAKEWORD(1, 1), &data) != 0) throw ESocketError("WSAStartup");
#endif
}

void SocketLibraryCleanup() {
#ifdef _WIN32
    if (WSACleanup() != 0) throw ESocketError("WSACleanup");
#endif
}

// ---- TBaseSocket ----

TBaseSocket::TBaseSocket(int family, int type, int protocol)
    : FFamily(family), FSocketType(type), FProtocol(protocol) {}

TBaseSocket::~TBaseSocket() { SetActive(false); }

void TBaseSocket::SetActive(bool value) {
    if (value == FActive) return;
    if (value)
        Open();
    else
        Close();
}

void TBaseSocket::SetBlockMode(TSocketBlockMode value) { Change(FBlockMode, value); }

int32_t TBaseSocket::SendBytes(const void* buf, int32_t count, int32_t flags) {
    if (count < 0) return ErrorCheck(Fail(ErrInvalidArgument));
    return ErrorCheck(static_cast<int>(::send(FSocket, static_cast<const char*>(buf), count, flags | SendFlags)));
}

int32_t TBaseSocket::ReceiveBytes(void* buf, int32_t count, int32_t flags) {
    int result;
    if (count < 0) {
        result = Fail(ErrInvalidArgument);
#ifndef _WIN32
    } else if (FSocketType == SOCK_DGRAM) {
        // BSD recv quietly returns a cut datagram as if it were whole; MSG_TRUNC
        // reports its real length, so a cut one can give -1 like Windows does.
        const auto length = ::recv(FSocket, buf, static_cast<size_t>(count), flags | MSG_TRUNC);
        result = length > count ? Fail(EMSGSIZE) : static_cast<int>(length);
#endif
    } else {
        result = static_cast<int>(::recv(FSocket, static_cast<char*>(buf), count, flags));
        if (result == 0 && count > 0 && StreamFailed(FSocket)) result = Fail(ErrNotConnected);
    }
    return ErrorCheck(result);
}

bool TBaseSocket::Readable() const {
    if (FSocket == InvalidSocketHandle) return false;
#ifdef _WIN32
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(FSocket, &readable);
    timeval now{0, 0};
    return ::select(0, &readable, nullptr, nullptr, &now) > 0;
#else
    pollfd p{FSocket, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && p.revents != 0;
#endif
}

int TBaseSocket::ErrorCheck(int result) {
    if (result == SocketError) DoHandleError(LastSocketError());
    return result;
}

void TBaseSocket::Open() {
    if (FActive) return;
    FSocket = ::socket(FFamily, FSocketType, FProtocol);
    if (FSocket == InvalidSocketHandle) ErrorCheck(SocketError);
    FActive = FSocket != InvalidSocketHandle;
    if (!FActive) return;
    // Before connect, so that a stream connect starts the handshake and returns.
    if (FBlockMode == bmNonBlocking) ErrorCheck(SetNonBlocking(FSocket));
    DoCreateHandle();
}

void TBaseSocket::Close() {
    if (!FActive) return;
    ErrorCheck(CloseSocketHandle(FSocket));
    FSocket = InvalidSocketHandle;
    FActive = false;
    DoDestroyHandle();
}

void TBaseSocket::DoCreateHandle() {
    if (OnCreateHandle) OnCreateHandle();
}
void TBaseSocket::DoDestroyHandle() {
    if (OnDestroyHandle) OnDestroyHandle();
}
void TBaseSocket::DoHandleError(int code) {
    if (OnError) OnError(code);
}

// ---- TCustomIpClient ----

// The base destructor would only reach the base Close and skip the shutdown.
TCustomIpClient::~TCustomIpClient() { SetActive(false); }

void TCustomIpClient::Open() {
    TIpSocket::Open();
    if (!Active() || FConnected) return;
    const TIpv4Endpoint peer = FormSocketAddress(RemoteHost(), RemotePort());
    int result;
    if (IsConnectableEndpoint(peer)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(peer.Port);
        address.sin_addr.s_addr = htonl(peer.Address);
        result = ::connect(Handle(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } else {
        result = Fail(ErrAddressNotAvailable);
    }
    // A non-blocking stream connect only starts the handshake and fails here;
    // nothing looks at its outcome later, the first send simply succeeds or not.
    FConnected = ErrorCheck(result) == 0;
}

void TCustomIpClient::Close() {
    if (FConnected) {
        ErrorCheck(::shutdown(Handle(), ShutdownBoth));
        FConnected = false;
        DoDisconnect();
    }
    TIpSocket::Close();
}

void TCustomIpClient::DoDisconnect() {
    if (OnDisconnect) OnDisconnect();
}

// ---- endpoints ----

TUdpSocket::TUdpSocket() : TCustomIpClient(AF_INET, SOCK_DGRAM, IPPROTO_UDP) {}

TTcpClient::TTcpClient() : TCustomIpClient(AF_INET, SOCK_STREAM, 0) {}
