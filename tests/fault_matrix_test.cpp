// The fault matrix: every export that talks to the board, with a fault at
// each of its exchanges. Whatever breaks, the call never reports success, an
// output it promises to leave alone stays alone, the next call fails at once
// and a new connect recovers.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "api/api_instance.h"
#include "support/board_fixture.h"

namespace kestrel::testing {
namespace {

namespace p = protocol;
using sim::FrameKind;

// Short enough that stalls and cut answers keep the matrix quick.
constexpr int kFaultTimeoutMs = 150;
// Connect's first frames: two reads of the board ID, two writes of the memory pointer.
constexpr int kShapeProbes = 4;

// One export with realistic arguments. `prepare` runs first on a healthy
// link (enables a setter needs); `call` is the call under test and writes its
// outputs into `out`, which starts filled with 0xA5 bytes; `keepsOutput` says
// the call promises to leave `out` alone when it fails.
struct ExportCase {
  using Call = std::function<int32_t(void*, uint8_t* out)>;
  using Prepare = std::function<void(void*)>;
  ExportCase(const char* n, Call c, Prepare p = {}, bool keeps = false, bool unconnected = false)
      : name(n), call(std::move(c)), prepare(std::move(p)), keepsOutput(keeps), fromUnconnected(unconnected) {}
  const char* name;
  Call call;
  Prepare prepare;  // may be empty
  bool keepsOutput;
  bool fromUnconnected;  // vxclk_connect itself
};

// Test names and messages show the export, not the bytes of the case.
void PrintTo(const ExportCase& c, std::ostream* os) { *os << c.name; }

template <typename T>
T* as(uint8_t* out) {
  return reinterpret_cast<T*>(out);
}

std::vector<ExportCase> exportCases() {
  const auto enable = [](int32_t (*enabler)(void*, int32_t)) { return [enabler](void* h) { enabler(h, 1); }; };
  static const double kRow[7] = {0, 0, 0, 1, 0, 0, 4095};
  return {
      {"connect", nullptr, {}, false, true},
      {"getBoardID", [](void* h, uint8_t* o) { return vxclk_getBoardID(h, as<int32_t>(o)); }, {}, true},
      {"getSerialNumber", [](void* h, uint8_t* o) { return vxclk_getSerialNumber(h, as<uint64_t>(o)); }, {}, true},
      {"checkVCOLock", [](void* h, uint8_t* o) { return vxclk_checkVCOLock(h, as<int32_t>(o)); }},
      {"checkVCOVoltage", [](void* h, uint8_t* o) { return vxclk_checkVCOVoltage(h, as<double>(o)); }},
      {"setClockRead", [](void* h, uint8_t* o) { return vxclk_setClock(h, 0, 0, 20, as<uint16_t>(o)); }},
      {"setClockWrite",
       [](void* h, uint8_t*) {
         uint16_t v = 0x1234;
         return vxclk_setClock(h, 1, 0, 300, &v);
       }},
      {"getTemperature", [](void* h, uint8_t* o) { return vxclk_getTemperature(h, 1, as<int32_t>(o)); }, {}, true},
      {"getEEPROMAddress", [](void* h, uint8_t* o) { return vxclk_getEEPROMAddress(h, 1000, as<double>(o)); }, {},
       true},
      {"writeEEPROMAddress",
       [](void* h, uint8_t*) {
         const double v = 2.5;
         return vxclk_writeEEPROMAddress(h, 1000, &v);
       }},
      {"saveFMCalibrationValues", [](void* h, uint8_t*) { return vxclk_saveFMCalibrationValues(h, 1.0, 3, kRow); }},
      {"enableFM", [](void* h, uint8_t*) { return vxclk_enableFM(h, 1); }},
      {"setFMFrequency", [](void* h, uint8_t*) { return vxclk_setFMFrequency(h, 4); }},
      {"setCustomFMFrequency", [](void* h, uint8_t*) { return vxclk_setCustomFMFrequency(h, 1.2); }},
      {"setFMAmplitude", [](void* h, uint8_t*) { return vxclk_setFMAmplitude(h, 300); }},
      {"setFMPhaseSkew", [](void* h, uint8_t*) { return vxclk_setFMPhaseSkew(h, 7); }},
      {"setFMRJAmplitude", [](void* h, uint8_t*) { return vxclk_setFMRJAmplitude(h, 9); }},
      {"enableTx2PM", [](void* h, uint8_t*) { return vxclk_enableTx2PM(h, 1); }},
      {"setTx2PMFrequency", [](void* h, uint8_t*) { return vxclk_setTx2PMFrequency(h, 12.5); }},
      {"setTx2PMAmplitude", [](void* h, uint8_t*) { return vxclk_setTx2PMAmplitude(h, 100); },
       enable(vxclk_enableTx2PM)},
      {"setTx2PMPhaseShiftAmplitude", [](void* h, uint8_t*) { return vxclk_setTx2PMPhaseShiftAmplitude(h, 50); },
       enable(vxclk_enableTx2PM)},
      {"enableTx2PMRJ", [](void* h, uint8_t*) { return vxclk_enableTx2PMRJ(h, 1); }},
      {"setTx2PMRJAmplitude", [](void* h, uint8_t*) { return vxclk_setTx2PMRJAmplitude(h, 20); },
       enable(vxclk_enableTx2PMRJ)},
      {"enableTx2PMBUJ", [](void* h, uint8_t*) { return vxclk_enableTx2PMBUJ(h, 1); }},
      {"setTx2PMBUJAmplitude", [](void* h, uint8_t*) { return vxclk_setTx2PMBUJAmplitude(h, 30); },
       enable(vxclk_enableTx2PMBUJ)},
      {"setTx2PMBUJLineRate", [](void* h, uint8_t*) { return vxclk_setTx2PMBUJLineRate(h, 3); }},
      {"setTx2BUJAmplitude", [](void* h, uint8_t*) { return vxclk_setTx2BUJAmplitude(h, 40); }},
      {"setTx2BUJPRBS", [](void* h, uint8_t*) { return vxclk_setTx2BUJPRBS(h, 7, 1); }},
      {"setTx2BUJUserDefinedPattern",
       [](void* h, uint8_t*) { return vxclk_setTx2BUJUserDefinedPattern(h, 0xDEADBEEF); }},
      {"enableTx2AM", [](void* h, uint8_t*) { return vxclk_enableTx2AM(h, 1); }},
      {"setTx2AMAmplitude", [](void* h, uint8_t*) { return vxclk_setTx2AMAmplitude(h, 60); },
       enable(vxclk_enableTx2AM)},
      {"setTx2AMRJAmplitude", [](void* h, uint8_t*) { return vxclk_setTx2AMRJAmplitude(h, 70); }},
      {"setClockSource", [](void* h, uint8_t*) { return vxclk_setClockSource(h, 3); }},
      {"generateClock", [](void* h, uint8_t*) { return vxclk_generateClock(h, 1800.0, 19); }},
      {"setTx1Power", [](void* h, uint8_t*) { return vxclk_setTx1Power(h, 10); }},
      {"setTx2Power", [](void* h, uint8_t*) { return vxclk_setTx2Power(h, 2000); }},
      {"setTx2Divider", [](void* h, uint8_t*) { return vxclk_setTx2Divider(h, 3); }},
      {"getActiveConfig", [](void* h, uint8_t* o) { return vxclk_getActiveConfig(h, as<ActiveConfig>(o)); }, {},
       true},
  };
}

enum class Fault { Reset, Close, Stall, ShortAnswer };
const char* faultName(Fault f) {
  switch (f) {
    case Fault::Reset: return "reset";
    case Fault::Close: return "close";
    case Fault::Stall: return "stall";
    case Fault::ShortAnswer: return "short answer";
  }
  return "?";
}

// Exchange indices (1-based) where a fault is injected. Calls with hundreds
// of slow memory reads (10 ms pauses per byte) are sampled; the others get
// every index.
// KESTREL_FAULT_SAMPLE=N keeps about N indices per call: for slow hosts
// (the Windows build under Wine), where the whole matrix would take many minutes.
int sampleLimit() {
  const char* text = std::getenv("KESTREL_FAULT_SAMPLE");
  const int limit = text != nullptr ? std::atoi(text) : 0;
  return limit > 0 ? limit : 0;
}

std::set<int> spread(int exchanges, int count) {
  std::set<int> indices{1, exchanges};
  for (int i = 1; i < count; ++i) indices.insert(1 + (exchanges - 1) * i / count);
  return indices;
}

std::set<int> resetAndCloseIndices(int exchanges) {
  if (const int limit = sampleLimit()) return spread(exchanges, limit);
  std::set<int> indices;
  constexpr int kEveryIndexUpTo = 300;
  if (exchanges <= kEveryIndexUpTo) {
    for (int k = 1; k <= exchanges; ++k) indices.insert(k);
    return indices;
  }
  for (int k = 1; k <= 17; ++k) indices.insert(k);
  for (int k : {exchanges / 2, exchanges - 1, exchanges}) indices.insert(k);
  return indices;
}

// Stalls and short answers wait for the time-out: a few indices of each call.
std::set<int> sampledIndices(const std::vector<int>& candidates) {
  std::set<int> indices;
  if (candidates.empty()) return indices;
  for (size_t i : {size_t{0}, candidates.size() / 2, candidates.size() - 1}) indices.insert(candidates[i]);
  return indices;
}

struct Totals {
  int exports = 0, cases = 0, wrong = 0;
} totals;

// The size of the whole matrix, when one program runs all of it.
class PrintTotals : public ::testing::Environment {
  void TearDown() override {
    if (totals.exports > 1)
      std::printf("[ matrix   ] %d exports, %d fault cases, %d wrong\n", totals.exports, totals.cases, totals.wrong);
  }
};
const auto* const kPrintTotals = ::testing::AddGlobalTestEnvironment(new PrintTotals);

class FaultMatrix : public ::testing::TestWithParam<ExportCase> {
 protected:
  void SetUp() override {
    if (realBoardAddress() != nullptr) GTEST_SKIP() << "needs the emulator's fault injection";
  }
  void TearDown() override { vxclk_destroyInstance(instance); }

