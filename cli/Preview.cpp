#include "cli/Preview.h"

#include "cli/Fleet.h"
#include "net/SocketAddress.h"
#include "net/SocketLink.h"
#include "platform/Wait.h"

namespace cli {
namespace {

using Json = nlohmann::ordered_json;

Json TextOrNull(const std::string& text) { return text.empty() ? Json(nullptr) : Json(text); }

Reach TryModbusPort(const std::string& host, std::uint16_t port, std::chrono::milliseconds limit) {
    Reach reach;
    if (net::HostToDotted(host).empty()) {
        reach.problem = "unknown host";
        return reach;
    }
    const auto started = platform::Waiter::Clock::now();
    net::SocketLink link(net::Transport::Tcp, port);
    link.Open(host);
    platform::Waiter waiter;
    waiter.WaitHandshake(started + limit, link.Handle(), nullptr);
    reach.took = std::chrono::duration_cast<std::chrono::milliseconds>(platform::Waiter::Clock::now() - started);
    switch (link.HandshakeState()) {
        case platform::Handshake::Connected: reach.connected = true; break;
        case platform::Handshake::Failed: reach.problem = "connection refused or network unreachable"; break;
        case platform::Handshake::Pending:
            reach.problem = "no answer within " + std::to_string(limit.count()) + " ms";
            break;
    }
    link.Close();
    return reach;
}

Json MeterJson(const Host& h, const std::function<std::string(const std::string&)>& resolve) {
    Json m;
    m["address"] = h.address;
    m["resolved"] = TextOrNull(resolve(h.address));
    m["entry"] = h.entry;
    m["file"] = TextOrNull(h.file);
    m["line"] = h.line > 0 ? Json(h.line) : Json(nullptr);
    m["group"] = TextOrNull(h.group);
    return m;
}

Json ContinuesJson(const Plan& plan) {
    if (!plan.run.continues) return nullptr;
    const Continued& c = *plan.run.continues;
    return {{"report", c.report},
            {"started", c.started},
            {"firmware_sha256", c.firmwareSha256},
            {"firmware_source", TextOrNull(c.firmwareSource)},
            {"failed_meters", c.failedMeters}};
}

}  // namespace

std::vector<Reach> TryModbusPorts(const std::vector<std::string>& hosts, std::uint16_t port,
                                  std::chrono::milliseconds limit, int jobs) {
    std::vector<Reach> reached(hosts.size());
    ForEachOnThreads(hosts.size(), jobs, [&](size_t i) { reached[i] = TryModbusPort(hosts[i], port, limit); });
    return reached;
}

Json PreviewJson(const Plan& plan, const std::function<std::string(const std::string&)>& resolve,
                 const std::optional<std::vector<Reach>>& reached) {
    Json j;
    j["tool"] = kToolName;
    j["tool_version"] = plan.run.toolVersion;
    j["command"] = CommandName(plan.command);
    j["firmware"] = {{"sha256", TextOrNull(plan.run.firmwareSha256)}, {"source", TextOrNull(plan.run.firmwareSource)}};
    j["continues"] = ContinuesJson(plan);
    const PasswordSource& pw = plan.passwordSource;
    j["password"] = {{"source", TextOrNull(pw.from)}, {"usable", pw.usable ? Json(*pw.usable) : Json(nullptr)}};
    j["report"] = TextOrNull(plan.reportFile);
    j["jobs"] = plan.jobs;
    j["pacing"] = plan.pacing;
    j["connect_timeout_ms"] = plan.connectLimit.count();
    j["back_within_s"] = plan.returnLimit.count();
    j["expected_revision"] =
        plan.expectedRevision.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(plan.expectedRevision);
    Json meters = Json::array();
    for (size_t i = 0; i < plan.hosts.size(); ++i) {
        Json m = MeterJson(plan.hosts[i], resolve);
        if (reached) {
            const Reach& r = (*reached)[i];
            m["connect"] = {{"connected", r.connected}, {"ms", r.took.count()}, {"problem", TextOrNull(r.problem)}};
        }
        meters.push_back(std::move(m));
    }
    j["meters"] = std::move(meters);
    j["refusals"] = plan.refusals;
    return j;
}

}  // namespace cli
