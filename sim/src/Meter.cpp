// Sockets and timed sends around MeterCore, served by a ServeLoop: a meter's
// own, or one shared by the meters of a MeterFleet.
#include <arpa/inet.h>
#include <fcntl.h>
#include <modbus.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "sim/src/MeterCore.h"
#include "sim/src/ServeLoop.h"
#include "sim/src/SlowLink.h"
#include "sim/Meter.h"

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

// A client that pauses longer inside a request loses its connection.
constexpr auto kModbusStall = std::chrono::milliseconds(200);
constexpr size_t kMaxModbusConnections = 8;

[[noreturn]] void ThrowErrno(const std::string& what) { throw std::system_error(errno, std::generic_category(), what); }

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd& operator=(Fd&& o) noexcept {
        Reset(std::exchange(o.fd_, -1));
        return *this;
    }
    ~Fd() { Reset(); }
    int get() const { return fd_; }
    void Reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

sockaddr_in MakeAddress(const std::string& address, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    if (port < 0 || port > 65535) throw std::invalid_argument("port out of range: " + std::to_string(port));
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1)
        throw std::invalid_argument("not an IPv4 address: " + address);
    return a;
}

uint16_t LocalPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) ThrowErrno("getsockname");
    return ntohs(a.sin_port);
}

// `shared`: the listening socket of the same port may be bound beside it.
Fd BoundSocket(int type, const sockaddr_in& at, const std::string& what, bool shared = false) {
    Fd fd(::socket(AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0) ThrowErrno("socket");
    const int on = 1;
    if (shared) ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0)
        ThrowErrno("bind " + what + " " + std::to_string(ntohs(at.sin_port)));
    return fd;
}

struct ModbusCtxDeleter {
    void operator()(modbus_t* ctx) const {
        modbus_close(ctx);
        modbus_free(ctx);
    }
};
using ModbusCtx = std::unique_ptr<modbus_t, ModbusCtxDeleter>;

}  // namespace

class Meter::Impl {
public:
    // Serves on a loop of its own when loop is null.
    Impl(MeterOptions options, ServeLoop* loop);
    ~Impl();

    std::string name;
    uint16_t modbusPort = 0;
    uint16_t bootPort = 0;

    mutable std::mutex mu;
    mutable std::condition_variable changed;
    MeterCore core;             // guarded by mu
    std::vector<Event> events;  // guarded by mu
    std::atomic<int> answersPending{0};

private:
    struct Connection {
        uint64_t id;
        Fd fd;
        Bytes pending;          // the start of a request not complete yet
        uint64_t arrivals = 0;  // reads that brought bytes
    };

    void At(int delayMs, std::function<void()> run);
    // shaped: the payload's size when it crosses the gateway, nothing when it bypasses it.
    void Dispatch(const Send& send, std::optional<size_t> shaped, std::function<void()> deliver);
    void Log(Event& event);
    void OnBootReadable();
    void OnDatagram(ByteView datagram, const sockaddr_in& peer);
    void OnForeignReadable();
    void OnAccept();
    void OnConnectionReadable(uint64_t id);
    void OnModbusRequest(uint64_t id, ByteView adu, bool* close);
    void DropConnection(uint64_t id);
    void SendTcp(uint64_t id, const Bytes& bytes);
    void EnterBootloader();
    void AfterRestart(const Reaction& r);
    bool OpenModbus();
    void CloseModbus();

    MeterOptions options_;
    Clock::time_point start_ = Clock::now();
    std::unique_ptr<ServeLoop> ownLoop_;
    ServeLoop& loop_;
    Fd udp_, foreign_;
    // The Modbus port is held by a socket that never listens, so that it stays
    // the meter's while no server runs on it: a connection is then refused,
    // as by a meter whose application is not running. The server listens
    // beside it on the same port.
    Fd tcpHold_, listener_;
    std::vector<Connection> connections_;
    uint64_t nextConnectionId_ = 1;
    std::vector<uint8_t> rx_ = std::vector<uint8_t>(65536);
    SlowLink link_;  // both servers' answers share the one way back
};

