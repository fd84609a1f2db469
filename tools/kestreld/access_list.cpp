#include "access_list.h"

#include <charconv>

namespace kestreld {

std::optional<uint32_t> parseIPv4(const std::string& text) {
  uint32_t address = 0;
  const char* p = text.data();
  const char* end = text.data() + text.size();
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (p == end || *p != '.') return std::nullopt;
      ++p;
    }
    unsigned value = 0;
    const auto [next, error] = std::from_chars(p, end, value);
    if (error != std::errc() || next == p || next - p > 3 || value > 255) return std::nullopt;
    address = (address << 8) | value;
    p = next;
  }
  if (p != end) return std::nullopt;
  return address;
}

std::optional<Network> parseNetwork(const std::string& text) {
  const size_t slash = text.find('/');
  const auto address = parseIPv4(text.substr(0, slash));
  if (!address) return std::nullopt;
  unsigned bits = 32;
  if (slash != std::string::npos) {
    const std::string length = text.substr(slash + 1);
    const auto [next, error] = std::from_chars(length.data(), length.data() + length.size(), bits);
    if (error != std::errc() || next != length.data() + length.size() || length.empty() || bits > 32) {
      return std::nullopt;
    }
  }
  const uint32_t mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
  return Network{*address & mask, mask};
}

bool AccessList::allows(uint32_t address) const {
  if (networks_.empty()) return true;
  for (const Network& n : networks_) {
    if ((address & n.mask) == n.address) return true;
  }
  return false;
}

}  // namespace kestreld
