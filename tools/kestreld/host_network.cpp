#include "host_network.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace kestreld {

namespace {

using Addresses = std::unique_ptr<ifaddrs, decltype(&freeifaddrs)>;

Addresses interfaceAddresses() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) list = nullptr;
  return Addresses(list, &freeifaddrs);
}

std::string dotted(const sockaddr* address) {
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
  return text;
}

std::string hardwareAddress(const ifaddrs* list, const std::string& interfaceName) {
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_PACKET || interfaceName != entry->ifa_name) {
      continue;
    }
    const auto* link = reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr);
    if (link->sll_halen != 6) break;
    char text[18];
    std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", link->sll_addr[0], link->sll_addr[1],
                  link->sll_addr[2], link->sll_addr[3], link->sll_addr[4], link->sll_addr[5]);
    return text;
  }
  return "00-00-00-00-00-00";
}

// 0: the interface has this address; 1: its subnet holds it; -1: neither.
int closeness(const ifaddrs& entry, const in_addr& wanted) {
  if (entry.ifa_addr == nullptr || entry.ifa_addr->sa_family != AF_INET || entry.ifa_netmask == nullptr) return -1;
  const uint32_t own = reinterpret_cast<const sockaddr_in*>(entry.ifa_addr)->sin_addr.s_addr;
  const uint32_t mask = reinterpret_cast<const sockaddr_in*>(entry.ifa_netmask)->sin_addr.s_addr;
  if (own == wanted.s_addr) return 0;
  return (own & mask) == (wanted.s_addr & mask) ? 1 : -1;
}

std::optional<InterfaceFacts> ipv4InterfaceFor(const std::string& address, const in_addr& wanted) {
  const Addresses list = interfaceAddresses();
  const ifaddrs* best = nullptr;
  int bestCloseness = -1;
  for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
    const int c = closeness(*entry, wanted);
    if (c >= 0 && (best == nullptr || c < bestCloseness)) {
      best = entry;
      bestCloseness = c;
    }
  }
  if (best == nullptr) return std::nullopt;
  InterfaceFacts facts;
  facts.name = best->ifa_name;
  facts.index = static_cast<int>(if_nametoindex(best->ifa_name));
  facts.address = address;
  facts.subnetMask = dotted(best->ifa_netmask);
  facts.macAddress = hardwareAddress(list.get(), facts.name);
  return facts;
}

std::optional<InterfaceFacts> ipv6InterfaceFor(const std::string& address, const in6_addr& wanted) {
  const Addresses list = interfaceAddresses();
  for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET6) continue;
    const auto& own = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr)->sin6_addr;
    if (std::memcmp(&own, &wanted, sizeof own) != 0) continue;
    InterfaceFacts facts;
    facts.name = entry->ifa_name;
    facts.index = static_cast<int>(if_nametoindex(entry->ifa_name));
    facts.address = address;
    facts.ipv6 = true;
    facts.macAddress = hardwareAddress(list.get(), facts.name);
    return facts;
  }
  return std::nullopt;
}

}  // namespace

std::optional<InterfaceFacts> interfaceFor(const std::string& address) {
  in_addr v4{};
  if (inet_pton(AF_INET, address.c_str(), &v4) == 1) {
    if (v4.s_addr == htonl(INADDR_ANY)) return std::nullopt;
    return ipv4InterfaceFor(address, v4);
  }
  in6_addr v6{};
  if (inet_pton(AF_INET6, address.c_str(), &v6) == 1 && !IN6_IS_ADDR_UNSPECIFIED(&v6)) {
    return ipv6InterfaceFor(address, v6);
  }
  return std::nullopt;
}

std::string hostName() {
  char name[256] = "";
  if (gethostname(name, sizeof name - 1) != 0) return "localhost";
  return name;
}

}  // namespace kestreld