Meter::Impl::Impl(MeterOptions options, ServeLoop* loop)
    : name(options.name.empty() ? options.address : options.name),
      core(options),
      options_(std::move(options)),
      ownLoop_(loop ? nullptr : std::make_unique<ServeLoop>()),
      loop_(loop ? *loop : *ownLoop_) {
    const sockaddr_in bootAt = MakeAddress(options_.address, options_.bootPort);
    const sockaddr_in modbusAt = MakeAddress(options_.address, options_.modbusPort);
    udp_ = BoundSocket(SOCK_DGRAM, bootAt, "bootloader port");
    bootPort = LocalPort(udp_.get());
    foreign_ = BoundSocket(SOCK_DGRAM, MakeAddress(options_.address, 0), "foreign port");
    tcpHold_ = BoundSocket(SOCK_STREAM, modbusAt, "Modbus port", /*shared=*/true);
    modbusPort = LocalPort(tcpHold_.get());
    loop_.Watch(udp_.get(), [this] { OnBootReadable(); });
    loop_.Watch(foreign_.get(), [this] { OnForeignReadable(); });
    if (core.State() == Phase::Application && !OpenModbus())
        ThrowErrno("listen Modbus port " + std::to_string(modbusPort));
    if (ownLoop_) ownLoop_->Start();
}

// A shared loop is stopped by its fleet before any of its meters goes.
Meter::Impl::~Impl() {
    if (ownLoop_) ownLoop_->Stop();
}

void Meter::Impl::At(int delayMs, std::function<void()> run) {
    loop_.At(Clock::now() + std::chrono::milliseconds(delayMs), std::move(run));
}

// The answer leaves the meter after its delay, crosses the slow link when
// there is one, then, when `shaped`, waits its turn on the gateway's way up.
void Meter::Impl::Dispatch(const Send& send, std::optional<size_t> shaped, std::function<void()> deliver) {
    ++answersPending;
    std::function<void()> leave = [this, deliver = std::move(deliver)] {
        deliver();
        --answersPending;
    };
    if (shaped && options_.gateway) {
        leave = [this, size = *shaped, deliver = std::move(leave)] {
            if (const auto departure = options_.gateway->Cross(Way::Up, Clock::now(), size))
                loop_.At(*departure, deliver);
            else
                --answersPending;  // the buffer was full: lost on the way
        };
    }
    if (send.linkMs >= 0) {
        leave = [this, travel = std::chrono::milliseconds(send.linkMs), deliver = std::move(leave)] {
            loop_.At(link_.Arrival(Clock::now(), travel), deliver);
        };
    }
    if (send.delayMs <= 0)
        leave();
    else
        At(send.delayMs, std::move(leave));
}

void Meter::Impl::Log(Event& event) {
    {
        std::lock_guard lock(mu);
        event.t = std::chrono::duration<double>(Clock::now() - start_).count();
        event.meter = name;
        events.push_back(event);
    }
    changed.notify_all();
    if (options_.onEvent) options_.onEvent(event);
}

void Meter::Impl::OnForeignReadable() {
    // Answers leave from here on demand; whatever arrives is not for the meter.
    while (::recv(foreign_.get(), rx_.data(), rx_.size(), MSG_DONTWAIT) >= 0) {
    }
}

void Meter::Impl::OnBootReadable() {
    // A bounded batch, so timed answers are not starved by a flood.
    for (int batch = 0; batch < 64; ++batch) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        const ssize_t got = ::recvfrom(udp_.get(), rx_.data(), rx_.size(), MSG_DONTWAIT | MSG_TRUNC,
                                       reinterpret_cast<sockaddr*>(&peer), &len);
        if (got < 0) return;
        const size_t size = std::min(static_cast<size_t>(got), rx_.size());
        if (!options_.gateway) {
            OnDatagram(ByteView(rx_.data(), size), peer);
            continue;
        }
        // Taken from the kernel at once and held here until the gateway has
        // carried it, so the meter sees it no sooner and the socket's own
        // buffer never decides what is lost.
        const auto departure = options_.gateway->Cross(Way::Down, Clock::now(), static_cast<size_t>(got));
        if (!departure) continue;  // the gateway's buffer was full
        loop_.At(*departure, [this, peer, datagram = Bytes(rx_.begin(), rx_.begin() + static_cast<long>(size))] {
            OnDatagram(datagram, peer);
        });
    }
}

