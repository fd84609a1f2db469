// What this host's network says about one of its addresses: the interface
// that carries it, its mask and hardware address. Read for the LXI
// identification and to announce services where the daemon listens.
#pragma once

#include <optional>
#include <string>

namespace kestreld {

struct InterfaceFacts {
  std::string name;     // "eth0", "lo"
  int index = 0;        // for interface-bound announcements
  std::string address;  // as given
  bool ipv6 = false;
  std::string subnetMask;  // dotted, "" for IPv6
  std::string macAddress;  // "00-00-00-00-00-00" when the interface has none
};

// The interface whose network holds `address`: the one that has it, else
// the one whose subnet holds it (127.0.0.9 is on lo). Nothing for a wildcard
// or an address of no interface here.
std::optional<InterfaceFacts> interfaceFor(const std::string& address);

std::string hostName();

}  // namespace kestreld
