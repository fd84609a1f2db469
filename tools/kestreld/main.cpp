// kestreld: owns the boards of a lab bench and serves them to any number of
// clients over SCPI, so that the host-side state of each board outlives the
// programs that drive it.
#include <cstdio>
#include <list>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <asio.hpp>

#include "access_list.h"
#include "board_emulator.h"
#include "board_worker.h"
#include "http_server.h"
#include "lxi_faces.h"
#include "scpi_server.h"
#include "scpi_session.h"
#include "status_hub.h"

#ifndef KESTRELD_VERSION
#define KESTRELD_VERSION "unknown"
#endif
#ifndef KESTRELD_WEB_ROOT
#define KESTRELD_WEB_ROOT "web"
#endif

namespace {

using namespace kestreld;

constexpr int kExitUsage = 64;
constexpr int kExitUnavailable = 69;  // BSD EX_UNAVAILABLE: a port or emulator could not be had
constexpr int kEmulatorAddressAttempts = 20;

struct BoardChoice {
  std::string name;
  std::string address;  // empty for an emulator
};

// --board and --sim in the order given: that order assigns the ports.
std::vector<BoardChoice> boardsInOrder(const CLI::App& app, const std::vector<std::string>& boards,
                                       const std::vector<std::string>& sims) {
  std::vector<BoardChoice> choices;
  size_t nextBoard = 0;
  size_t nextSim = 0;
  for (const CLI::Option* option : app.parse_order()) {
    if (option->get_name() == "--board") {
      const std::string& text = boards.at(nextBoard++);
      const size_t eq = text.find('=');
      if (eq == std::string::npos || eq == 0 || !parseIPv4(text.substr(eq + 1))) {
        throw CLI::ValidationError("--board", "'" + text + "' is not NAME=ADDRESS with a dotted IPv4 address");
      }
      choices.push_back({text.substr(0, eq), text.substr(eq + 1)});
    } else if (option->get_name() == "--sim") {
      choices.push_back({sims.at(nextSim++), ""});
    }
  }
  return choices;
}

// Two owners of one board would take it from each other at every exchange.
void checkDistinct(const std::vector<BoardChoice>& choices, uint16_t firstPort) {
  for (size_t i = 0; i < choices.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      if (choices[i].name == choices[j].name)
        throw CLI::ValidationError("board name '" + choices[i].name + "' is given twice");
      if (!choices[i].address.empty() && choices[i].address == choices[j].address) {
        throw CLI::ValidationError("board address " + choices[i].address + " is given twice");
      }
    }
  }
  if (firstPort == 0 || firstPort + choices.size() - 1 > 65535) {
    throw CLI::ValidationError("--scpi-port",
                               "the boards need ports " + std::to_string(firstPort) + " and up, to 65535");
  }
}

// The emulator on a loopback address of its own, on the port the library
// dials (KESTREL_PORT, else 6653): 127.0.0.1 when free, else a random 127.x.y.z.
std::unique_ptr<kestrel::sim::BoardEmulator> startEmulator(std::string& address) {
  std::mt19937 random(std::random_device{}());
  for (int attempt = 0; attempt <= kEmulatorAddressAttempts; ++attempt) {
    address = attempt == 0 ? "127.0.0.1"
                           : "127." + std::to_string(1 + random() % 254) + "." + std::to_string(random() % 256) + "." +
                                 std::to_string(1 + random() % 254);
    kestrel::sim::EmulatorOptions options;
    options.address = address;
    options.port = kestrel::sim::hostBoardPort();
    auto emulator = std::make_unique<kestrel::sim::BoardEmulator>(options);
    if (emulator->start()) return emulator;
  }
  return nullptr;
}

