// Wall-clock readings on Windows: the C runtime's 64-bit time functions and
// the system time, whose milliseconds the runtime's calendar time lacks.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include "platform/clock.h"

#include <windows.h>

#include <ctime>

namespace kestrel::platform {

int64_t calendarSeconds() { return static_cast<int64_t>(_time64(nullptr)); }

bool localTime(int64_t seconds, std::tm* out) {
  if (out == nullptr) return false;
  const __time64_t t = static_cast<__time64_t>(seconds);
  return _localtime64_s(out, &t) == 0;
}

uint16_t utcMilliseconds() {
  SYSTEMTIME now;
  GetSystemTime(&now);
  return static_cast<uint16_t>(now.wMilliseconds);
}

}  // namespace kestrel::platform