void Meter::Impl::OnDatagram(ByteView datagram, const sockaddr_in& peer) {
    Reaction r;
    {
        std::lock_guard lock(mu);
        r = core.OnDatagram(datagram);
    }
    AfterRestart(r);
    Log(r.event);
    for (auto& s : r.sends) {
        const int fd = s.foreignPort ? foreign_.get() : udp_.get();
        Bytes bytes = std::move(s.bytes);
        const size_t size = bytes.size();
        Dispatch(s, size, [fd, peer, bytes = std::move(bytes)] {
            ::sendto(fd, bytes.data(), bytes.size(), MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&peer),
                     sizeof peer);
        });
    }
}

// The application's Modbus server, when it has one; false when the port
// cannot be listened on (errno says why).
bool Meter::Impl::OpenModbus() {
    if (!options_.modbusListener || listener_.get() >= 0) return true;
    ModbusCtx ctx(modbus_new_tcp(options_.address.c_str(), modbusPort));
    if (!ctx) return false;
    const int fd = modbus_tcp_listen(ctx.get(), 4);
    if (fd < 0) return false;
    listener_.Reset(fd);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    loop_.Watch(fd, [this] { OnAccept(); });
    return true;
}

// Connections already taken stay as they are; only new ones are refused.
void Meter::Impl::CloseModbus() {
    if (listener_.get() < 0) return;
    loop_.Unwatch(listener_.get());
    listener_.Reset();
}

void Meter::Impl::EnterBootloader() {
    {
        std::lock_guard lock(mu);
        core.EnterBootloader();
    }
    CloseModbus();
}

// A "RESET" or a reboot: the Modbus server is gone until the boot time is
// over, and then back when the application is.
void Meter::Impl::AfterRestart(const Reaction& r) {
    if (r.bootEndsInMs < 0) return;
    CloseModbus();
    At(r.bootEndsInMs, [this, restart = r.restart] {
        std::optional<Event> boot;
        bool back = false;
        {
            std::lock_guard lock(mu);
            boot = core.BootEnds(restart);
            back = core.State() == Phase::Application;
        }
        if (!boot) return;
        // Open before it is logged: whoever waits for the event may connect at once.
        if (back && !OpenModbus()) boot->fault = "listen:" + std::generic_category().message(errno);
        Log(*boot);
    });
}

void Meter::Impl::OnAccept() {
    Fd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (fd.get() < 0 || connections_.size() >= kMaxModbusConnections) return;
    const uint64_t id = nextConnectionId_++;
    loop_.Watch(fd.get(), [this, id] { OnConnectionReadable(id); });
    connections_.push_back({id, std::move(fd), {}, 0});
}

void Meter::Impl::DropConnection(uint64_t id) {
    const auto it =
        std::find_if(connections_.begin(), connections_.end(), [id](const Connection& c) { return c.id == id; });
    if (it == connections_.end()) return;
    loop_.Unwatch(it->fd.get());
    connections_.erase(it);
}

