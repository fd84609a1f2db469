// kestreld: owns the boards of a lab bench and serves them to any number of
// clients over SCPI, so that the host-side state of each board outlives the
// programs that drive it.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <list>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <asio.hpp>

#include "access_list.h"
#include "board_address.h"
#include "board_emulator.h"
#include "board_worker.h"
#include "door.h"
#include "door_acceptor.h"
#include "http_server.h"
#include "lxi_faces.h"
#include "scpi_server.h"
#include "scpi_session.h"
#include "status_hub.h"
#include "token.h"

#ifndef KESTRELD_VERSION
#define KESTRELD_VERSION "unknown"
#endif
// Where the front panel's files are: installed beside the program (relative
// to its directory), else in the source tree it was built from.
#ifndef KESTRELD_INSTALLED_WEB_ROOT
#define KESTRELD_INSTALLED_WEB_ROOT "../share/kestreld/web"
#endif
#ifndef KESTRELD_SOURCE_WEB_ROOT
#define KESTRELD_SOURCE_WEB_ROOT "web"
#endif

namespace {

using namespace kestreld;

constexpr int kExitUsage = 64;
constexpr int kExitUnavailable = 69;  // BSD EX_UNAVAILABLE: a port or emulator could not be had
constexpr int kEmulatorAddressAttempts = 20;
// From SIGTERM to exit, whatever the clients do: a library call still running
// after this is abandoned with the process.
constexpr auto kStopTime = std::chrono::milliseconds(2500);

struct BoardChoice {
  std::string name;
  std::string address;  // dotted IPv4; empty for an emulator
  std::string host;     // as given, when a name
};

BoardChoice boardAt(const std::string& text) {
  const size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0 || eq + 1 == text.size()) {
    throw CLI::ValidationError("--board", "'" + text + "' is not NAME=ADDRESS (a host name or an IPv4 address)");
  }
  const std::string host = text.substr(eq + 1);
  const auto address = kestrel::tools::boardIPv4(host);
  if (!address) throw CLI::ValidationError("--board", "'" + host + "' has no IPv4 address");
  return {text.substr(0, eq), *address, *address == host ? std::string() : host};
}

