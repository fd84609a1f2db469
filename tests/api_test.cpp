// The C interface: order of the checks, connection handling, identity.
#include <gtest/gtest.h>

#include <cmath>
#include <atomic>
#include <functional>
#include <thread>

#include "support/board_fixture.h"

namespace kestrel::testing {
namespace {

namespace p = protocol;

struct ExportCall {
  const char* name;
  std::function<int32_t(void*)> call;
  bool needsConnection = true;
};

std::vector<ExportCall> everyExportTakingAnInstance() {
  static int32_t i32 = 0;
  static uint64_t u64 = 0;
  static double d = 0, d2 = 0;
  static uint16_t u16 = 0;
  static ActiveConfig config{};
  static const double values[7] = {};
  return {
      {"connect", [](void* h) { return vxclk_connect(h, "127.0.0.1"); }, false},
      {"disconnect", [](void* h) { return vxclk_disconnect(h); }, false},
      {"getBoardID", [](void* h) { return vxclk_getBoardID(h, &i32); }},
      {"getSerialNumber", [](void* h) { return vxclk_getSerialNumber(h, &u64); }},
      {"checkVCOLock", [](void* h) { return vxclk_checkVCOLock(h, &i32); }},
      {"checkVCOVoltage", [](void* h) { return vxclk_checkVCOVoltage(h, &d); }},
      {"setClock", [](void* h) { return vxclk_setClock(h, 0, 0, 20, &u16); }},
      {"getTemperature", [](void* h) { return vxclk_getTemperature(h, 0, &i32); }, false},
      {"getEEPROMAddress", [](void* h) { return vxclk_getEEPROMAddress(h, 0, &d); }},
      {"writeEEPROMAddress", [](void* h) { return vxclk_writeEEPROMAddress(h, 0, &d); }},
      {"saveFMCalibrationValues", [](void* h) { return vxclk_saveFMCalibrationValues(h, 1.0, 0, values); }},
      {"enableFM", [](void* h) { return vxclk_enableFM(h, 1); }},
      {"setFMFrequency", [](void* h) { return vxclk_setFMFrequency(h, 1); }},
      {"setCustomFMFrequency", [](void* h) { return vxclk_setCustomFMFrequency(h, 1.0); }},
      {"setFMAmplitude", [](void* h) { return vxclk_setFMAmplitude(h, 1); }},
      {"setFMPhaseSkew", [](void* h) { return vxclk_setFMPhaseSkew(h, 1); }},
      {"setFMRJAmplitude", [](void* h) { return vxclk_setFMRJAmplitude(h, 1); }},
      {"enableTx2PM", [](void* h) { return vxclk_enableTx2PM(h, 1); }},
      {"setTx2PMFrequency", [](void* h) { return vxclk_setTx2PMFrequency(h, 1.0); }},
      {"setTx2PMAmplitude", [](void* h) { return vxclk_setTx2PMAmplitude(h, 1); }},
      {"setTx2PMPhaseShiftAmplitude", [](void* h) { return vxclk_setTx2PMPhaseShiftAmplitude(h, 1); }},
      {"enableTx2PMRJ", [](void* h) { return vxclk_enableTx2PMRJ(h, 1); }},
      {"setTx2PMRJAmplitude", [](void* h) { return vxclk_setTx2PMRJAmplitude(h, 1); }},
      {"enableTx2PMBUJ", [](void* h) { return vxclk_enableTx2PMBUJ(h, 1); }},
      {"setTx2PMBUJAmplitude", [](void* h) { return vxclk_setTx2PMBUJAmplitude(h, 1); }},
      {"setTx2PMBUJLineRate", [](void* h) { return vxclk_setTx2PMBUJLineRate(h, 1); }},
      {"setTx2BUJAmplitude", [](void* h) { return vxclk_setTx2BUJAmplitude(h, 1); }},
      {"setTx2BUJPRBS", [](void* h) { return vxclk_setTx2BUJPRBS(h, 1, 1); }},
      {"setTx2BUJUserDefinedPattern", [](void* h) { return vxclk_setTx2BUJUserDefinedPattern(h, 1); }},
      {"enableTx2AM", [](void* h) { return vxclk_enableTx2AM(h, 1); }},
      {"setTx2AMAmplitude", [](void* h) { return vxclk_setTx2AMAmplitude(h, 1); }},
      {"setTx2AMRJAmplitude", [](void* h) { return vxclk_setTx2AMRJAmplitude(h, 1); }},
      {"setClockSource", [](void* h) { return vxclk_setClockSource(h, 1); }},
      {"generateClock", [](void* h) { return vxclk_generateClock(h, 1800.0, 19); }},
      {"setTx1Power", [](void* h) { return vxclk_setTx1Power(h, 1); }},
      {"setTx2Power", [](void* h) { return vxclk_setTx2Power(h, 1); }},
      {"setTx2Divider", [](void* h) { return vxclk_setTx2Divider(h, 1); }},
      {"getActiveConfig", [](void* h) { return vxclk_getActiveConfig(h, &config); }},
      {"initializeInstance", [](void* h) { return vxclk_initializeInstance(h, 0, nullptr); }},
      {"getMinMaxCalibration", [](void* h) { return vxclk_getMinMaxCalibration(h, 0, &d, &d2); }},
  };
}

TEST(ExportChecks, EveryFunctionRefusesANullInstanceWith4) {
  const auto calls = everyExportTakingAnInstance();
  EXPECT_EQ(calls.size(), 40u);  // with APIVersion, createInstance and destroyInstance: 43
  for (const auto& c : calls) EXPECT_EQ(c.call(nullptr), VXCLK_INVALID_INSTANCE) << c.name;
  vxclk_destroyInstance(nullptr);
}

TEST(ExportChecks, UnconnectedInstanceGives2WithoutTouchingTheBoard) {
  void* h = vxclk_createInstance();
  ASSERT_NE(h, nullptr);
  for (const auto& c : everyExportTakingAnInstance()) {
    if (c.needsConnection) {
      EXPECT_EQ(c.call(h), VXCLK_NOT_CONNECTED) << c.name;
    }
  }
  vxclk_destroyInstance(h);
}

TEST(ExportChecks, ArgumentChecksComeAfterTheConnectionTest) {
  void* h = vxclk_createInstance();
  EXPECT_EQ(vxclk_setCustomFMFrequency(h, 0.01), VXCLK_NOT_CONNECTED);
  EXPECT_EQ(vxclk_getBoardID(h, nullptr), VXCLK_NOT_CONNECTED);
  EXPECT_EQ(vxclk_getSerialNumber(h, nullptr), VXCLK_NOT_CONNECTED);
  EXPECT_EQ(vxclk_getMinMaxCalibration(h, 99, nullptr, nullptr), VXCLK_NOT_CONNECTED);
  vxclk_destroyInstance(h);
}

TEST(ExportChecks, TemperatureNeedsNoConnectionButFailsWithoutABoard) {
  void* h = vxclk_createInstance();
  int32_t t = -5;
  EXPECT_EQ(vxclk_getTemperature(h, 2, &t), VXCLK_OUT_OF_RANGE);
  EXPECT_EQ(vxclk_getTemperature(h, -1, &t), VXCLK_OUT_OF_RANGE);
  EXPECT_EQ(vxclk_getTemperature(h, 0, nullptr), VXCLK_OUT_OF_RANGE);
  EXPECT_EQ(vxclk_getTemperature(h, 0, &t), VXCLK_FAILED);
  EXPECT_EQ(t, -5);
  vxclk_destroyInstance(h);
}

TEST(ExportChecks, ApiVersionFillsTwelveBytes) {
  int32_t area[4] = {-1, -1, -1, -1};
  EXPECT_EQ(vxclk_APIVersion(area), area);
  EXPECT_EQ(area[0], 2);
  EXPECT_EQ(area[1], 2);
  EXPECT_EQ(area[2], 1);
  EXPECT_EQ(area[3], -1);
  EXPECT_EQ(vxclk_APIVersion(nullptr), nullptr);
}

TEST(Connection, NoBoardListeningGives2AndLeavesTheInstanceUnconnected) {
  void* h = vxclk_createInstance();
  EXPECT_EQ(vxclk_connect(h, unusedLoopbackAddress().c_str()), VXCLK_NOT_CONNECTED);
  int32_t id = 0;
  EXPECT_EQ(vxclk_getBoardID(h, &id), VXCLK_NOT_CONNECTED);
  EXPECT_EQ(vxclk_disconnect(h), VXCLK_NOT_CONNECTED);
  vxclk_destroyInstance(h);
}

TEST(Connection, MalformedAddressFailsWithoutTraffic) {
  EmulatorBoard board;
  void* h = vxclk_createInstance();
  EXPECT_EQ(vxclk_connect(h, "not-an-address"), VXCLK_NOT_CONNECTED);
  EXPECT_EQ(vxclk_connect(h, "127.1.0"), VXCLK_NOT_CONNECTED);
  EXPECT_EQ(vxclk_connect(h, nullptr), VXCLK_OUT_OF_RANGE);
  EXPECT_EQ(board->connectionsAccepted(), 0);
  vxclk_destroyInstance(h);
}

TEST(Connection, ConnectReadsTheCalibrationRowsAndReconnectWorks) {
  EmulatorBoard board;
  void* h = vxclk_createInstance();
  ASSERT_EQ(vxclk_connect(h, board.address().c_str()), VXCLK_OK);
  // The answer shape first: the board ID read twice, the memory pointer
  // written twice; then the board ID twice more, back to back (pipelining);
  // then the fourteen calibration rows.
  const auto frames = board->frames();
  ASSERT_EQ(frames.size(), 20u);
  for (int i : {0, 1, 4, 5}) {
    EXPECT_EQ(frames[i].kind, sim::FrameKind::RegisterRead);
    EXPECT_EQ(frames[i].reg, p::reg::kBoardId);
  }
  for (int i : {2, 3}) {
    EXPECT_EQ(frames[i].kind, sim::FrameKind::RegisterWrite);
    EXPECT_EQ(frames[i].reg, p::reg::kMemoryAddress);
  }
  for (int r = 0; r < 14; ++r) {
    EXPECT_EQ(frames[6 + r].kind, sim::FrameKind::BlockRead);
    EXPECT_EQ(frames[6 + r].address, p::calibrationAddress(r, 0));
  }
  ASSERT_EQ(vxclk_connect(h, board.address().c_str()), VXCLK_OK);  // again while connected
  int32_t id = 0;
  EXPECT_EQ(vxclk_getBoardID(h, &id), VXCLK_OK);
  EXPECT_EQ(vxclk_disconnect(h), VXCLK_OK);
  EXPECT_EQ(vxclk_getBoardID(h, &id), VXCLK_NOT_CONNECTED);
  EXPECT_EQ(vxclk_disconnect(h), VXCLK_NOT_CONNECTED);  // nothing left to close
  ASSERT_EQ(vxclk_connect(h, board.address().c_str()), VXCLK_OK);
  EXPECT_EQ(vxclk_getBoardID(h, &id), VXCLK_OK);
  vxclk_destroyInstance(h);  // closes the socket it still holds
}

using Identity = ConnectedBoard;

TEST_F(Identity, BoardIdAndRawRegisterAccess) {
  KESTREL_REQUIRE_EMULATOR();
  (*board)->setRegister(0, 20, 0x1234);
  int32_t id = 0;
  EXPECT_EQ(vxclk_getBoardID(instance, &id), VXCLK_OK);
  EXPECT_EQ(id, 0x1234);
  EXPECT_EQ(vxclk_getBoardID(instance, nullptr), VXCLK_FAILED);
  uint16_t value = 0;
  EXPECT_EQ(vxclk_setClock(instance, 0, 0, 20, &value), VXCLK_OK);
  EXPECT_EQ(value, 0x1234);
  value = 0xABCD;
  EXPECT_EQ(vxclk_setClock(instance, 1, 3, 700, &value), VXCLK_OK);
  EXPECT_EQ((*board)->registerValue(3, 700), 0xABCD);
  EXPECT_EQ(vxclk_setClock(instance, 0, 0, 20, nullptr), VXCLK_OUT_OF_RANGE);
}

struct SerialCase {
  std::array<uint16_t, 5> words;  // registers 21..25
  uint64_t expected;
};

class SerialNumbers : public ConnectedBoard, public ::testing::WithParamInterface<SerialCase> {};

TEST_P(SerialNumbers, LongFormWhenValidElseShortFormSignExtended) {
  KESTREL_REQUIRE_EMULATOR();
  const auto& c = GetParam();
  for (int i = 0; i < 5; ++i) (*board)->setRegister(0, static_cast<uint16_t>(21 + i), c.words[i]);
  uint64_t serial = 0;
  EXPECT_EQ(vxclk_getSerialNumber(instance, &serial), VXCLK_OK);
  EXPECT_EQ(serial, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SerialNumbers,
    ::testing::Values(SerialCase{{1, 2, 3, 0, 0}, 0x0000000300020001ull},  // 0 / 5 == 0
                      SerialCase{{1, 2, 3, 7, 35}, 0x0007000300020001ull},
                      SerialCase{{1, 2, 3, 7, 39}, 0x0007000300020001ull},
                      SerialCase{{1, 2, 3, 7, 40}, 0x0000000000020001ull},
                      SerialCase{{0x0001, 0x8000, 3, 7, 40}, 0xFFFFFFFF80000001ull}));

using Health = ConnectedBoard;

TEST_F(Health, VcoLockAndVoltageScaling) {
  KESTREL_REQUIRE_EMULATOR();
  (*board)->setRegister(0, 1047, 1);
  (*board)->setRegister(0, 1048, 2500);
  int32_t lock = 0;
  double volts = 0;
  EXPECT_EQ(vxclk_checkVCOLock(instance, &lock), VXCLK_OK);
  EXPECT_EQ(lock, 1);
  EXPECT_EQ(vxclk_checkVCOVoltage(instance, &volts), VXCLK_OK);
  EXPECT_DOUBLE_EQ(volts, 2.5);
  EXPECT_EQ(vxclk_checkVCOLock(instance, nullptr), VXCLK_OUT_OF_RANGE);
  EXPECT_EQ(vxclk_checkVCOVoltage(instance, nullptr), VXCLK_OUT_OF_RANGE);
}

TEST_F(Health, FailedReadsAreReportedAndLeaveValuesUntouched) {
  KESTREL_REQUIRE_EMULATOR();
  (*board)->resetAfterFrames(1);
  int32_t id = -7;
  EXPECT_EQ(vxclk_getBoardID(instance, &id), VXCLK_FAILED);
  EXPECT_EQ(id, -7);
  uint64_t serial = 99;
  EXPECT_EQ(vxclk_getSerialNumber(instance, &serial), VXCLK_FAILED);
  EXPECT_EQ(serial, 99u);
  int32_t lock = 0;
  EXPECT_EQ(vxclk_checkVCOLock(instance, &lock), VXCLK_FAILED);
  double volts = 0;
  EXPECT_EQ(vxclk_checkVCOVoltage(instance, &volts), VXCLK_FAILED);
  uint16_t value = 0;
  EXPECT_EQ(vxclk_setClock(instance, 0, 0, 20, &value), VXCLK_FAILED);
  // A new connect recovers.
  reconnect();
  EXPECT_EQ(vxclk_getBoardID(instance, &id), VXCLK_OK);
}

TEST_F(Health, StalledBoardTimesOutInsteadOfHanging) {
  KESTREL_REQUIRE_EMULATOR();
  (*board)->stallAfterFrames(1);
  int32_t lock = 0;
  EXPECT_EQ(vxclk_checkVCOLock(instance, &lock), VXCLK_FAILED);
  const uint64_t frames = (*board)->frameCount();
  EXPECT_EQ(vxclk_checkVCOLock(instance, &lock), VXCLK_FAILED);
  EXPECT_EQ((*board)->frameCount(), frames);
}

// Eight instances on eight threads, each on its own board, with clocks,
// modulation, memory and register traffic, and a reset now and then: no
// instance may see another's state. Run under ThreadSanitizer in CI.
TEST(Threads, SeparateInstancesWorkInParallel) {
  if (realBoardAddress() != nullptr) GTEST_SKIP() << "needs one emulator per thread";
  constexpr int kInstances = 8;
  std::vector<std::unique_ptr<EmulatorBoard>> boards;
  for (int i = 0; i < kInstances; ++i) boards.push_back(std::make_unique<EmulatorBoard>());
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int i = 0; i < kInstances; ++i) {
    threads.emplace_back([&, i] {
      void* h = vxclk_createInstance();
      const auto expect = [&](bool ok) {
        if (!ok) ++failures;
      };
      expect(vxclk_connect(h, boards[i]->address().c_str()) == VXCLK_OK);
      expect(vxclk_generateClock(h, 1000.0 + 100 * i, 19) == VXCLK_OK);
      expect(vxclk_setFMAmplitude(h, 10 * i) == VXCLK_OK);
      const double stored = i;
      expect(vxclk_writeEEPROMAddress(h, 1000, &stored) == VXCLK_OK);
      (*boards[i])->resetAfterFrames(20);
      for (int k = 0; k < 40; ++k) {
        uint16_t v = static_cast<uint16_t>(i * 1000 + k);
        uint16_t back = 0;
        if (vxclk_setClock(h, 1, 0, 300, &v) != VXCLK_OK || vxclk_setClock(h, 0, 0, 300, &back) != VXCLK_OK) {
          expect(k == 9);  // the reset at the 20th frame
          expect(vxclk_connect(h, boards[i]->address().c_str()) == VXCLK_OK);
          continue;
        }
        expect(back == v);
      }
      expect(std::abs((*boards[i])->synthState().outputA - (1000.0 + 100 * i)) < 1e-6);
      vxclk_disconnect(h);
      vxclk_destroyInstance(h);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace kestrel::testing
