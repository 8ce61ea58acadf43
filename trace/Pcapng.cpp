#include "trace/Pcapng.h"

namespace trace {
namespace {

constexpr std::uint32_t kSectionHeader = 0x0A0D0D0A, kInterface = 1, kEnhancedPacket = 6;
constexpr std::uint16_t kComment = 1, kUserApplication = 4, kIfName = 2, kIfDescription = 3;

class Block {
public:
    explicit Block(std::uint32_t type) { Put32(type), Put32(0); }
    void Put16(std::uint32_t v) { Put(v, 2); }
    void Put32(std::uint32_t v) { Put(v, 4); }
    void Bytes(std::span<const std::uint8_t> bytes) {
        out_.insert(out_.end(), bytes.begin(), bytes.end());
        out_.resize((out_.size() + 3) / 4 * 4);
    }
    void Option(std::uint16_t code, const std::string& text) {
        if (text.empty()) return;
        Put16(code);
        Put16(static_cast<std::uint32_t>(text.size()));
        Bytes({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    }
    // Ends the options (opt_endofopt) when there were any.
    std::vector<std::uint8_t> Done(bool options) {
        if (options) Put32(0);
        const auto total = static_cast<std::uint32_t>(out_.size() + 4);
        Put32(total);
        for (int i = 0; i < 4; ++i) out_[4 + i] = static_cast<std::uint8_t>(total >> (8 * i));
        return std::move(out_);
    }

private:
    void Put(std::uint32_t v, int size) {
        for (int i = 0; i < size; ++i) out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    std::vector<std::uint8_t> out_;
};

}  // namespace

std::vector<std::uint8_t> SectionHeader(const std::string& application, const std::string& comment) {
    Block b(kSectionHeader);
    b.Put32(0x1A2B3C4D);  // byte-order magic
    b.Put16(1), b.Put16(0);
    b.Put32(0xFFFFFFFF), b.Put32(0xFFFFFFFF);  // section length not known
    b.Option(kUserApplication, application);
    b.Option(kComment, comment);
    return b.Done(!application.empty() || !comment.empty());
}

std::vector<std::uint8_t> InterfaceDescription(const std::string& name, const std::string& description,
                                               const std::string& comment) {
    Block b(kInterface);
    b.Put16(kLinkTypeRaw), b.Put16(0);
    b.Put32(0);  // no snapshot limit
    b.Option(kIfName, name);
    b.Option(kIfDescription, description);
    b.Option(kComment, comment);
    return b.Done(!name.empty() || !description.empty() || !comment.empty());
}

std::vector<std::uint8_t> EnhancedPacket(std::uint64_t micros, std::span<const std::uint8_t> packet) {
    Block b(kEnhancedPacket);
    b.Put32(0);
    b.Put32(static_cast<std::uint32_t>(micros >> 32)), b.Put32(static_cast<std::uint32_t>(micros));
    b.Put32(static_cast<std::uint32_t>(packet.size())), b.Put32(static_cast<std::uint32_t>(packet.size()));
    b.Bytes(packet);
    return b.Done(false);
}

}  // namespace trace
