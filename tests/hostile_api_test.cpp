// Thousands of random calls through the C interface against a hostile board
// (answers split and delayed, extra bytes, late tails, stray bytes after the
// next frame, resets and closes): a call may fail, but a call that succeeds
// has read its own register, never a neighbour's bytes, and a write that
// succeeds is on the board.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "api/api_instance.h"
#include "support/board_fixture.h"

namespace kestrel::testing {
namespace {

namespace p = protocol;

// Per board kind below; KESTREL_HOSTILE_CALLS runs a longer session by hand.
const int kCalls = [] {
  const char* text = std::getenv("KESTREL_HOSTILE_CALLS");
  return text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : 2500;
}();
constexpr uint32_t kSeed = 20261207;
constexpr uint16_t kScratchPage = 3;
constexpr uint16_t kScratchFirst = 100;
constexpr int kScratchCount = 16;
constexpr uint32_t kMemoryFirst = 40000;
constexpr int kMemorySlots = 8;
// A library that hangs on a desynchronised stream must still end the test.
constexpr auto kRunLimit = std::chrono::seconds(150);

struct Session {
  sim::BoardEmulator& board;
  std::mt19937 random{kSeed};
  int wrong = 0;
  int reads = 0;   // successful reads and writes checked against the board
  int writes = 0;

  unsigned below(unsigned n) { return static_cast<unsigned>(random() % n); }
  uint16_t scratch() { return static_cast<uint16_t>(kScratchFirst + below(kScratchCount)); }
  uint32_t memorySlot() { return kMemoryFirst + 8 * below(kMemorySlots); }

  template <typename T>
  void expect(const char* what, T got, T held) {
    ++(std::strstr(what, "write") != nullptr ? writes : reads);
    if (got == held) return;
    if (++wrong <= 10) ADD_FAILURE() << what << ": the host has " << got << ", the board " << held;
  }
};

uint64_t bits(double d) {
  uint64_t b = 0;
  std::memcpy(&b, &d, sizeof b);
  return b;
}

uint64_t boardSerial(sim::BoardEmulator& board) {
  uint64_t serial = 0;
  for (int word = 3; word >= 0; --word) serial = (serial << 16) | board.registerValue(0, p::reg::kSerial0 + word);
  return serial;
}

int32_t readScratch(void* h, Session& r) {
  const uint16_t reg = r.scratch();
  uint16_t value = 0;
  const int32_t status = vxclk_setClock(h, 0, kScratchPage, reg, &value);
  if (status == 0) r.expect("register read", value, r.board.registerValue(kScratchPage, reg));
  return status;
}

int32_t writeScratch(void* h, Session& r) {
  const uint16_t reg = r.scratch();
  uint16_t value = static_cast<uint16_t>(r.random());
  const uint16_t written = value;
  const int32_t status = vxclk_setClock(h, 1, kScratchPage, reg, &value);
  if (status == 0) r.expect("register write", written, r.board.registerValue(kScratchPage, reg));
  return status;
}

// A call that reads one register into an int32_t, compared with the board's.
int32_t intRead(Session& r, const char* what, uint16_t page, uint16_t reg,
                const std::function<int32_t(int32_t*)>& call) {
  int32_t value = -1;
  const int32_t status = call(&value);
  if (status == 0) r.expect(what, value, static_cast<int32_t>(r.board.registerValue(page, reg)));
  return status;
}

int32_t boardId(void* h, Session& r) {
  return intRead(r, "board ID", 0, p::reg::kBoardId, [h](int32_t* v) { return vxclk_getBoardID(h, v); });
}

int32_t temperature(void* h, Session& r) {
  const auto sensor = static_cast<uint16_t>(r.below(2));
  return intRead(r, "temperature", sensor, p::reg::kTemperature,
                 [h, sensor](int32_t* v) { return vxclk_getTemperature(h, sensor, v); });
}

int32_t vcoLock(void* h, Session& r) {
  return intRead(r, "VCO lock", 0, p::reg::kVcoLock, [h](int32_t* v) { return vxclk_checkVCOLock(h, v); });
}

int32_t vcoVoltage(void* h, Session& r) {
  double volts = -1;
  const int32_t status = vxclk_checkVCOVoltage(h, &volts);
  if (status == 0) r.expect("VCO voltage", volts, r.board.registerValue(0, p::reg::kVcoVoltage) / 1000.0);
  return status;
}

int32_t serialNumber(void* h, Session& r) {
  uint64_t serial = 0;
  const int32_t status = vxclk_getSerialNumber(h, &serial);
  if (status == 0) r.expect("serial number", serial, boardSerial(r.board));
  return status;
}

int32_t readMemory(void* h, Session& r) {
  const uint32_t address = r.memorySlot();
  double value = 0;
  const int32_t status = vxclk_getEEPROMAddress(h, address, &value);
  if (status == 0) r.expect("memory read", bits(value), bits(r.board.memoryDouble(address)));
  return status;
}

int32_t writeMemory(void* h, Session& r) {
  const uint32_t address = r.memorySlot();
  const double value = static_cast<double>(r.random()) / 7.0;
  const int32_t status = vxclk_writeEEPROMAddress(h, address, &value);
  if (status == 0) r.expect("memory write", bits(value), bits(r.board.memoryDouble(address)));
  return status;
}

struct Call {
  const char* name;
  unsigned weight;
  int32_t (*run)(void*, Session&);
};

const std::vector<Call> kMix = {
    {"setClock read", 30, readScratch}, {"setClock write", 25, writeScratch},
    {"getBoardID", 10, boardId},        {"getTemperature", 10, temperature},
    {"checkVCOLock", 5, vcoLock},       {"checkVCOVoltage", 5, vcoVoltage},
    {"getSerialNumber", 5, serialNumber}, {"getEEPROMAddress", 4, readMemory},
    {"writeEEPROMAddress", 4, writeMemory},
};

const Call& pick(Session& r) {
  unsigned total = 0;
  for (const Call& c : kMix) total += c.weight;
  unsigned ticket = r.below(total);
  for (const Call& c : kMix) {
    if (ticket < c.weight) return c;
    ticket -= c.weight;
  }
  return kMix.back();
}

// Distinct values everywhere, so a read given another register's bytes shows.
void fillBoard(sim::BoardEmulator& board) {
  for (int i = 0; i < kScratchCount; ++i) {
    board.setRegister(kScratchPage, static_cast<uint16_t>(kScratchFirst + i), static_cast<uint16_t>(0x1111 * (i + 1)));
  }
  for (int i = 0; i < kMemorySlots; ++i) board.setMemoryDouble(kMemoryFirst + 8u * i, 1000.5 + i);
}

bool pipelining(void* h) { return static_cast<ApiInstance*>(h)->device.link.pipelining(); }

struct Connects {
  int all = 0;
  int pipelined = 0;
};

bool reconnect(void* h, const std::string& address, Connects& connects) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    ++connects.all;
    if (vxclk_connect(h, address.c_str()) == VXCLK_OK) {
      connects.pipelined += pipelining(h) ? 1 : 0;
      return true;
    }
  }
  return false;
}

