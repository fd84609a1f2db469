#include "lxi_faces.h"

#include <cstdio>
#include <future>
#include <optional>

#include "board_worker.h"
#include "host_network.h"
#include "http_server.h"
#include "lxi_identification.h"
#include "scpi_session.h"
#include "vxi11_server.h"

namespace kestreld {

namespace {

constexpr uint16_t kPortmapperPort = 111;  // where DNS-SD points VXI-11 clients, as LXI does

std::string urlHost(const std::string& address) {
  return address.find(':') == std::string::npos ? address : "[" + address + "]";
}

std::string withoutMappedPrefix(std::string address) {
  if (address.rfind("::ffff:", 0) == 0) address.erase(0, 7);
  return address;
}

// 4 or 6 for an address of that family, 0 for the IPv6 wildcard (which takes both).
int familyOf(const std::string& address) {
  if (address == "::") return 0;
  return address.find(':') == std::string::npos ? 4 : 6;
}

}  // namespace

LxiFaces::LxiFaces(LxiOptions options, Door& door) : options_(std::move(options)), door_(door) {}

LxiFaces::~LxiFaces() { stop(); }

void LxiFaces::addRoutes(HttpFace& http) {
  http.addDocument("/lxi/identification", "text/xml; charset=utf-8",
                   [this](const std::string& localAddress) { return identification(localAddress); });
}

void LxiFaces::start() {
  startVxi11();
  startAnnouncements();
}

void LxiFaces::stop() {
  announcer_.stop();
  if (vxi11_) vxi11_->stop();
  vxi11Running_ = false;
}

void LxiFaces::startVxi11() {
  if (!options_.vxi11) {
    std::printf("kestreld: VXI-11 off (--no-vxi11)\n");
    return;
  }
  vxi11_ = std::make_unique<vxi11::Vxi11Server>(options_.boards, door_);
  std::string why;
  if (!vxi11_->start(options_.listen, why)) {
    vxi11_.reset();
    std::printf("kestreld: VXI-11 off: %s\n", why.c_str());
    return;
  }
  vxi11Running_ = true;
  std::string devices;
  for (size_t i = 0; i < options_.boards.size(); ++i) {
    devices += (i == 0 ? "" : ", ") + std::string("inst") + std::to_string(i) + " and " + options_.boards[i]->name();
  }
  std::printf("kestreld: VXI-11 on %s (core port %u, abort port %u): devices %s\n", options_.listen.c_str(),
              static_cast<unsigned>(vxi11_->corePort()), static_cast<unsigned>(vxi11_->abortPort()), devices.c_str());
}

void LxiFaces::startAnnouncements() {
  if (!options_.mdns) {
    std::printf("kestreld: DNS-SD off (--no-mdns)\n");
    return;
  }
  // Announced where clients can reach us: on the interface of the listening
  // address, or everywhere for a wildcard.
  const std::optional<InterfaceFacts> where = interfaceFor(options_.listen);
  std::string why;
  if (!announcer_.start(announcements(), where ? where->index : 0, familyOf(options_.listen), why)) {
    std::printf("kestreld: DNS-SD off: %s\n", why.c_str());
    return;
  }
  std::printf("kestreld: DNS-SD: announcing on %s\n", where ? where->name.c_str() : "every interface");
}

std::vector<ServiceAnnouncement> LxiFaces::announcements() const {
  const std::string host = hostName();
  const std::string daemon = "Kestrel kestreld on " + host;
  const std::vector<std::string> identity = {"txtvers=1", "Manufacturer=Kestrel", "Model=kestreld",
                                             "FirmwareVersion=" + options_.version};
  std::vector<ServiceAnnouncement> services;
  if (options_.httpPort != 0) {
    services.push_back({daemon, "_http._tcp", options_.httpPort, {"path=/"}});
    services.push_back({daemon, "_lxi._tcp", options_.httpPort, identity});
  }
  if (vxi11Running_) services.push_back({daemon, "_vxi-11._tcp", kPortmapperPort, identity});
  for (size_t i = 0; i < options_.boards.size(); ++i) {
    const std::string& board = options_.boards[i]->name();
    services.push_back({"Kestrel " + board + " on " + host,
                        "_scpi-raw._tcp",
                        static_cast<uint16_t>(options_.scpiPort + i),
                        {"txtvers=1", "Manufacturer=Kestrel", "board=" + board}});
  }
  return services;
}

// Asked of the board in its queue, like an HTTP request: a full queue gives
// 503, a wait past the request time 504 (the question is withdrawn).
std::pair<int, std::string> LxiFaces::firstIdentity() const {
  BoardWorker& first = *options_.boards.front();
  std::optional<Submitted<std::string>> idn;
  try {
    idn = first.submit([](BoardWorker& board) { return idnResponse(board.board().identity()); });
  } catch (const QueueFull&) {
    return {503, "board " + first.name() + "'s queue is full: try again shortly"};
  }
  if (idn->result.wait_for(options_.requestTimeout) != std::future_status::ready && idn->control->withdraw()) {
    return {504, "board " + first.name() + " is busy: its identity was withdrawn from its queue"};
  }
  try {
    return {200, idn->result.get()};
  } catch (const BoardError& e) {
    return {503, "board " + first.name() + " cannot tell who it is: " + e.what()};
  } catch (const std::future_error&) {
    return {503, "the daemon is stopping"};
  }
}

// The first board speaks for the instrument (inst0); every board's resources are listed.
std::pair<int, std::string> LxiFaces::identification(const std::string& localAddress) const {
  auto [status, idn] = firstIdentity();
  if (status != 200) return {status, idn};
  IdentificationPage page;
  page.identity = parseIdentity(idn);
  const std::string host = withoutMappedPrefix(localAddress);
  page.description = "Kestrel clock-source board served by kestreld " + options_.version;
  page.baseUrl = "http://" + urlHost(host) + ":" + std::to_string(options_.httpPort);
  page.hostname = hostName();
  page.network = interfaceFor(host).value_or(InterfaceFacts{});
  page.network.address = host;
  for (size_t i = 0; i < options_.boards.size(); ++i) {
    const std::string& name = options_.boards[i]->name();
    page.userDescription += (i == 0 ? "" : ", ") + name + " (inst" + std::to_string(i) + ")";
    const BoardAddress board{name, i, static_cast<uint16_t>(options_.scpiPort + i)};
    for (std::string& resource : visaResources(host, board, vxi11Running_))
      page.resources.push_back(std::move(resource));
  }
  return {200, identificationXml(page)};
}

}  // namespace kestreld
