// Board memory: the byte path through registers 10 and 11, block reads,
// calibration rows and tag, temperature, and the configuration readback.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "device/clock_source_api.h"
#include "support/board_fixture.h"

namespace kestrel::testing {
namespace {

namespace p = protocol;
using S = p::SettingIndex;

uint64_t bitsOf(double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits;
}

double fromBits(uint64_t bits) {
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

using MemoryStore = ConnectedBoard;

TEST_F(MemoryStore, DoubleGoesOutOneByteAtATimeInAscendingOrder) {
  KESTREL_REQUIRE_EMULATOR();
  const double one = 1.0;
  ASSERT_EQ(vxclk_writeEEPROMAddress(instance, 8192, &one), VXCLK_OK);
  const auto writes = registerWrites((*board)->frames());
  ASSERT_EQ(writes.size(), 16u);
  const uint8_t expected[8] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF0, 0x3F};
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(writes[2 * i].reg, p::reg::kMemoryAddress);
    EXPECT_EQ(writes[2 * i].value, 8192 + i);
    EXPECT_EQ(writes[2 * i + 1].reg, p::reg::kMemoryData);
    EXPECT_EQ(writes[2 * i + 1].value, expected[i]);
  }
  EXPECT_EQ((*board)->readMemory(8192, 8), std::vector<uint8_t>(expected, expected + 8));
}

TEST_F(MemoryStore, RoundTripsAreBitIdentical) {
  const double values[] = {-0.0, fromBits(0x7FF8DEADBEEF0001ull), fromBits(0xFFF0000000000001ull),
                           std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                           std::numeric_limits<double>::denorm_min(), 123456.789};
  uint32_t address = 30000;
  for (double v : values) {
    ASSERT_EQ(vxclk_writeEEPROMAddress(instance, address, &v), VXCLK_OK);
    double back = 0;
    ASSERT_EQ(vxclk_getEEPROMAddress(instance, address, &back), VXCLK_OK);
    EXPECT_EQ(bitsOf(back), bitsOf(v)) << std::hex << bitsOf(v);
    address += 8;
  }
}

TEST_F(MemoryStore, AddressesThatWouldRunPastTheMemoryAreRefusedWithoutTraffic) {
  KESTREL_REQUIRE_EMULATOR();
  const double v = 1.0;
  double out = 0;
  for (uint32_t address : {65529u, 65535u, 65536u, 0xFFFFFFFFu}) {
    EXPECT_EQ(vxclk_writeEEPROMAddress(instance, address, &v), VXCLK_OUT_OF_RANGE) << address;
    EXPECT_EQ(vxclk_getEEPROMAddress(instance, address, &out), VXCLK_OUT_OF_RANGE) << address;
  }
  EXPECT_EQ(vxclk_writeEEPROMAddress(instance, 100, nullptr), VXCLK_OUT_OF_RANGE);
  EXPECT_EQ(vxclk_getEEPROMAddress(instance, 100, nullptr), VXCLK_OUT_OF_RANGE);
  EXPECT_TRUE((*board)->frames().empty());
  EXPECT_EQ(vxclk_writeEEPROMAddress(instance, 65528, &v), VXCLK_OK);
  EXPECT_EQ((*board)->memoryDouble(65528), 1.0);
}

TEST_F(MemoryStore, WriteStopsAtTheFirstFailedRegisterWrite) {
  KESTREL_REQUIRE_EMULATOR();
  (*board)->resetAfterFrames(5);  // the address write of the third byte
  const double v = 2.0;
  EXPECT_EQ(vxclk_writeEEPROMAddress(instance, 40000, &v), VXCLK_FAILED);
  const auto writes = registerWrites((*board)->frames());
  ASSERT_EQ(writes.size(), 5u);  // address, data, address, data, then the address write that failed
  EXPECT_EQ(writes[4].reg, p::reg::kMemoryAddress);
}

TEST_F(MemoryStore, FailedReadLeavesTheCallersValueAlone) {
  KESTREL_REQUIRE_EMULATOR();
  (*board)->resetAfterFrames(3);
  double out = 42.0;
  EXPECT_EQ(vxclk_getEEPROMAddress(instance, 1000, &out), VXCLK_FAILED);
  EXPECT_EQ(out, 42.0);
}

TEST_F(MemoryStore, SaveCalibrationRowWritesTagAndRowAndTakesEffectAtNextConnect) {
  KESTREL_REQUIRE_EMULATOR();
  const double row[7] = {1, 2, 3, 4, 5, 6, 7};
  ASSERT_EQ(vxclk_saveFMCalibrationValues(instance, 3.0, 13, row), VXCLK_OK);
  EXPECT_EQ((*board)->memoryDouble(20430), 3.0);
  for (int j = 0; j < 7; ++j) EXPECT_EQ((*board)->memoryDouble(21208 + 8 * j), row[j]);
  double lo = -1, hi = -1;
  // Not in force until a source is chosen after the next connect.
  ASSERT_EQ(vxclk_initializeInstance(instance, 1, nullptr), VXCLK_OK);
  ASSERT_EQ(vxclk_getMinMaxCalibration(instance, 13, &lo, &hi), VXCLK_OK);
  EXPECT_TRUE(std::isnan(lo) || lo != 6.0);
  reconnect();
  ASSERT_EQ(vxclk_initializeInstance(instance, 1, nullptr), VXCLK_OK);
  ASSERT_EQ(vxclk_getMinMaxCalibration(instance, 13, &lo, &hi), VXCLK_OK);
  EXPECT_EQ(lo, 6.0);
  EXPECT_EQ(hi, 7.0);
}

TEST_F(MemoryStore, SaveCalibrationRefusesRowsBeyondTheTable) {
  KESTREL_REQUIRE_EMULATOR();
  const double row[7] = {};
  EXPECT_EQ(vxclk_saveFMCalibrationValues(instance, 1.0, 14, row), VXCLK_OUT_OF_RANGE);
  EXPECT_EQ(vxclk_saveFMCalibrationValues(instance, 1.0, 0, nullptr), VXCLK_OUT_OF_RANGE);
  EXPECT_TRUE((*board)->frames().empty());
  (*board)->resetAfterFrames(20);
  EXPECT_EQ(vxclk_saveFMCalibrationValues(instance, 1.0, 0, row), VXCLK_FAILED);
}

TEST_F(MemoryStore, TemperatureStatusRules) {
  KESTREL_REQUIRE_EMULATOR();
  (*board)->setRegister(0, 16, 45);
  (*board)->setRegister(1, 16, 0);
  int32_t t = 0;
  EXPECT_EQ(vxclk_getTemperature(instance, 0, &t), VXCLK_OK);
  EXPECT_EQ(t, 45);
  t = 7;
  EXPECT_EQ(vxclk_getTemperature(instance, 1, &t), VXCLK_FAILED);  // a reading of 0
  EXPECT_EQ(t, 7);
  (*board)->setRegister(1, 16, 45);  // stale bytes would look like a good reading
  (*board)->resetAfterFrames(1);
  EXPECT_EQ(vxclk_getTemperature(instance, 0, &t), VXCLK_FAILED);
}

// ---- device-level rules of the calibration table -----------------------------

class DeviceMemory : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(device.connect(board.address()), Status::Ok); }
  EmulatorBoard board;
  ClockSource_API device;
};

