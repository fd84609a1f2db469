// A remote instance ("kestreld://HOST:PORT") against a direct one: the same
// calls with edge arguments on two identical emulators, one owned by a
// kestreld process, must give the same statuses and outputs and leave the
// two boards the same; and what a caller gets when the daemon dies, loses
// its board or answers garbage.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <future>
#include <limits>

#include "support/board_fixture.h"
#include "daemon_process.h"
#include "api/active_config_fields.h"
#include "protocol/remote_call.h"

namespace kestrel::testing {
namespace {

struct Outcome {
  int32_t status = -1;
  std::vector<std::string> outputs;
  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  os << "status " << o.status;
  for (const std::string& out : o.outputs) os << ", " << out;
  return os;
}

std::string text(double v) { return protocol::formatExactDouble(v); }
template <typename T>
std::string text(T v) {
  return std::to_string(v);
}

template <typename... T>
Outcome with(int32_t status, const T&... outputs) {
  Outcome o{status, {}};
  if (status == VXCLK_OK) (o.outputs.push_back(text(outputs)), ...);
  return o;
}

using Call = std::function<Outcome(void*)>;
struct Case {
  std::string label;
  Call call;
};

double bitsToDouble(uint64_t bits) {
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// A setter of one int32 argument.
using IntSetter = int32_t (*)(void*, int32_t);
struct NamedSetter {
  const char* name;
  IntSetter set;
};
const NamedSetter kIntSetters[] = {
    {"enableFM", vxclk_enableFM},
    {"setFMFrequency", vxclk_setFMFrequency},
    {"setFMAmplitude", vxclk_setFMAmplitude},
    {"setFMPhaseSkew", vxclk_setFMPhaseSkew},
    {"setFMRJAmplitude", vxclk_setFMRJAmplitude},
    {"enableTx2PM", vxclk_enableTx2PM},
    {"setTx2PMAmplitude", vxclk_setTx2PMAmplitude},
    {"setTx2PMPhaseShiftAmplitude", vxclk_setTx2PMPhaseShiftAmplitude},
    {"enableTx2PMRJ", vxclk_enableTx2PMRJ},
    {"setTx2PMRJAmplitude", vxclk_setTx2PMRJAmplitude},
    {"enableTx2PMBUJ", vxclk_enableTx2PMBUJ},
    {"setTx2PMBUJAmplitude", vxclk_setTx2PMBUJAmplitude},
    {"setTx2PMBUJLineRate", vxclk_setTx2PMBUJLineRate},
    {"setTx2BUJAmplitude", vxclk_setTx2BUJAmplitude},
    {"enableTx2AM", vxclk_enableTx2AM},
    {"setTx2AMAmplitude", vxclk_setTx2AMAmplitude},
    {"setTx2AMRJAmplitude", vxclk_setTx2AMRJAmplitude},
    {"setClockSource", vxclk_setClockSource},
    {"setTx1Power", vxclk_setTx1Power},
    {"setTx2Power", vxclk_setTx2Power},
    {"setTx2Divider", vxclk_setTx2Divider},
};
const int32_t kIntEdges[] = {INT32_MIN, -1, 0, 1, 2, 9, 13, 31, 32, 4095, 4096, 65535, 65536, INT32_MAX};

Outcome readConfig(void* h) {
  ActiveConfig c{};
  const int32_t status = vxclk_getActiveConfig(h, &c);
  Outcome o = with(status);
  if (status == VXCLK_OK) {
    forEachActiveConfigField(c, [&](const char*, const auto& field) { o.outputs.push_back(text(field)); });
  }
  return o;
}

std::vector<Case> cases(const std::string& calibrationFile) {
  std::vector<Case> all;
  auto add = [&](std::string label, Call call) { all.push_back({std::move(label), std::move(call)}); };
  add("getBoardID", [](void* h) { int32_t v = 0; return with(vxclk_getBoardID(h, &v), v); });
  add("getSerialNumber", [](void* h) { uint64_t v = 0; return with(vxclk_getSerialNumber(h, &v), v); });
  add("checkVCOLock", [](void* h) { int32_t v = 0; return with(vxclk_checkVCOLock(h, &v), v); });
  add("checkVCOVoltage", [](void* h) { double v = 0; return with(vxclk_checkVCOVoltage(h, &v), v); });
  for (int32_t sensor : {-1, 0, 1, 2}) {
    add("getTemperature " + text(sensor), [sensor](void* h) { int32_t v = 0; return with(vxclk_getTemperature(h, sensor, &v), v); });
  }
  for (auto [write, page, reg, value] : std::vector<std::array<int, 4>>{
           {0, 0, 20, 0}, {0, 15, 2047, 0}, {0, 16, 0, 0}, {0, 0, 2048, 0}, {1, 0, 30, 0xBEEF}, {0, 0, 30, 0}, {2, 1, 31, 7}, {0, 1, 31, 0}}) {
    add("setClock " + text(write) + "," + text(page) + "," + text(reg), [=](void* h) {
      uint16_t v = static_cast<uint16_t>(value);
      const int32_t s = vxclk_setClock(h, static_cast<uint8_t>(write), static_cast<uint16_t>(page), static_cast<uint16_t>(reg), &v);
      return write == 0 ? with(s, v) : with(s);
    });
  }
  const double memoryValues[] = {-0.0, bitsToDouble(0x7FF8DEADBEEF0001ull), bitsToDouble(0xFFF0000000000001ull), -kInf,
                                 std::numeric_limits<double>::denorm_min(), 1e308, 123456.789};
  uint32_t address = 30000;
  for (double v : memoryValues) {
    add("writeEEPROMAddress " + text(address), [=](void* h) { return with(vxclk_writeEEPROMAddress(h, address, &v)); });
    add("getEEPROMAddress " + text(address), [=](void* h) { double r = 0; return with(vxclk_getEEPROMAddress(h, address, &r), r); });
    address += 8;
  }
  for (uint32_t bad : {65529u, 0xFFFFFFFFu}) {
    add("EEPROM " + text(bad), [=](void* h) {
      double r = 0;
      return with(vxclk_getEEPROMAddress(h, bad, &r) * 10 + vxclk_writeEEPROMAddress(h, bad, &r));
    });
  }
  const double row[7] = {1e-9, -2.5, 0.125, 3, kNaN, 0, 4095.75};
  for (int32_t r : {0, 13, 14}) {
    add("saveFMCalibrationValues " + text(r), [=](void* h) {
      return with(vxclk_saveFMCalibrationValues(h, 7.25, static_cast<uint16_t>(r), row));
    });
  }
  add("getActiveConfig", readConfig);
  for (const NamedSetter& s : kIntSetters) {
    for (int32_t v : kIntEdges) add(std::string(s.name) + " " + text(v), [s, v](void* h) { return with(s.set(h, v)); });
  }
  for (double mhz : {-1.0, 0.0, 0.5, 1.0, 2.0, 4.9, 5.0, 100.0, kNaN, kInf}) {
    add("setCustomFMFrequency " + text(mhz), [mhz](void* h) { return with(vxclk_setCustomFMFrequency(h, mhz)); });
    add("setTx2PMFrequency " + text(mhz), [mhz](void* h) { return with(vxclk_setTx2PMFrequency(h, mhz)); });
  }
  for (auto [prbs, flag] : std::vector<std::pair<int32_t, int32_t>>{{0, 0}, {7, 1}, {-1, 2}, {65536, 0}, {31, -1}}) {
    add("setTx2BUJPRBS " + text(prbs), [=](void* h) { return with(vxclk_setTx2BUJPRBS(h, prbs, flag)); });
  }
  for (uint32_t pattern : {0u, 0xA5A5A5A5u, 0xFFFFFFFFu}) {
    add("setTx2BUJUserDefinedPattern " + text(pattern), [=](void* h) { return with(vxclk_setTx2BUJUserDefinedPattern(h, pattern)); });
  }
  for (double mhz : {19.99, 20.0, 1800.0, 4321.3, 5500.0, 5500.01, kNaN, -kInf}) {
    for (int32_t option : {19, 0, -1}) {
      add("generateClock " + text(mhz) + "," + text(option), [=](void* h) { return with(vxclk_generateClock(h, mhz, option)); });
    }
  }
  for (int32_t r : {-1, 0, 13, 14}) {
    add("getMinMaxCalibration " + text(r), [r](void* h) {
      double lo = 0, hi = 0;
      return with(vxclk_getMinMaxCalibration(h, r, &lo, &hi), lo, hi);
    });
  }
  for (auto [source, path] : std::vector<std::pair<int32_t, std::string>>{
           {1, ""}, {2, calibrationFile}, {2, calibrationFile + ".missing"}, {3, ""}, {-1, ""}, {0, ""}}) {
    add("initializeInstance " + text(source) + " " + path, [=](void* h) {
      return with(vxclk_initializeInstance(h, source, path.empty() ? nullptr : path.c_str()));
    });
    add("getMinMaxCalibration 0 after", [](void* h) {
      double lo = 0, hi = 0;
      return with(vxclk_getMinMaxCalibration(h, 0, &lo, &hi), lo, hi);
    });
    add("setCustomFMFrequency 1 after", [](void* h) { return with(vxclk_setCustomFMFrequency(h, 1.0)); });
  }
  add("getActiveConfig again", readConfig);
  return all;
}

// kestreld owning the board at `board`, its SCPI port at listen:5025.
std::vector<std::string> daemonArguments(const std::string& board, const std::string& listen) {
  return {"--board", "twin=" + board, "--listen", listen, "--scpi-port", "5025", "--http-port", "0"};
}

void* connectedTo(const std::string& address) {
  void* h = vxclk_createInstance();
  // The daemon connects its board after it is ready: ask until it has.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (vxclk_connect(h, address.c_str()) != VXCLK_OK && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return h;
}

// One emulator behind a kestreld process of its own.
struct DaemonBoard {
  EmulatorBoard board;
  std::string listen = nextLoopbackAddress();
  DaemonProcess daemon{daemonArguments(board.address(), listen)};
  std::string address() const { return "kestreld://" + listen + ":5025"; }
};

TEST(RemoteInstance, EveryExportGivesWhatADirectInstanceGives) {
  EmulatorBoard direct;
  DaemonBoard remote;
  ASSERT_TRUE(remote.daemon.ready()) << remote.daemon.log();
  const std::string file = "/tmp/kestrel-remote-calibration-" + std::to_string(getpid());
  {
    FILE* f = std::fopen(file.c_str(), "w");
    std::fputs("0.25\n-1e-7\n3\n0.5\n1800\n100\n4000.5\n", f);
    std::fclose(f);
  }
  void* d = connectedTo(direct.address());
  void* r = connectedTo(remote.address());
  int32_t id = 0;
  ASSERT_EQ(vxclk_getBoardID(r, &id), VXCLK_OK) << remote.daemon.log();
  const std::vector<Case> table = cases(file);
  size_t compared = 0;
  for (const Case& c : table) {
    auto ofDirect = std::async(std::launch::async, c.call, d);
    const Outcome ofRemote = c.call(r);
    EXPECT_EQ(ofDirect.get(), ofRemote) << c.label;
    ++compared;
  }
  std::printf("%zu calls compared\n", compared);
  EXPECT_EQ(direct->readMemory(0, protocol::kMemorySize), remote.board->readMemory(0, protocol::kMemorySize));
  EXPECT_EQ(direct->synthRegisters(), remote.board->synthRegisters());
  // The calls of the instance itself.
  for (void* h : {d, r}) {
    EXPECT_EQ(vxclk_disconnect(h), VXCLK_OK);
    EXPECT_EQ(vxclk_getBoardID(h, &id), VXCLK_NOT_CONNECTED);
  }
  EXPECT_EQ(vxclk_connect(d, direct.address().c_str()), vxclk_connect(r, remote.address().c_str()));
  vxclk_destroyInstance(d);
  vxclk_destroyInstance(r);
  std::remove(file.c_str());
}

template <typename Ready>
bool eventually(Ready&& ready) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!ready()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// The daemon dies while it runs a call (the stored configuration takes
// seconds to read): the call fails, the next fails at once, and a connect
// to the daemon's successor recovers.
TEST(RemoteInstance, ADaemonKilledMidCallFailsTheCallAndConnectRecovers) {
  auto remote = std::make_unique<DaemonBoard>();
  ASSERT_TRUE(remote->daemon.ready()) << remote->daemon.log();
  void* r = connectedTo(remote->address());
  remote->board->clearFrames();
  auto config = std::async(std::launch::async, readConfig, r);
  ASSERT_TRUE(eventually([&] { return remote->board->frames().size() > 10; }));
  remote->daemon.kill(SIGKILL);
  EXPECT_EQ(config.get().status, VXCLK_FAILED);
  int32_t id = 0;
  EXPECT_EQ(vxclk_getBoardID(r, &id), VXCLK_FAILED);
  DaemonProcess successor(daemonArguments(remote->board.address(), remote->listen));
  ASSERT_TRUE(successor.ready()) << successor.log();
  EXPECT_TRUE(eventually([&] { return vxclk_connect(r, remote->address().c_str()) == VXCLK_OK; }));
  EXPECT_EQ(vxclk_getBoardID(r, &id), VXCLK_OK);
  EXPECT_EQ(id, 0x4B31);
  vxclk_destroyInstance(r);
}

// The board goes away behind the daemon: calls fail, never succeed; when it
// is back and the daemon has reconnected, the same remote instance works on.
TEST(RemoteInstance, ABoardLostBehindTheDaemonFailsUntilTheDaemonHasItAgain) {
  sim::EmulatorOptions options;
  options.address = nextLoopbackAddress();
  auto board = std::make_unique<sim::BoardEmulator>(options);
  ASSERT_TRUE(board->start());
  const std::string listen = nextLoopbackAddress();
  DaemonProcess daemon(daemonArguments(options.address, listen));
  ASSERT_TRUE(daemon.ready()) << daemon.log();
  void* r = connectedTo("kestreld://" + listen + ":5025");
  board.reset();
  int32_t id = 0;
  EXPECT_EQ(vxclk_getBoardID(r, &id), VXCLK_FAILED);
  EXPECT_EQ(vxclk_generateClock(r, 1800.0, 19), VXCLK_FAILED);
  board = std::make_unique<sim::BoardEmulator>(options);
  ASSERT_TRUE(board->start()) << board->lastError();
  EXPECT_TRUE(eventually([&] { return vxclk_getBoardID(r, &id) == VXCLK_OK; })) << daemon.log();
  EXPECT_EQ(vxclk_generateClock(r, 1800.0, 19), VXCLK_OK);
  vxclk_destroyInstance(r);
}

// A peer on the SCPI port that is not kestreld, or answers a call with
// garbage: no connect, or a failed call and a dropped connection.
class FakeDaemon {
 public:
  FakeDaemon(std::string identity, std::string callAnswer)
      : identity_(std::move(identity)), callAnswer_(std::move(callAnswer)) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(5025);
    inet_pton(AF_INET, host_.c_str(), &at.sin_addr);
    bound_ = bind(listener_, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 && listen(listener_, 4) == 0;
    if (bound_) thread_ = std::thread([this] { serve(); });
  }
  ~FakeDaemon() {
    shutdown(listener_, SHUT_RDWR);
    close(listener_);
    if (thread_.joinable()) thread_.join();
  }
  bool bound() const { return bound_; }
  std::string address() const { return "kestreld://" + host_ + ":5025"; }

 private:
  void serve() {
    const int client = accept(listener_, nullptr, nullptr);
    if (client < 0) return;
    std::string pending;
    char buffer[4096];
    for (ssize_t n; (n = recv(client, buffer, sizeof buffer, 0)) > 0;) {
      pending.append(buffer, static_cast<size_t>(n));
      for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
        const std::string line = pending.substr(0, end);
        const std::string answer = line == "*IDN?"                   ? identity_
                                   : line == "DIAGnostic:CONNected?" ? "1"
                                   : line == "SYSTem:ERRor?"         ? "0,\"No error\""
                                                                     : callAnswer_;
        const std::string out = answer + "\n";
        if (send(client, out.data(), out.size(), MSG_NOSIGNAL) < 0) break;
      }
    }
    close(client);
  }

  std::string host_ = nextLoopbackAddress();
  std::string identity_, callAnswer_;
  int listener_ = -1;
  bool bound_ = false;
  std::thread thread_;
};

TEST(RemoteInstance, APeerThatIsNotKestreldOrAnswersGarbageIsNeverSuccess) {
  const std::pair<std::string, std::string> peers[] = {
      {"ACME,Power supply,1,1.0", "0"},  // not kestreld: no connect
      {"Kestrel,Clock source board 4B31,1,KestrelLib 2.2.1", "0,zz"},
      {"Kestrel,Clock source board 4B31,1,KestrelLib 2.2.1", "banana"},
      {"Kestrel,Clock source board 4B31,1,KestrelLib 2.2.1", "9,1"},
  };
  for (const auto& [identity, callAnswer] : peers) {
    FakeDaemon peer(identity, callAnswer);
    ASSERT_TRUE(peer.bound());
    void* r = vxclk_createInstance();
    const int32_t connected = vxclk_connect(r, peer.address().c_str());
    int32_t id = -7;
    if (identity.rfind("Kestrel,", 0) != 0) {
      EXPECT_EQ(connected, VXCLK_NOT_CONNECTED);
    } else {
      ASSERT_EQ(connected, VXCLK_OK);
      EXPECT_EQ(vxclk_getBoardID(r, &id), VXCLK_FAILED) << callAnswer;
      EXPECT_EQ(id, -7) << callAnswer;
      EXPECT_EQ(vxclk_getBoardID(r, &id), VXCLK_FAILED) << "a dropped connection fails at once";
    }
    vxclk_destroyInstance(r);
  }
}

}  // namespace
}  // namespace kestrel::testing