// Requests are framed here, without waiting: a client that sends half a
// request holds up no other meter of the thread.
void Meter::Impl::OnConnectionReadable(uint64_t id) {
    const auto it =
        std::find_if(connections_.begin(), connections_.end(), [id](const Connection& c) { return c.id == id; });
    if (it == connections_.end()) return;
    uint8_t chunk[kModbusMaxAdu];
    const ssize_t got = ::recv(it->fd.get(), chunk, sizeof chunk, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (got <= 0) return DropConnection(id);  // closed or broken
    it->pending.insert(it->pending.end(), chunk, chunk + got);
    const uint64_t arrivals = ++it->arrivals;
    for (;;) {
        const size_t length = ModbusRequestLength(it->pending);
        if (length == 0) return DropConnection(id);  // oversized: the stream cannot be trusted
        if (it->pending.size() < length) break;
        const Bytes adu(it->pending.begin(), it->pending.begin() + static_cast<long>(length));
        it->pending.erase(it->pending.begin(), it->pending.begin() + static_cast<long>(length));
        bool close = false;
        OnModbusRequest(id, adu, &close);
        if (close) return DropConnection(id);
    }
    if (it->pending.empty()) return;
    At(static_cast<int>(kModbusStall.count()), [this, id, arrivals] {
        const auto c =
            std::find_if(connections_.begin(), connections_.end(), [id](const Connection& c) { return c.id == id; });
        if (c != connections_.end() && c->arrivals == arrivals && !c->pending.empty()) DropConnection(id);
    });
}

void Meter::Impl::OnModbusRequest(uint64_t id, ByteView adu, bool* close) {
    Reaction r;
    {
        std::lock_guard lock(mu);
        r = core.OnModbusRequest(adu);
    }
    // Without delay the meter is in its bootloader before the answer leaves,
    // so a client may go on at once.
    if (r.enterBootloaderInMs == 0) EnterBootloader();
    Log(r.event);
    *close = r.closeConnection;
    if (r.closeConnection) return;
    // Modbus bypasses the gateway: a TCP segment lost there would need the
    // kernel's retransmission, which nothing here could stand in for.
    for (auto& s : r.sends) Dispatch(s, std::nullopt, [this, id, bytes = std::move(s.bytes)] { SendTcp(id, bytes); });
    if (r.enterBootloaderInMs > 0) At(r.enterBootloaderInMs, [this] { EnterBootloader(); });
}

void Meter::Impl::SendTcp(uint64_t id, const Bytes& bytes) {
    for (auto& c : connections_)
        if (c.id == id) ::send(c.fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

Meter::Meter(MeterOptions options) : impl_(std::make_unique<Impl>(std::move(options), nullptr)) {}
Meter::Meter(MeterOptions options, ServeLoop& loop) : impl_(std::make_unique<Impl>(std::move(options), &loop)) {}
Meter::~Meter() = default;

const std::string& Meter::Name() const { return impl_->name; }
uint16_t Meter::ModbusPort() const { return impl_->modbusPort; }
uint16_t Meter::BootPort() const { return impl_->bootPort; }

std::vector<Event> Meter::Events() const {
    std::lock_guard lock(impl_->mu);
    return impl_->events;
}

bool Meter::WaitFor(const std::function<bool(const Event&)>& pred, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(impl_->mu);
    size_t checked = 0;
    return impl_->changed.wait_for(lock, timeout, [&] {
        const auto& ev = impl_->events;
        const bool found = std::any_of(ev.begin() + static_cast<long>(checked), ev.end(), pred);
        checked = ev.size();
        return found;
    });
}

std::vector<uint8_t> Meter::Flash() const {
    std::lock_guard lock(impl_->mu);
    return impl_->core.Flash().Bytes();
}

bool Meter::InBootloader() const {
    std::lock_guard lock(impl_->mu);
    return impl_->core.InBootloader();
}

bool Meter::AnswersPending() const { return impl_->answersPending > 0; }

int Meter::ProgramFaults() const {
    std::lock_guard lock(impl_->mu);
    return impl_->core.ProgramFaults();
}

bool Meter::FlashMatches(const uint8_t* image) const { return FirstMismatch(image) < 0; }

long Meter::FirstMismatch(const uint8_t* image) const {
    std::lock_guard lock(impl_->mu);
    return impl_->core.Flash().FirstMismatch(image);
}

MeterFleet::MeterFleet(std::vector<MeterOptions> meters, size_t metersPerThread) {
    metersPerThread = std::max<size_t>(metersPerThread, 1);
    const size_t threads = (meters.size() + metersPerThread - 1) / metersPerThread;
    // Spread evenly, so that no thread serves many more meters than another.
    for (size_t t = 0; t < threads; ++t) loops_.push_back(std::make_unique<ServeLoop>());
    try {
        for (size_t i = 0; i < meters.size(); ++i)
            meters_.push_back(std::unique_ptr<Meter>(new Meter(std::move(meters[i]), *loops_[i % threads])));
    } catch (...) {
        meters_.clear();  // nothing served yet
        throw;
    }
    for (auto& loop : loops_) loop->Start();
}

MeterFleet::~MeterFleet() {
    for (auto& loop : loops_) loop->Stop();
    meters_.clear();
}

}  // namespace sim