TEST_F(DeviceMemory, CalibrationTagRules) {
  const struct {
    double stored;
    int32_t tag;
  } cases[] = {{3.7, 3}, {9.99, 9}, {0.0, -1}, {10.0, -1}, {-2.0, -1}, {std::nan(""), -1}};
  for (const auto& c : cases) {
    board->setMemoryDouble(20430, c.stored);
    device.clearCalibrationFlag();
    EXPECT_EQ(device.readCalibrationTag(), c.tag) << c.stored;
    EXPECT_EQ(device.calibrationTag, c.tag);
    EXPECT_TRUE(device.calibrationInUse);
  }
}

TEST_F(DeviceMemory, ConnectFillsTheBoardCopyFromFourteenBlockReads) {
  for (int r = 0; r < 14; ++r)
    for (int j = 0; j < 7; ++j) board->setMemoryDouble(p::calibrationAddress(r, j), r * 10 + j);
  ASSERT_EQ(device.connect(board.address()), Status::Ok);
  EXPECT_EQ(device.state.boardCalibrationCopy[0][0], 0.0);
  EXPECT_EQ(device.state.boardCalibrationCopy[13][6], 136.0);
  EXPECT_EQ(device.boardCalibration[7][3], 73.0);
  EXPECT_TRUE(device.boardCalibrationValid());
}

TEST_F(DeviceMemory, UnreadableCalibrationRowsKeepTheLastGoodCopy) {
  board->setMemoryDouble(p::calibrationAddress(0, 0), 5.5);
  ASSERT_EQ(device.connect(board.address()), Status::Ok);
  board->setMemoryDouble(p::calibrationAddress(0, 0), 6.5);
  board->resetAfterFrames(6 + 3);  // the third row, after the shape probes and the back-to-back check
  EXPECT_EQ(device.connect(board.address()), Status::Failed);  // the read broke the link it was made on
  EXPECT_FALSE(device.boardCalibrationValid());
  EXPECT_EQ(device.state.boardCalibrationCopy[0][0], 5.5);
  board->clearFaults();
  ASSERT_EQ(device.connect(board.address()), Status::Ok);  // and a later connect recovers
  EXPECT_EQ(device.state.boardCalibrationCopy[0][0], 6.5);
}

