// DNS-SD announcements through the host's avahi-daemon (the Avahi client
// library over D-Bus): kestreld's services appear in discovery tools while
// it runs and are withdrawn when it stops. When the daemon restarts, they
// are announced again; when a name is taken on the network, Avahi's
// alternative ("name #2") is used.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct AvahiThreadedPoll;
struct AvahiClient;
struct AvahiEntryGroup;

namespace kestreld {

struct ServiceAnnouncement {
  std::string name;  // the instance name users see
  std::string type;  // "_lxi._tcp"
  uint16_t port = 0;
  std::vector<std::string> txt;  // "key=value"
};

class DnsSdAnnouncer {
 public:
  DnsSdAnnouncer() = default;
  ~DnsSdAnnouncer();
  DnsSdAnnouncer(const DnsSdAnnouncer&) = delete;
  DnsSdAnnouncer& operator=(const DnsSdAnnouncer&) = delete;

  // Announces on one interface (by index; 0 on every one) for IPv4, IPv6 or
  // both (0). False, with the reason, when no avahi-daemon answers.
  bool start(std::vector<ServiceAnnouncement> services, int interfaceIndex, int family, std::string& why);
  void stop();  // withdraws them

 private:
  struct Callbacks;  // Avahi's, in the poll's thread
  friend struct Callbacks;
  void publish(AvahiClient* client);
  void takeAlternativeNames();
  void reconnect();

  std::vector<ServiceAnnouncement> services_;
  int interface_ = 0;
  int family_ = 0;
  AvahiThreadedPoll* poll_ = nullptr;
  AvahiClient* client_ = nullptr;
  AvahiEntryGroup* group_ = nullptr;
};

}  // namespace kestreld
