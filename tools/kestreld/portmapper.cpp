#include "portmapper.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <rpc/rpc.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

namespace kestreld::vxi11 {

namespace {

constexpr int kProbeMs = 1000;

using NetConfig = std::unique_ptr<netconfig, decltype(&freenetconfigent)>;

NetConfig transportFor(const netbuf& address) {
  const auto* socketAddress = static_cast<const sockaddr*>(address.buf);
  const char* netid = socketAddress->sa_family == AF_INET6 ? "tcp6" : "tcp";
  return NetConfig(getnetconfigent(netid), &freenetconfigent);
}

// A wildcard address is reached on this host's loopback.
sockaddr_storage reachable(const netbuf& address) {
  sockaddr_storage target{};
  std::memcpy(&target, address.buf, std::min<size_t>(address.len, sizeof target));
  if (target.ss_family == AF_INET) {
    auto& v4 = reinterpret_cast<sockaddr_in&>(target);
    if (v4.sin_addr.s_addr == htonl(INADDR_ANY)) v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  } else if (target.ss_family == AF_INET6) {
    auto& v6 = reinterpret_cast<sockaddr_in6&>(target);
    if (IN6_IS_ADDR_UNSPECIFIED(&v6.sin6_addr)) v6.sin6_addr = in6addr_loopback;
  }
  return target;
}

std::string describe(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = "?";
  uint16_t port = 0;
  if (address.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
    port = ntohs(v4.sin_port);
  } else if (address.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
    port = ntohs(v6.sin6_port);
  }
  return std::string(text) + " port " + std::to_string(port);
}

// Whether a server still accepts connections there, within a second.
bool accepts(const sockaddr_storage& address) {
  const int fd = socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const socklen_t length = address.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
  bool connected = connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0;
  if (!connected && errno == EINPROGRESS) {
    pollfd wait{fd, POLLOUT, 0};
    int error = 0;
    socklen_t size = sizeof error;
    connected = poll(&wait, 1, kProbeMs) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
  }
  close(fd);
  return connected;
}

struct Lookup {
  bool answered = false;
  std::optional<sockaddr_storage> registered;
};

// The portmapper's whole map, searched here: asking for one program leaks
// libtirpc's answer when the program is not there.
Lookup lookUp(uint32_t program, uint32_t version, netconfig& transport) {
  Lookup result;
  rpcblist* maps = rpcb_getmaps(&transport, "localhost");
  result.answered = maps != nullptr;  // a portmapper always lists itself
  for (const rpcblist* map = maps; map != nullptr; map = map->rpcb_next) {
    const rpcb& entry = map->rpcb_map;
    if (entry.r_prog != program || entry.r_vers != version || entry.r_netid == nullptr ||
        std::strcmp(entry.r_netid, transport.nc_netid) != 0) {
      continue;
    }
    if (netbuf* address = uaddr2taddr(&transport, entry.r_addr)) {
      result.registered = reachable(*address);
      std::free(address->buf);
      std::free(address);
    }
    break;
  }
  if (maps != nullptr) xdr_free(reinterpret_cast<xdrproc_t>(xdr_rpcblist_ptr), &maps);
  return result;
}

}  // namespace

Claim claimProgram(uint32_t program, uint32_t version, const netbuf& address, std::string& holder) {
  const NetConfig transport = transportFor(address);
  if (!transport) return Claim::NoPortmapper;
  const Lookup lookup = lookUp(program, version, *transport);
  if (!lookup.answered) return Claim::NoPortmapper;
  if (lookup.registered) {
    holder = describe(*lookup.registered);
    if (accepts(*lookup.registered)) return Claim::HeldElsewhere;
    rpcb_unset(program, version, transport.get());  // its server is gone
  }
  return rpcb_set(program, version, transport.get(), &address) ? Claim::Claimed : Claim::Refused;
}

void releaseProgram(uint32_t program, uint32_t version, const netbuf& address) {
  const NetConfig transport = transportFor(address);
  if (transport) rpcb_unset(program, version, transport.get());
}

}  // namespace kestreld::vxi11