// --board and --sim in the order given: that order assigns the ports.
std::vector<BoardChoice> boardsInOrder(const CLI::App& app, const std::vector<std::string>& boards,
                                       const std::vector<std::string>& sims) {
  std::vector<BoardChoice> choices;
  size_t nextBoard = 0;
  size_t nextSim = 0;
  for (const CLI::Option* option : app.parse_order()) {
    if (option->get_name() == "--board") {
      choices.push_back(boardAt(boards.at(nextBoard++)));
    } else if (option->get_name() == "--sim") {
      choices.push_back({sims.at(nextSim++), "", ""});
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

// The names a request's Host may give besides the address it reached us on.
std::vector<std::string> serverNames(const std::string& listen, std::vector<std::string> names) {
  names.push_back("localhost");
  names.push_back(listen);
  char host[256] = "";
  if (::gethostname(host, sizeof host - 1) == 0 && host[0] != '\0') names.emplace_back(host);
  return names;
}

// Options that bound what clients may use, and where files may come from.
struct DoorOptions {
  DoorLimits limits;
  unsigned idleSeconds = static_cast<unsigned>(ScpiServer::kDefaultIdle.count());
  unsigned requestSeconds = static_cast<unsigned>(HttpFace::kDefaultRequestTimeout.count());
  std::string tokenFile;
  std::string calibrationDir;
  std::string stateDir;
  std::vector<std::string> serverNames;
};

void addDoorOptions(CLI::App& app, DoorOptions& o) {
  app.add_option("--max-connections", o.limits.maxConnections, "connections served at once, over every port")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  app.add_option("--max-connections-per-client", o.limits.maxConnectionsPerClient,
                 "connections served at once from one client address")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  app.add_option("--idle-timeout", o.idleSeconds,
                 "seconds after which an SCPI client that sends no line and reads no answer is closed; 0: never")
      ->capture_default_str();
  app.add_option("--request-timeout", o.requestSeconds,
                 "seconds an HTTP request waits for its board before 504 (the request is then not applied)")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  app.add_option(
         "--token-file", o.tokenFile,
         "the token HTTP changes carry, kept in FILE (made 0600 at the first start); default: a new one each start")
      ->type_name("FILE");
  app.add_option("--calibration-dir", o.calibrationDir,
                 "where CAL:SOUR FILE may read calibration files (default: nowhere)")
      ->type_name("DIR")
      ->check(CLI::ExistingDirectory);
  app.add_option("--state-dir", o.stateDir,
                 "where *SAV keeps each board's saved states, across restarts (default: nowhere, *SAV refused)")
      ->type_name("DIR")
      ->check(CLI::ExistingDirectory);
  app.add_option("--server-name", o.serverNames,
                 "a host name the HTTP clients use for this machine, besides its addresses (repeatable)")
      ->type_name("NAME");
}

// The front panel installed beside the program, else the one of the source tree.
std::string defaultWebRoot() {
  std::error_code error;
  const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) {
    const auto installed = program.parent_path() / KESTRELD_INSTALLED_WEB_ROOT;
    if (std::filesystem::is_regular_file(installed / "index.html", error)) return installed.lexically_normal();
  }
  return KESTRELD_SOURCE_WEB_ROOT;
}

bool holdsFrontPanel(const std::string& root) {
  std::error_code error;
  return std::filesystem::is_regular_file(std::filesystem::path(root) / "index.html", error);
}

// A listener that cannot be had stops the start: a port already served
// (by another kestreld, say) would leave two owners answering at random.
void listenOrExplain(const std::function<void()>& listen, const std::string& what, const std::string& address,
                     uint16_t port) {
  try {
    listen();
  } catch (const std::system_error& e) {
    const bool taken = e.code() == asio::error::address_in_use;
    throw std::runtime_error("cannot serve " + what + " on " + address + " port " + std::to_string(port) + ": " +
                             (taken ? "the port is already served (another kestreld?)" : e.what()));
  }
}

// Stops every board; false when one is still inside a library call at the deadline.
bool stopBoards(std::list<BoardWorker>& workers, std::chrono::steady_clock::time_point deadline) {
  bool all = true;
  for (BoardWorker& worker : workers) {
    if (!worker.stop(deadline)) {
      std::fprintf(stderr, "kestreld: board %s: the call in progress is abandoned\n", worker.name().c_str());
      all = false;
    }
  }
  return all;
}

// An IPv6 address goes in brackets in a URL.
std::string urlHost(const std::string& address) {
  return address.find(':') == std::string::npos ? address : "[" + address + "]";
}

// Every option of the command line, parsed and checked.
struct Options {
  std::vector<BoardChoice> boards;
  AccessList access;
  std::vector<std::string> allow;
  uint16_t scpiPort = 5025;
  uint16_t httpPort = 8080;
  std::string webRoot;
  std::string listen = "127.0.0.1";
  asio::ip::address listenAddress;
  DoorOptions door;
  bool vxi11 = true;
  bool mdns = true;
};

// Nothing to go on; else the exit status (0 after --help and --version).
std::optional<int> parseCommandLine(int argc, char** argv, Options& o) {
  CLI::App app{"kestreld: owns Kestrel clock-source boards and serves them over SCPI (raw TCP, one port per board)",
               "kestreld"};
  app.set_version_flag("--version", "kestreld " KESTRELD_VERSION);
  std::vector<std::string> boards;
  std::vector<std::string> sims;
  app.add_option("--board", boards, "a board: NAME=ADDRESS, a host name or an IPv4 address (repeatable)")
      ->type_name("NAME=ADDRESS");
  app.add_option("--sim", sims, "a built-in board emulator named NAME (repeatable)")->type_name("NAME");
  app.add_option("--scpi-port", o.scpiPort, "SCPI port of the first board; the next boards take the next ports")
      ->capture_default_str();
  app.add_option("--http-port", o.httpPort, "HTTP port of the JSON API and the front panel, for all boards; 0: none")
      ->capture_default_str();
  CLI::Option* webRoot = app.add_option("--web-root", o.webRoot,
                                        "directory of the front panel's files (default: the installed ones)");
  app.add_option("--listen", o.listen, "address to serve on")->capture_default_str();
  app.add_option("--allow", o.allow, "only clients in this IPv4 network may connect, e.g. 10.0.0.0/8 (repeatable)")
      ->type_name("CIDR");
  addDoorOptions(app, o.door);
  bool noVxi11 = false;
  bool noMdns = false;
  app.add_flag("--no-vxi11", noVxi11, "do not serve VXI-11 (served when the host's portmapper runs)");
  app.add_flag("--no-mdns", noMdns, "do not announce the services over DNS-SD (announced when an avahi-daemon runs)");
  try {
    app.parse(argc, argv);
    o.boards = boardsInOrder(app, boards, sims);
    if (o.boards.empty()) throw CLI::ValidationError("no board given: use --board NAME=ADDRESS or --sim NAME");
    checkDistinct(o.boards, o.scpiPort);
    for (const std::string& text : o.allow) {
      const auto network = parseNetwork(text);
      if (!network) throw CLI::ValidationError("--allow", "'" + text + "' is not an IPv4 network (CIDR)");
      o.access.add(*network);
    }
    o.vxi11 = !noVxi11;
    o.mdns = !noMdns;
    asio::error_code error;
    o.listenAddress = asio::ip::make_address(o.listen, error);
    if (error) throw CLI::ValidationError("--listen", "'" + o.listen + "' is not an IP address");
    if (webRoot->count() == 0) {
      o.webRoot = defaultWebRoot();
    } else if (o.httpPort != 0 && !holdsFrontPanel(o.webRoot)) {
      throw CLI::ValidationError("--web-root", "'" + o.webRoot + "' holds no front panel (index.html)");
    }
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    std::fprintf(stderr, "kestreld: %s; see 'kestreld --help'\n", e.what());
    return kExitUsage;
  }
  return std::nullopt;
}

// Every host that reaches the address may drive the boards: say so.
void warnWhenOpen(const Options& o) {
  if (o.listenAddress.is_loopback() || !o.allow.empty()) return;
  std::fprintf(stderr,
               "kestreld: warning: listening on %s without --allow: any host that reaches it may drive the boards; "
               "name the clients with --allow CIDR\n",
               o.listen.c_str());
}

// Starts the emulators of --sim boards and makes the workers (not started).
void makeBoards(Options& o, std::list<std::unique_ptr<kestrel::sim::BoardEmulator>>& emulators,
                std::list<BoardWorker>& workers) {
  for (BoardChoice& choice : o.boards) {
    kestrel::sim::BoardEmulator* emulator = nullptr;
    if (choice.address.empty()) {
      emulators.push_back(startEmulator(choice.address));
      emulator = emulators.back().get();
      if (emulator == nullptr) throw std::runtime_error("the built-in emulator for " + choice.name + " could not start");
    }
    BoardWorker& worker = workers.emplace_back(choice.name, choice.address, emulator);
    if (!o.door.calibrationDir.empty()) worker.setCalibrationDirectory(o.door.calibrationDir);
    if (!o.door.stateDir.empty()) worker.setStateDirectory(o.door.stateDir);
  }
}

LxiOptions lxiOptions(const Options& o, std::vector<BoardWorker*> boards) {
  LxiOptions lxi;
  lxi.boards = std::move(boards);
  lxi.listen = o.listen;
  lxi.scpiPort = o.scpiPort;
  lxi.httpPort = o.httpPort;
  lxi.vxi11 = o.vxi11;
  lxi.mdns = o.mdns;
  lxi.version = KESTRELD_VERSION;
  lxi.requestTimeout = std::chrono::seconds(o.door.requestSeconds);
  return lxi;
}

void announceBoard(const BoardChoice& choice, const BoardWorker& worker, const Options& o, uint16_t port) {
  const std::string where = choice.host.empty() ? choice.address : choice.host + " = " + choice.address;
  std::printf("kestreld: board %s (%s%s) on SCPI %s:%u\n", choice.name.c_str(), where.c_str(),
              worker.emulator() != nullptr ? ", built-in emulator" : "", o.listen.c_str(),
              static_cast<unsigned>(port));
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (const auto status = parseCommandLine(argc, argv, o)) return *status;
  if (o.httpPort != 0 && !holdsFrontPanel(o.webRoot)) {
    std::fprintf(stderr, "kestreld: no front panel at %s: give --web-root DIR, or --http-port 0\n", o.webRoot.c_str());
    return kExitUnavailable;
  }
  std::string token;
  try {
    token = o.door.tokenFile.empty() ? newToken() : tokenFromFile(o.door.tokenFile);
  } catch (const std::runtime_error& e) {
    std::fprintf(stderr, "kestreld: %s\n", e.what());
    return kExitUnavailable;
  }
  warnWhenOpen(o);
  fitToDescriptorLimit(o.door.limits, o.boards.size());
  Door entrance(o.access, o.door.limits);

  // Declared in this order so that they are torn down in reverse: the HTTP
  // face (whose identification document the LXI faces serve), the LXI faces,
  // the hub and the SCPI servers, then the main io_context, then the workers
  // (each with the io_context of its board), then the emulators.
  std::list<std::unique_ptr<kestrel::sim::BoardEmulator>> emulators;
  std::list<BoardWorker> workers;
  asio::io_context io;
  std::list<ScpiServer> servers;
  std::vector<BoardWorker*> boardList;
  std::optional<StatusHub> hub;
  std::optional<LxiFaces> lxi;
  std::optional<HttpFace> http;
  try {
    makeBoards(o, emulators, workers);
    for (BoardWorker& worker : workers) boardList.push_back(&worker);
    hub.emplace(boardList);
    lxi.emplace(lxiOptions(o, boardList), entrance);
    // Every port is had before any board starts.
    uint16_t port = o.scpiPort;
    for (BoardWorker& worker : workers) {
      ScpiServer& server = servers.emplace_back(worker, commandTree(), entrance, std::chrono::seconds(o.door.idleSeconds));
      listenOrExplain([&] { server.listen({o.listenAddress, port}); }, "board " + worker.name() + " (SCPI)", o.listen,
                      port);
      ++port;
    }
    if (o.httpPort != 0) {
      http.emplace(io, boardList, *hub, entrance, HttpRules(serverNames(o.listen, o.door.serverNames), o.httpPort, token),
                   o.webRoot, KESTRELD_VERSION, std::chrono::seconds(o.door.requestSeconds));
      lxi->addRoutes(*http);
      listenOrExplain([&] { http->listen({o.listenAddress, o.httpPort}); }, "HTTP", o.listen, o.httpPort);
    }
  } catch (const std::runtime_error& e) {
    std::fprintf(stderr, "kestreld: %s\n", e.what());
    return kExitUnavailable;
  }
  auto worker = workers.begin();
  for (size_t i = 0; i < o.boards.size(); ++i, ++worker) {
    worker->start();
    announceBoard(o.boards[i], *worker, o, static_cast<uint16_t>(o.scpiPort + i));
  }
  if (http) {
    hub->start();
    std::printf("kestreld: front panel and JSON API on http://%s:%u/\n", urlHost(o.listen).c_str(),
                static_cast<unsigned>(o.httpPort));
    if (!o.door.tokenFile.empty()) {
      std::printf("kestreld: HTTP changes carry the token in %s\n", o.door.tokenFile.c_str());
    }
  }
  lxi->start();
  std::printf("kestreld: ready\n");
  std::fflush(stdout);

  asio::signal_set signals(io, SIGINT, SIGTERM);
  std::chrono::steady_clock::time_point stopBy{};
  signals.async_wait([&](const asio::error_code&, int) {
    stopBy = std::chrono::steady_clock::now() + kStopTime;
    io.stop();
  });
  io.run();
  if (stopBy == std::chrono::steady_clock::time_point{}) stopBy = std::chrono::steady_clock::now() + kStopTime;
  // The streams end with the hub; queued jobs go, running lines stop at
  // their next command and the boards' threads end after them; then the HTTP
  // connections end, the boards close, and the SCPI clients with them.
  hub->stop();
  for (BoardWorker& w : workers) w.requestStop();
  if (http) http->stop();
  lxi->stop();
  const bool boardsStopped = stopBoards(workers, stopBy);
  std::printf("kestreld: stopped\n");
  std::fflush(stdout);
  if (!boardsStopped) std::_Exit(0);  // a board's thread still runs: nothing may be torn down under it
  return 0;
}
