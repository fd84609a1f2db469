#include <chrono>
#include <ctime>

#include "platform/clock.h"

namespace kestrel::platform {

int64_t calendarSeconds() { return static_cast<int64_t>(std::time(nullptr)); }

bool localTime(int64_t seconds, std::tm* out) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  return localtime_r(&t, out) != nullptr;
}

uint16_t utcMilliseconds() {
  using namespace std::chrono;
  const auto sinceEpoch = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  return static_cast<uint16_t>(sinceEpoch % 1000);
}

}  // namespace kestrel::platform
