// Timestamped names, formatted from fixed clock readings so that tests can pin
// the clock.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace kestrel {

// "Date-YYYY-MM-DD-Time-HH-MM-SS-<milliseconds>".
std::string formatTimestampName(const std::tm& local, uint16_t milliseconds);

}  // namespace kestrel
