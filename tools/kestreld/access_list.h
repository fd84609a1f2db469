// Who may connect: a list of IPv4 networks in CIDR notation. An empty list
// lets everyone in (the listening address already limits who can reach us).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestreld {

struct Network {
  uint32_t address = 0;  // host order
  uint32_t mask = 0;
};

// "10.1.0.0/16", or a single address ("192.168.1.7" is /32); nullopt when malformed.
std::optional<Network> parseNetwork(const std::string& text);
// A dotted IPv4 address in host order; nullopt when malformed.
std::optional<uint32_t> parseIPv4(const std::string& text);

class AccessList {
 public:
  void add(Network network) { networks_.push_back(network); }
  bool allows(uint32_t address) const;
  // No --allow given: anyone who can reach the listening address.
  bool open() const { return networks_.empty(); }

 private:
  std::vector<Network> networks_;
};

}  // namespace kestreld