  // A fresh instance, connected and prepared, on the shared emulator.
  void freshInstance() {
    vxclk_destroyInstance(instance);
    board->clearFaults();
    instance = vxclk_createInstance();
    if (GetParam().fromUnconnected) return;
    ASSERT_EQ(vxclk_connect(instance, board.address().c_str()), VXCLK_OK);
    if (GetParam().prepare) GetParam().prepare(instance);
  }

  void setFaultTimeout() { static_cast<ApiInstance*>(instance)->device.link.exchangeTimeoutMs = kFaultTimeoutMs; }

  int32_t callUnderTest(uint8_t* out) {
    if (GetParam().fromUnconnected) return vxclk_connect(instance, board.address().c_str());
    return GetParam().call(instance, out);
  }

  void inject(Fault fault, int index) {
    switch (fault) {
      case Fault::Reset: board->resetAfterFrames(index); break;
      case Fault::Close: board->closeAfterFrames(index); break;
      case Fault::Stall: board->stallAfterFrames(index); break;
      case Fault::ShortAnswer: board->shortAnswersAfterFrames(index, 2); break;
    }
  }

  // The frames of one healthy call, in order.
  std::vector<sim::FrameRecord> healthyRun() {
    freshInstance();
    board->clearFrames();
    uint8_t out[sizeof(ActiveConfig)];
    EXPECT_EQ(callUnderTest(out), VXCLK_OK) << "without a fault";
    return board->frames();
  }