// An IPv6 address goes in brackets in a URL.
std::string urlHost(const std::string& address) {
  return address.find(':') == std::string::npos ? address : "[" + address + "]";
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"kestreld: owns Kestrel clock-source boards and serves them over SCPI (raw TCP, one port per board)",
               "kestreld"};
  app.set_version_flag("--version", "kestreld " KESTRELD_VERSION);
  std::vector<std::string> boards;
  std::vector<std::string> sims;
  std::vector<std::string> allow;
  uint16_t scpiPort = 5025;
  uint16_t httpPort = 8080;
  std::string webRoot = KESTRELD_WEB_ROOT;
  std::string listen = "127.0.0.1";
  bool noVxi11 = false;
  bool noMdns = false;
  app.add_option("--board", boards, "a board: NAME=ADDRESS (repeatable)")->type_name("NAME=ADDRESS");
  app.add_option("--sim", sims, "a built-in board emulator named NAME (repeatable)")->type_name("NAME");
  app.add_option("--scpi-port", scpiPort, "SCPI port of the first board; the next boards take the next ports")
      ->capture_default_str();
  app.add_option("--http-port", httpPort, "HTTP port of the JSON API and the front panel, for all boards; 0: none")
      ->capture_default_str();
  app.add_option("--web-root", webRoot, "directory of the front panel's files")->capture_default_str();
  app.add_option("--listen", listen, "address to serve on")->capture_default_str();
  app.add_option("--allow", allow, "only clients in this IPv4 network may connect, e.g. 10.0.0.0/8 (repeatable)")
      ->type_name("CIDR");
  app.add_flag("--no-vxi11", noVxi11, "do not serve VXI-11 (served when the host's portmapper runs)");
  app.add_flag("--no-mdns", noMdns, "do not announce the services over DNS-SD (announced when an avahi-daemon runs)");

  AccessList access;
  std::vector<BoardChoice> choices;
  asio::ip::address listenAddress;
  try {
    app.parse(argc, argv);
    choices = boardsInOrder(app, boards, sims);
    if (choices.empty()) throw CLI::ValidationError("no board given: use --board NAME=ADDRESS or --sim NAME");
    checkDistinct(choices, scpiPort);
    for (const std::string& text : allow) {
      const auto network = parseNetwork(text);
      if (!network) throw CLI::ValidationError("--allow", "'" + text + "' is not an IPv4 network (CIDR)");
      access.add(*network);
    }
    asio::error_code error;
    listenAddress = asio::ip::make_address(listen, error);
    if (error) throw CLI::ValidationError("--listen", "'" + listen + "' is not an IP address");
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    std::fprintf(stderr, "kestreld: %s; see 'kestreld --help'\n", e.what());
    return kExitUsage;
  }

  // Declared in this order so that they are torn down in reverse: servers,
  // then the io_context, then the workers, then the emulators behind them.
  std::list<std::unique_ptr<kestrel::sim::BoardEmulator>> emulators;
  std::list<BoardWorker> workers;
  asio::io_context io;
  std::list<ScpiServer> servers;

  for (size_t i = 0; i < choices.size(); ++i) {
    BoardChoice& choice = choices[i];
    kestrel::sim::BoardEmulator* emulator = nullptr;
    if (choice.address.empty()) {
      emulators.push_back(startEmulator(choice.address));
      emulator = emulators.back().get();
      if (emulator == nullptr) {
        std::fprintf(stderr, "kestreld: the built-in emulator for %s could not start\n", choice.name.c_str());
        return kExitUnavailable;
      }
    }
    BoardWorker& worker = workers.emplace_back(choice.name, choice.address, emulator);
    ScpiServer& server = servers.emplace_back(io, worker, commandTree(), access);
    const auto port = static_cast<uint16_t>(scpiPort + i);
    try {
      server.listen({listenAddress, port});
    } catch (const std::system_error& e) {
      std::fprintf(stderr, "kestreld: cannot serve %s on %s port %u: %s\n", choice.name.c_str(), listen.c_str(),
                   static_cast<unsigned>(port), e.what());
      return kExitUnavailable;
    }
    worker.start();
    std::printf("kestreld: board %s (%s%s) on SCPI %s:%u\n", choice.name.c_str(), choice.address.c_str(),
                emulator != nullptr ? ", built-in emulator" : "", listen.c_str(), static_cast<unsigned>(port));
  }
  std::vector<BoardWorker*> boardList;
  for (BoardWorker& worker : workers) boardList.push_back(&worker);
  StatusHub hub(boardList);
  LxiFaces lxi({boardList, listen, scpiPort, httpPort, !noVxi11, !noMdns, KESTRELD_VERSION}, access);
  std::optional<HttpFace> http;
  if (httpPort != 0) {
    http.emplace(boardList, hub, access, webRoot);
    lxi.addRoutes(*http);
    try {
      http->listen(listen, httpPort);
    } catch (const std::runtime_error& e) {
      std::fprintf(stderr, "kestreld: %s\n", e.what());
      return kExitUnavailable;
    }
    hub.start();
    http->start();
    std::printf("kestreld: front panel and JSON API on http://%s:%u/\n", urlHost(listen).c_str(),
                static_cast<unsigned>(httpPort));
  }
  lxi.start();
  std::printf("kestreld: ready\n");
  std::fflush(stdout);

  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](const asio::error_code&, int) {
    for (ScpiServer& server : servers) server.stop();
    io.stop();
  });
  io.run();
  // The streams end with the hub; the workers outlive every job that uses them.
  hub.stop();
  if (http) http->stop();
  lxi.stop();
  for (BoardWorker& worker : workers) worker.stop();
  std::printf("kestreld: stopped\n");
  return 0;
}
