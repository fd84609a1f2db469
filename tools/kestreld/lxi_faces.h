// What makes kestreld an LXI-style instrument beside its SCPI socket and
// JSON API: the VXI-11 face (devices inst0, inst1, ... and each board's
// name), the DNS-SD announcements and the LXI identification document. Each
// part runs when the host offers what it needs (a portmapper, an
// avahi-daemon) and says so on start-up; without them kestreld serves as before.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "dns_sd.h"

namespace kestreld {

class BoardWorker;
class Door;
class HttpFace;

namespace vxi11 {
class Vxi11Server;
}

struct LxiOptions {
  std::vector<BoardWorker*> boards;
  std::string listen;     // the --listen address
  uint16_t scpiPort = 0;  // the first board's; the next boards take the next ports
  uint16_t httpPort = 0;  // 0: no HTTP
  bool vxi11 = true;
  bool mdns = true;
  std::string version;  // kestreld's
  // How long the identification waits for the first board (--request-timeout).
  std::chrono::milliseconds requestTimeout{30000};
};

class LxiFaces {
 public:
  // VXI-11 connections come in through `door`, with the other faces'.
  LxiFaces(LxiOptions options, Door& door);
  ~LxiFaces();
  LxiFaces(const LxiFaces&) = delete;
  LxiFaces& operator=(const LxiFaces&) = delete;

  // GET /lxi/identification, before the HTTP face listens.
  void addRoutes(HttpFace& http);
  // VXI-11, then the announcements (which include VXI-11 when it runs).
  void start();
  void stop();

  // The identification document for a client that reached us at `localAddress`.
  std::pair<int, std::string> identification(const std::string& localAddress) const;

 private:
  void startVxi11();
  void startAnnouncements();
  std::vector<ServiceAnnouncement> announcements() const;
  // The first board's *IDN? answer, or the status and sentence of why there is none.
  std::pair<int, std::string> firstIdentity() const;

  LxiOptions options_;
  Door& door_;
  std::unique_ptr<vxi11::Vxi11Server> vxi11_;
  std::atomic<bool> vxi11Running_{false};
  DnsSdAnnouncer announcer_;
};

}  // namespace kestreld
