#include "trace/MeterTrace.h"

#include <cstdio>
#include <system_error>

#include "platform/Clock.h"
#include "protocol/Frames.h"
#include "trace/Pcapng.h"

namespace trace {
namespace {

// Written once this much has gathered, or once the oldest unwritten frame is
// this old: a few writes of tens of KiB for a whole update, and a run that is
// killed or hangs still leaves its trace up to its last seconds.
constexpr std::size_t kChunk = 256 * 1024;
constexpr auto kMaxAge = std::chrono::seconds(2);

std::uint64_t Key(const Endpoint& e) { return (std::uint64_t{e.address} << 16) | e.port; }

// The boot-mode request with its password's bytes replaced; other frames as they are.
std::vector<std::uint8_t> WithoutPassword(std::span<const std::uint8_t> offered) {
    std::vector<std::uint8_t> frame(offered.begin(), offered.end());
    if (const auto request = protocol::BootModeRequest::Decode(offered)) {
        const auto at = frame.begin() + static_cast<std::ptrdiff_t>(protocol::BootModeRequest::kPasswordOffset);
        std::fill(at, at + static_cast<std::ptrdiff_t>(request->password.size()), kPasswordFiller);
    }
    return frame;
}

std::uint64_t MicrosNow() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
}

void Append(std::string& to, const std::vector<std::uint8_t>& bytes) {
    to.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

}  // namespace

std::filesystem::path TracePath(const std::filesystem::path& folder, const std::string& address,
                                std::chrono::system_clock::time_point started) {
    std::string safe = address;
    for (char& c : safe) {
        const bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
                           c == '-' || c == '_';
        if (!plain) c = '_';
    }
    const std::tm utc = platform::UtcTime(std::chrono::system_clock::to_time_t(started));
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d%02d%02dT%02d%02d%02dZ", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                  utc.tm_hour, utc.tm_min, utc.tm_sec);
    return folder / (safe + "-" + stamp + ".pcapng");
}

MeterTrace::MeterTrace(std::filesystem::path path, const TraceHeader& header) : path_(std::move(path)) {
    const std::filesystem::path wanted = path_;
    platform::FileStatus status = file_.Open(path_, platform::OutputFile::Mode::CreateNew);
    for (int n = 2; status.fault == platform::FileFault::Exists && n < 100; ++n) {
        path_ = wanted.parent_path() / (wanted.stem().string() + "-" + std::to_string(n) + wanted.extension().string());
        status = file_.Open(path_, platform::OutputFile::Mode::CreateNew);
    }
    if (!status.Ok()) {
        Failed("cannot be created", status);
        return;
    }
    const std::string comment = "Meter " + header.address + ", firmware SHA-256 " + header.firmwareSha256;
    Append(buffer_, SectionHeader(header.application, comment));
    Append(buffer_, InterfaceDescription(header.interface,
                                         header.interface + ": the meter's Modbus TCP and bootloader links", comment));
}

MeterTrace::MeterTrace(std::filesystem::path path, Continued) : path_(std::move(path)) {
    if (const platform::FileStatus status = file_.Open(path_, platform::OutputFile::Mode::Append); !status.Ok())
        Failed("cannot be opened", status);
}

MeterTrace::~MeterTrace() { Finish(); }

void MeterTrace::Sent(net::Transport transport, const Endpoint& local, const Endpoint& remote,
                      std::span<const std::uint8_t> offered, std::size_t taken) {
    const std::vector<std::uint8_t> frame = WithoutPassword(offered);
    Add(transport, local, remote, std::span(frame).first(std::min(taken, frame.size())), true);
}

void MeterTrace::Received(net::Transport transport, const Endpoint& local, const Endpoint& remote,
                          std::span<const std::uint8_t> bytes) {
    Add(transport, remote, local, bytes, false);
}

void MeterTrace::Add(net::Transport transport, const Endpoint& from, const Endpoint& to,
                     std::span<const std::uint8_t> bytes, bool outgoing) {
    const std::uint64_t micros = MicrosNow();
    std::lock_guard lock(mutex_);
    if (finished_ || !file_.IsOpen()) return;
    const std::uint16_t id = nextId_++;
    std::vector<std::uint8_t> packet;
    if (transport == net::Transport::Udp) {
        packet = UdpPacket(from, to, bytes, id);
    } else {
        // Both directions of a connection share its numbers: ours, then the meter's.
        TcpNumbers& ours = connections_[outgoing ? std::pair(Key(from), Key(to)) : std::pair(Key(to), Key(from))];
        const TcpNumbers numbers = outgoing ? ours : TcpNumbers{ours.ack, ours.seq};
        packet = TcpPacket(from, to, numbers, bytes, id);
        (outgoing ? ours.seq : ours.ack) += static_cast<std::uint32_t>(bytes.size());
    }
    Append(buffer_, EnhancedPacket(micros, packet));
    const auto now = std::chrono::steady_clock::now();
    if (buffer_.size() >= kChunk || now - lastWrite_ >= kMaxAge) {
        Flush();
        lastWrite_ = now;
    }
}

void MeterTrace::Flush() {
    if (const auto status = file_.Write(buffer_); !status.Ok()) Failed("cannot be written", status);
    buffer_.clear();
}

std::string MeterTrace::Finish() {
    std::lock_guard lock(mutex_);
    if (!finished_ && file_.IsOpen()) {
        Flush();
        if (const auto status = file_.Close(); !status.Ok() && problem_.empty()) Failed("cannot be written", status);
    }
    finished_ = true;
    return problem_;
}

void MeterTrace::Failed(const std::string& step, const platform::FileStatus& status) {
    if (!problem_.empty()) return;
    problem_ = "support trace " + path_.string() + " " + step + ": " +
               std::system_category().message(static_cast<int>(status.code));
    file_.Close();
}

}  // namespace trace
