#include "platform/Clock.h"

namespace platform {

std::tm UtcTime(std::time_t moment) {
    std::tm utc{};
    ::gmtime_r(&moment, &utc);
    return utc;
}

}  // namespace platform