TEST_F(DeviceMemory, ResetAndEvaluateCalibration) {
  device.resetCalibrationTable();
  for (const auto& row : device.boardCalibration) EXPECT_EQ(row, (CalibrationRow{0, 0, 0, 1, 0, 0, 4095}));
  EXPECT_EQ(device.evaluateCalibration(0, 2.9), 2);
  EXPECT_EQ(device.evaluateCalibration(0, -2.9), -2);
  EXPECT_EQ(device.evaluateCalibration(14, 2.9), 0);
  EXPECT_EQ(device.evaluateCalibration(-1, 2.9), 0);
  device.boardCalibration[1] = {1, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(device.evaluateCalibration(1, 1e10), std::numeric_limits<int32_t>::max());
}

TEST_F(DeviceMemory, SettingsLiveAtTheirSlots) {
  ASSERT_EQ(device.writeSetting(0, 1.0), Status::Ok);
  ASSERT_EQ(device.writeSetting(33, -4.25), Status::Ok);
  EXPECT_EQ(board->memoryDouble(8192), 1.0);
  EXPECT_EQ(board->memoryDouble(8456), -4.25);
  double v = 0;
  ASSERT_EQ(device.readSetting(33, &v), Status::Ok);
  EXPECT_EQ(v, -4.25);
}

// ---- readback ------------------------------------------------------------------

using Readback = ConnectedBoard;

TEST_F(Readback, BlankBoardReadsAsZeros) {
  KESTREL_REQUIRE_EMULATOR();
  ActiveConfig config;
  std::memset(&config, 0x5A, sizeof config);
  ASSERT_EQ(vxclk_getActiveConfig(instance, &config), VXCLK_OK);
  EXPECT_EQ(config.clockSource, 0);
  EXPECT_EQ(config.generateFrequency, 0.0);
  EXPECT_EQ(config.referenceFrequency, 0.0);
  EXPECT_FALSE(config.fmEnable);
  EXPECT_FALSE(config.tx2AMEnable);
  EXPECT_EQ(config.tx2Power, 0);
  // Padding is never written.
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(&config)[12], 0x5A);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(&config)[125], 0x5A);
}

TEST_F(Readback, ConversionRulesAndReadOrder) {
  KESTREL_REQUIRE_EMULATOR();
  (*board)->setMemoryDouble(p::settingAddress(S::FMEnable), 0.5);
  (*board)->setMemoryDouble(p::settingAddress(S::Tx2AMEnable), 0.5);
  (*board)->setMemoryDouble(p::settingAddress(S::FMAmplitude), -3.7);
  (*board)->setMemoryDouble(p::settingAddress(S::FMPhaseSkew), std::nan(""));
  (*board)->setMemoryDouble(p::settingAddress(S::FMFrequency), 1e12);
  (*board)->setMemoryDouble(p::settingAddress(S::Tx2PMFrequency), -1e12);
  (*board)->setMemoryDouble(p::settingAddress(S::GenerateFrequency), 1800.25);
  (*board)->setMemoryDouble(p::settingAddress(S::ReferenceFrequency), 156.25);
  (*board)->setMemoryDouble(p::settingAddress(S::Tx2BUJPRBSFlag), 2.0);
  ActiveConfig config{};
  ASSERT_EQ(vxclk_getActiveConfig(instance, &config), VXCLK_OK);
  EXPECT_FALSE(config.fmEnable);
  EXPECT_TRUE(config.tx2AMEnable);
  EXPECT_EQ(config.fmAmplitude, -3);
  EXPECT_EQ(config.fmPhaseSkew, 0);
  EXPECT_EQ(config.fmFrequency, std::numeric_limits<int32_t>::max());
  EXPECT_EQ(config.tx2PMFrequency, std::numeric_limits<int32_t>::min());
  EXPECT_EQ(config.generateFrequency, 1800.25);
  EXPECT_EQ(config.referenceFrequency, 156.25);
  EXPECT_TRUE(config.tx2BUJPRBSFlag);

  // Each setting is read as address writes to register 10, in the fixed order.
  const int order[] = {26, 25, 24, 8, 27, 29, 28, 1, 0, 30, 13, 14, 12, 10, 11, 9, 18,
                       20, 19, 16, 17, 22, 21, 23, 15, 2, 3, 4, 5, 6, 7, 32, 33, 31};
  const auto addressWrites = writesTo((*board)->frames(), p::reg::kMemoryAddress);
  ASSERT_EQ(addressWrites.size(), 34u * 8u);
  for (size_t i = 0; i < 34; ++i) EXPECT_EQ(addressWrites[8 * i].value, p::settingAddress(order[i])) << i;
}

TEST_F(Readback, FailedReadLeavesTheRecordUntouched) {
  KESTREL_REQUIRE_EMULATOR();
  (*board)->resetAfterFrames(40);
  ActiveConfig config;
  std::memset(&config, 0x77, sizeof config);
  EXPECT_EQ(vxclk_getActiveConfig(instance, &config), VXCLK_FAILED);
  for (size_t i = 0; i < sizeof config; ++i) ASSERT_EQ(reinterpret_cast<const uint8_t*>(&config)[i], 0x77);
  EXPECT_EQ(vxclk_getActiveConfig(instance, nullptr), VXCLK_OUT_OF_RANGE);
}

}  // namespace
}  // namespace kestrel::testing
