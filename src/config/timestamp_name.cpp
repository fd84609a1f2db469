#include "config/timestamp_name.h"

#include <array>

namespace kestrel {

std::string formatTimestampName(const std::tm& local, uint16_t milliseconds) {
  std::array<char, 64> text{};
  const size_t length = std::strftime(text.data(), text.size(), "Date-%Y-%m-%d-Time-%H-%M-%S", &local);
  return std::string(text.data(), length) + "-" + std::to_string(milliseconds);
}

}  // namespace kestrel