  // `fallsBack`: a fault on connect's check of frames sent back to back,
  // after which connect goes on one frame at a time on a new connection.
  void runCase(Fault fault, int index, bool fallsBack = false) {
    SCOPED_TRACE(std::string(faultName(fault)) + " at exchange " + std::to_string(index));
    freshInstance();
    // Only faults that wait for the time limit need a short one.
    if (fault == Fault::Stall || fault == Fault::ShortAnswer) setFaultTimeout();
    uint8_t out[sizeof(ActiveConfig)];
    std::memset(out, 0xA5, sizeof out);
    inject(fault, index);
    const int32_t status = callUnderTest(out);
    ++cases;
    if (fallsBack) {
      board->clearFaults();
      int32_t id = 0;
      EXPECT_EQ(status, VXCLK_OK);
      EXPECT_EQ(vxclk_getBoardID(instance, &id), VXCLK_OK) << "connect fell back to one frame at a time";
      EXPECT_FALSE(static_cast<ApiInstance*>(instance)->device.link.pipelining());
      return;
    }
    EXPECT_TRUE(status == VXCLK_FAILED || status == VXCLK_NOT_CONNECTED) << "status " << status;
    if (status == VXCLK_OK) ++wrong;
    if (GetParam().keepsOutput) {
      for (size_t i = 0; i < sizeof out; ++i) ASSERT_EQ(out[i], 0xA5) << "output byte " << i << " was written";
    }

    // The next call fails at once, without a frame on the wire.
    board->clearFaults();
    const uint64_t framesBefore = board->frameCount();
    int32_t id = 0;
    EXPECT_NE(vxclk_getBoardID(instance, &id), VXCLK_OK);
    EXPECT_EQ(board->frameCount(), framesBefore);

    // The recovery runs with the usual time limit: a loaded machine must not
    // make it fail.
    static_cast<ApiInstance*>(instance)->device.link.exchangeTimeoutMs = p::kExchangeTimeoutMs;
    ASSERT_EQ(vxclk_connect(instance, board.address().c_str()), VXCLK_OK) << "connect recovers";
    EXPECT_EQ(vxclk_getBoardID(instance, &id), VXCLK_OK);
  }

