#include "dns_sd.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>

#include <cstdio>

namespace kestreld {

struct DnsSdAnnouncer::Callbacks {
  static void client(AvahiClient* client, AvahiClientState state, void* data) {
    auto* self = static_cast<DnsSdAnnouncer*>(data);
    switch (state) {
      case AVAHI_CLIENT_S_RUNNING:
        self->publish(client);
        break;
      case AVAHI_CLIENT_S_COLLISION:
      case AVAHI_CLIENT_S_REGISTERING:
        // The host's own name is being settled: announce again once it is.
        if (self->group_ != nullptr) avahi_entry_group_reset(self->group_);
        break;
      case AVAHI_CLIENT_FAILURE:
        if (avahi_client_errno(client) == AVAHI_ERR_DISCONNECTED) self->reconnect();
        break;
      case AVAHI_CLIENT_CONNECTING:
        break;
    }
  }

  static void group(AvahiEntryGroup* group, AvahiEntryGroupState state, void* data) {
    auto* self = static_cast<DnsSdAnnouncer*>(data);
    if (state == AVAHI_ENTRY_GROUP_COLLISION) {
      self->takeAlternativeNames();
      self->publish(avahi_entry_group_get_client(group));
    } else if (state == AVAHI_ENTRY_GROUP_FAILURE) {
      std::fprintf(stderr, "kestreld: DNS-SD: announcing failed: %s\n",
                   avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group))));
    }
  }
};

DnsSdAnnouncer::~DnsSdAnnouncer() { stop(); }

bool DnsSdAnnouncer::start(std::vector<ServiceAnnouncement> services, int interfaceIndex, int family,
                           std::string& why) {
  services_ = std::move(services);
  interface_ = interfaceIndex > 0 ? interfaceIndex : AVAHI_IF_UNSPEC;
  family_ = family;
  poll_ = avahi_threaded_poll_new();
  if (poll_ == nullptr) {
    why = "Avahi could not start its thread";
    return false;
  }
  int error = 0;
  // Without AVAHI_CLIENT_NO_FAIL: a host without avahi-daemon is told at once.
  client_ = avahi_client_new(avahi_threaded_poll_get(poll_), static_cast<AvahiClientFlags>(0), Callbacks::client, this,
                             &error);
  if (client_ == nullptr) {
    why = std::string("no avahi-daemon answers (") + avahi_strerror(error) + ")";
    stop();
    return false;
  }
  avahi_threaded_poll_start(poll_);
  return true;
}

void DnsSdAnnouncer::stop() {
  if (poll_ != nullptr) avahi_threaded_poll_stop(poll_);
  // Freeing the client frees its group: the daemon withdraws the services.
  if (client_ != nullptr) avahi_client_free(client_);
  client_ = nullptr;
  group_ = nullptr;
  if (poll_ != nullptr) avahi_threaded_poll_free(poll_);
  poll_ = nullptr;
}

void DnsSdAnnouncer::publish(AvahiClient* client) {
  if (group_ == nullptr) group_ = avahi_entry_group_new(client, Callbacks::group, this);
  if (group_ == nullptr) return;
  avahi_entry_group_reset(group_);
  const AvahiProtocol protocol = family_ == 4   ? AVAHI_PROTO_INET
                                 : family_ == 6 ? AVAHI_PROTO_INET6
                                                : AVAHI_PROTO_UNSPEC;
  for (const ServiceAnnouncement& service : services_) {
    AvahiStringList* txt = nullptr;
    for (const std::string& entry : service.txt) txt = avahi_string_list_add(txt, entry.c_str());
    const int result = avahi_entry_group_add_service_strlst(group_, interface_, protocol,
                                                            static_cast<AvahiPublishFlags>(0), service.name.c_str(),
                                                            service.type.c_str(), nullptr, nullptr, service.port, txt);
    avahi_string_list_free(txt);
    if (result == AVAHI_ERR_COLLISION) {
      takeAlternativeNames();
      return publish(client);
    }
    if (result < 0) {
      std::fprintf(stderr, "kestreld: DNS-SD: %s (%s) not announced: %s\n", service.name.c_str(), service.type.c_str(),
                   avahi_strerror(result));
    }
  }
  avahi_entry_group_commit(group_);
}

void DnsSdAnnouncer::takeAlternativeNames() {
  for (ServiceAnnouncement& service : services_) {
    char* alternative = avahi_alternative_service_name(service.name.c_str());
    service.name = alternative;
    avahi_free(alternative);
  }
}

// The daemon went away (restarted): a new client waits for it and announces again.
void DnsSdAnnouncer::reconnect() {
  avahi_client_free(client_);
  group_ = nullptr;
  int error = 0;
  client_ = avahi_client_new(avahi_threaded_poll_get(poll_), AVAHI_CLIENT_NO_FAIL, Callbacks::client, this, &error);
  if (client_ == nullptr) {
    std::fprintf(stderr, "kestreld: DNS-SD: lost the avahi-daemon: %s\n", avahi_strerror(error));
  }
}

}  // namespace kestreld
