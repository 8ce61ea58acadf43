// A support trace of one meter's run: every frame its links exchanged, as a
// pcapng file of raw IPv4 packets with their real addresses, ports and
// moments, which Wireshark, tshark and tcpdump read as they read a capture.
// The admin password never reaches the file.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "net/SocketLink.h"
#include "platform/File.h"
#include "trace/Packet.h"

namespace trace {

// What the file says of itself besides its frames.
struct TraceHeader {
    std::string application;     // the program and its version: "ethernet-loader-cli 1.13"
    std::string interface;       // the program alone: "ethernet-loader-cli"
    std::string firmwareSha256;  // the firmware the run writes
    std::string address;         // the meter, as given
};

// "<folder>/<address>-20261208T131502Z.pcapng": the address with every
// character a file name may not hold on any system replaced by '_'.
std::filesystem::path TracePath(const std::filesystem::path& folder, const std::string& address,
                                std::chrono::system_clock::time_point started);

// What replaces each byte of the boot-mode request's password in a trace.
inline constexpr std::uint8_t kPasswordFiller = '*';

class MeterTrace final : public net::LinkTap {
public:
    // Creates the file, never over an existing one: a name taken (a run of
    // the same meter in the same second) gets "-2", "-3", ... before its
    // extension. Finish says when it could not be created.
    MeterTrace(std::filesystem::path path, const TraceHeader& header);
    // Goes on with the file a run's trace wrote (the window's watch of the
    // meter's return, on links of its own): its frames follow the run's.
    struct Continued {
        explicit Continued() = default;
    };
    MeterTrace(std::filesystem::path path, Continued);
    ~MeterTrace() override;
    MeterTrace(const MeterTrace&) = delete;
    MeterTrace& operator=(const MeterTrace&) = delete;

    void Sent(net::Transport transport, const Endpoint& local, const Endpoint& remote,
              std::span<const std::uint8_t> offered, std::size_t taken) override;
    void Received(net::Transport transport, const Endpoint& local, const Endpoint& remote,
                  std::span<const std::uint8_t> bytes) override;

    // Writes what is left and closes the file; what is told after is lost.
    // Why the trace is missing or incomplete, or empty when it is whole.
    std::string Finish();
    const std::filesystem::path& Path() const { return path_; }

private:
    void Add(net::Transport transport, const Endpoint& from, const Endpoint& to, std::span<const std::uint8_t> bytes,
             bool outgoing);
    void Flush();
    void Failed(const std::string& step, const platform::FileStatus& status);

    std::filesystem::path path_;
    std::mutex mutex_;  // the window's watch may share a meter's trace with its run
    platform::OutputFile file_;
    std::string buffer_;
    std::chrono::steady_clock::time_point lastWrite_ = std::chrono::steady_clock::now();
    std::string problem_;
    bool finished_ = false;
    std::uint16_t nextId_ = 1;
    // Each TCP connection's next sequence numbers, by its (local, remote) ends.
    std::map<std::pair<std::uint64_t, std::uint64_t>, TcpNumbers> connections_;
};

}  // namespace trace