  EmulatorBoard board;
  void* instance = nullptr;
  int cases = 0;
  int wrong = 0;
};

TEST_P(FaultMatrix, NeverSuccessAfterAFailedExchange) {
  const auto frames = healthyRun();
  const int exchanges = static_cast<int>(frames.size());
  ASSERT_GT(exchanges, 0);
  std::vector<int> all, reads;
  for (int k = 1; k <= exchanges; ++k) {
    all.push_back(k);
    const FrameKind kind = frames[k - 1].kind;
    if (kind == FrameKind::RegisterRead || kind == FrameKind::BlockRead) reads.push_back(k);
  }
  // Connect checks frames sent back to back with two reads of the board ID
  // after the four that learn the answer shape.
  const auto fallsBack = [&](int k) {
    return GetParam().fromUnconnected && k > kShapeProbes && frames[k - 1].kind == FrameKind::RegisterRead &&
           frames[k - 1].reg == p::reg::kBoardId;
  };
  for (int k : resetAndCloseIndices(exchanges))
    for (Fault f : {Fault::Reset, Fault::Close}) runCase(f, k, fallsBack(k));
  for (int k : sampledIndices(all)) runCase(Fault::Stall, k, fallsBack(k));
  // A cut answer is only short for a read: a write needs any answer at all.
  for (int k : sampledIndices(reads)) runCase(Fault::ShortAnswer, k, fallsBack(k));
  std::printf("[ matrix   ] %s: %d exchanges, %d fault cases, %d wrong\n", GetParam().name, exchanges, cases, wrong);
  totals.exports += 1;
  totals.cases += cases;
  totals.wrong += wrong;
  EXPECT_EQ(wrong, 0);
}

INSTANTIATE_TEST_SUITE_P(Exports, FaultMatrix, ::testing::ValuesIn(exportCases()),
                         [](const ::testing::TestParamInfo<ExportCase>& info) { return info.param.name; });

}  // namespace
}  // namespace kestrel::testing
