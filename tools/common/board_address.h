// A board's address as a user gives it to the tools (a host name or a
// dotted IPv4 address), as the dotted IPv4 address the library dials: the
// library itself takes no names for a board, only for kestreld. Header-only, shared by kestrelctl and kestreld.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "link/scpi_link.h"
#include "platform/socket.h"

namespace kestrel::tools {

// Nullopt when the name has no IPv4 address. Text of digits and dots must
// be a dotted quad: the resolver would take "1.2.3" for 1.2.0.3.
inline std::optional<std::string> boardIPv4(const std::string& host) {
  uint32_t address = 0;
  const bool numeric = host.find_first_not_of("0123456789.") == std::string::npos;
  if (numeric ? !platform::parseIPv4(host.c_str(), &address) : !platform::resolveIPv4(host.c_str(), &address)) {
    return std::nullopt;
  }
  const auto* byte = reinterpret_cast<const unsigned char*>(&address);  // network order
  return std::to_string(byte[0]) + "." + std::to_string(byte[1]) + "." + std::to_string(byte[2]) + "." +
         std::to_string(byte[3]);
}

// What the library dials for a --board the user gave: kestreld's address
// ("kestreld://HOST[:PORT]") as it is when well formed, the library
// resolving its host; else the board's IPv4 address as above.
inline std::optional<std::string> libraryAddress(const std::string& given) {
  RemoteAddress remote;
  if (isRemoteAddress(given)) return parseRemoteAddress(given, &remote) ? std::optional(given) : std::nullopt;
  return boardIPv4(given);
}

}  // namespace kestrel::tools