// A board that pads its answers gets one frame at a time; one that does not
// gets frames ahead of answers.
sim::HostileOptions hostile(bool padded) {
  sim::HostileOptions o;
  o.seed = kSeed;
  o.maxPieces = 3;
  o.maxDelayMs = 1;  // pauses that split answers, short enough for thousands of calls
  o.maxExtraBytes = padded ? 8 : 0;
  o.resetPerMille = 10;
  o.closePerMille = 5;
  o.lateTailPerMille = 20;    // the rest of an answer 5 ms after its needed bytes
  o.strayBeforePerMille = 10;  // random bytes that reach the host after its frame went out
  return o;
}

class HostileBoard : public ::testing::TestWithParam<bool> {};

TEST_P(HostileBoard, EverySuccessfulReadReturnsTheRegisterItRead) {
  const bool padded = GetParam();
  EmulatorBoard board;
  fillBoard(*board);
  void* h = vxclk_createInstance();
  ASSERT_EQ(vxclk_connect(h, board.address().c_str()), VXCLK_OK);
  board->setFrameLogging(false);
  board->hostileAnswers(hostile(padded));

  Session run{*board};
  int calls = 0, successes = 0, failures = 0;
  Connects connects;
  const auto start = std::chrono::steady_clock::now();
  for (; calls < kCalls && std::chrono::steady_clock::now() - start < kRunLimit; ++calls) {
    const Call& call = pick(run);
    const int32_t status = call.run(h, run);
    if (status == VXCLK_OK) {
      ++successes;
      continue;
    }
    ++failures;
    EXPECT_TRUE(status == VXCLK_FAILED || status == VXCLK_NOT_CONNECTED) << call.name << " gave " << status;
    ASSERT_TRUE(reconnect(h, board.address(), connects)) << "no connect succeeded after " << call.name;
  }
  std::printf("hostile board, %s: %d calls (%d reads, %d writes checked), %d succeeded, %d failed, %d connects "
              "(%d pipelined), %d wrong results, %llu frames\n",
              padded ? "padded answers" : "unpadded answers", calls, run.reads, run.writes, successes, failures,
              connects.all, connects.pipelined, run.wrong, static_cast<unsigned long long>(board->frameCount()));
  EXPECT_EQ(calls, kCalls) << "the run took longer than its limit";
  EXPECT_EQ(run.wrong, 0);
  EXPECT_GT(failures, 0) << "the board never reset a connection";
  if (padded) {
    EXPECT_EQ(connects.pipelined, 0);
  } else {
    EXPECT_GT(connects.pipelined, connects.all / 2);
  }
  board->clearFaults();
  vxclk_disconnect(h);
  vxclk_destroyInstance(h);
}

INSTANTIATE_TEST_SUITE_P(Answers, HostileBoard, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Padded" : "Unpadded");
                         });

}  // namespace
}  // namespace kestrel::testing
