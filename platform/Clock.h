// The calendar.
#pragma once

#include <ctime>

namespace platform {

// The UTC calendar time of a moment; safe on any thread.
std::tm UtcTime(std::time_t moment);

}  // namespace platform
