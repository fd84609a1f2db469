// Wall-clock readings for timestamped names.
#pragma once

#include <cstdint>
#include <ctime>

namespace kestrel::platform {

// Seconds since the epoch.
int64_t calendarSeconds();
// The local broken-down time of a calendar time; false when it cannot be had.
bool localTime(int64_t seconds, std::tm* out);
// The millisecond part of the current UTC time.
uint16_t utcMilliseconds();

}  // namespace kestrel::platform
