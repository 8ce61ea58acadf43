#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// Unknown names would otherwise be sent to the DNS server configured off
// this machine; with no attempts allowed the resolver gives up without
// sending, while /etc/hosts still answers for "localhost".
class NoResolverTraffic : public ::testing::Environment {
    void SetUp() override { setenv("RES_OPTIONS", "attempts:0", 1); }
};

[[maybe_unused]] const auto* const kNoResolverTraffic = ::testing::AddGlobalTestEnvironment(new NoResolverTraffic);

}  // namespace
