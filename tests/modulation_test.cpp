// FM and Tx2 modulation controls, against the emulator.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>

#include "support/board_fixture.h"

namespace kestrel::testing {
namespace {

namespace p = protocol;
using S = p::SettingIndex;

std::vector<std::pair<uint16_t, uint16_t>> writesAmong(const std::vector<sim::FrameRecord>& frames,
                                                       std::initializer_list<uint16_t> regs) {
  std::vector<std::pair<uint16_t, uint16_t>> found;
  for (const auto& f : boardRegisterWrites(frames))
    for (uint16_t r : regs)
      if (f.reg == r && f.page == 0) found.emplace_back(f.reg, f.value);
  return found;
}

// ---- FM rate -----------------------------------------------------------------------

struct FMRateCase {
  double customMHz;  // < 0: table index instead
  int32_t index;
  uint16_t high, low;
  uint16_t entry;  // the table entry whose switches must be applied
};

class FMRate : public ConnectedBoard, public ::testing::WithParamInterface<FMRateCase> {};

TEST_P(FMRate, WritesTheRateInHzHighHalfFirstAndAppliesTheEntry) {
  KESTREL_REQUIRE_EMULATOR();
  const auto& c = GetParam();
  const int32_t status = c.customMHz < 0 ? vxclk_setFMFrequency(instance, c.index)
                                          : vxclk_setCustomFMFrequency(instance, c.customMHz);
  ASSERT_EQ(status, VXCLK_OK);
  const auto frames = (*board)->frames();
  const auto rate = writesAmong(frames, {p::reg::kFMFrequencyHigh, p::reg::kFMFrequencyLow});
  ASSERT_EQ(rate.size(), 2u);
  EXPECT_EQ(rate[0], std::make_pair(p::reg::kFMFrequencyHigh, c.high));
  EXPECT_EQ(rate[1], std::make_pair(p::reg::kFMFrequencyLow, c.low));
  // Six switches on pages 0..5 from the entry, and two synthesizer refreshes.
  const bool slow = c.entry <= 4, middle = c.entry >= 5 && c.entry <= 9;
  const std::array<uint16_t, 6> switches{slow, middle, 0, 0, slow, 0};
  for (uint16_t k = 0; k < 6; ++k) {
    const auto w = writesTo(frames, p::reg::kFMSwitch, k);
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0].value, switches[k]) << "switch " << k;
  }
  EXPECT_EQ(synthUploads(frames).size(), 2u);
  EXPECT_DOUBLE_EQ(storedSetting(S::FMFrequency), (c.high * 65536.0 + c.low));
}

INSTANTIATE_TEST_SUITE_P(Rates, FMRate,
                         ::testing::Values(FMRateCase{-1, 3, 15, 16960, 3}, FMRateCase{-1, 11, 762, 61568, 11},
                                           FMRateCase{-1, 0, 0, 40000, 0}, FMRateCase{1.2, 0, 18, 20352, 4},
                                           FMRateCase{0.04, 0, 0, 40000, 0}, FMRateCase{10.5, 0, 160, 14240, 11},
                                           FMRateCase{50.0, 0, 762, 61568, 11}, FMRateCase{2.2, 0, 33, 37312, 6}));

using FMControls = ConnectedBoard;

TEST_F(FMControls, OutOfRangeRatesAreRefusedWithoutTraffic) {
  KESTREL_REQUIRE_EMULATOR();
  for (double f : {0.03, 50.5, -1.0, std::nan(""), double(INFINITY)})
    EXPECT_EQ(vxclk_setCustomFMFrequency(instance, f), VXCLK_OUT_OF_RANGE) << f;
  for (int32_t index : {12, -1, 65536 + 3}) EXPECT_EQ(vxclk_setFMFrequency(instance, index), VXCLK_OUT_OF_RANGE);
  EXPECT_TRUE((*board)->frames().empty());
}

TEST_F(FMControls, CalibrationSourceLocksCustomRatesButNotTableRates) {
  KESTREL_REQUIRE_EMULATOR();
  ASSERT_EQ(vxclk_initializeInstance(instance, 1, nullptr), VXCLK_OK);
  EXPECT_EQ(vxclk_setCustomFMFrequency(instance, 1.2), VXCLK_CALIBRATION_SELECTED);
  EXPECT_TRUE((*board)->frames().empty());
  EXPECT_EQ(vxclk_setFMFrequency(instance, 3), VXCLK_OK);
  ASSERT_EQ(vxclk_initializeInstance(instance, 0, nullptr), VXCLK_OK);
  EXPECT_EQ(vxclk_setCustomFMFrequency(instance, 1.2), VXCLK_OK);
}

TEST_F(FMControls, EnableWritesRegisterAndSetting) {
  KESTREL_REQUIRE_EMULATOR();
  ASSERT_EQ(vxclk_enableFM(instance, 1), VXCLK_OK);
  EXPECT_EQ(writesAmong((*board)->frames(), {p::reg::kFMEnable}), (decltype(writesAmong({}, {})){{1041, 1}}));
  EXPECT_EQ(storedSetting(S::FMEnable), 1.0);
}

struct AmplitudeCase {
  int32_t source;                      // calibration source
  std::array<double, 5> coefficients;  // row 0 of the file when source is 2
  int32_t amplitude;
  uint16_t written;
};

class FMAmplitude : public ConnectedBoard, public ::testing::WithParamInterface<AmplitudeCase> {};

TEST_P(FMAmplitude, PassesThroughOrMapsThroughTheCalibrationPolynomial) {
  KESTREL_REQUIRE_EMULATOR();
  const auto& c = GetParam();
  // ctest runs the cases at once: each writes its own file.
  std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  std::replace(name.begin(), name.end(), '/', '_');
  const std::string path = ::testing::TempDir() + "fm_amplitude_" + name + ".txt";
  {
    std::ofstream file(path);
    for (double v : c.coefficients) file << v << "\n";
  }
  ASSERT_EQ(vxclk_initializeInstance(instance, c.source, c.source == 2 ? path.c_str() : nullptr), VXCLK_OK);
  ASSERT_EQ(vxclk_setFMFrequency(instance, 0), VXCLK_OK);
  (*board)->clearFrames();
  ASSERT_EQ(vxclk_setFMAmplitude(instance, c.amplitude), VXCLK_OK);
  const auto w = writesAmong((*board)->frames(), {p::reg::kFMAmplitude});
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(w[0].second, c.written);
  EXPECT_EQ(storedSetting(S::FMAmplitude), c.amplitude);  // the request, not the calibrated value
}

constexpr double kHuge = 1e300;
INSTANTIATE_TEST_SUITE_P(
    Mapping, FMAmplitude,
    ::testing::Values(AmplitudeCase{0, {0, 0, 0, 2, 5}, 300, 300}, AmplitudeCase{2, {0, 0, 0, 2, 5}, 300, 605},
                      AmplitudeCase{0, {}, -1, 0xFFFF}, AmplitudeCase{2, {0, 0, 0, 1, 0}, 70000, 0xFFFF},  // clamped, never wrapped
                      AmplitudeCase{2, {0, 0, 0, -1, 0}, 5, 0},
                      AmplitudeCase{2, {kHuge, 0, 0, 0, 0}, 1000, 0xFFFF},   // beyond 64 bits: clamped
                      AmplitudeCase{2, {-kHuge, 0, 0, 0, 0}, 1000, 0},
                      AmplitudeCase{7, {0, 0, 0, 2, 5}, 300, 300}));  // unknown source: unmapped

TEST_F(FMControls, AppliedValuesSkipUnchangedRequests) {
  KESTREL_REQUIRE_EMULATOR();
  for (int32_t value : {0, 0, 5, 5}) {
    EXPECT_EQ(vxclk_setFMPhaseSkew(instance, value), VXCLK_OK);
    EXPECT_EQ(vxclk_setFMRJAmplitude(instance, value), VXCLK_OK);
  }
  const auto frames = (*board)->frames();
  EXPECT_EQ(writesAmong(frames, {p::reg::kFMPhaseSkew}).size(), 2u);
  EXPECT_EQ(writesAmong(frames, {p::reg::kFMRJAmplitude}).size(), 2u);
  EXPECT_EQ(storedSetting(S::FMPhaseSkew), 5.0);
  EXPECT_EQ(storedSetting(S::FMRJAmplitude), 5.0);
}

// What the board holds is unknown to a new instance and after a reconnect:
// the first request is always written, whatever the board held.
TEST_F(FMControls, AppliedValuesStartUnknownAtCreationAndAtEveryConnect) {
  KESTREL_REQUIRE_EMULATOR();
  const std::vector<std::pair<uint16_t, int32_t (*)(void*, int32_t)>> setters = {
      {p::reg::kFMPhaseSkew, vxclk_setFMPhaseSkew},           {p::reg::kFMRJAmplitude, vxclk_setFMRJAmplitude},
      {p::reg::kTx2BUJAmplitude, vxclk_setTx2BUJAmplitude},   {p::reg::kTx2AMRJAmplitude, vxclk_setTx2AMRJAmplitude},
      {p::reg::kTx2PMBUJAmplitude, vxclk_setTx2PMBUJAmplitude}};
  for (const auto& [reg, set] : setters) (*board)->setRegister(0, reg, 44);  // another host's values
  for (bool restart : {false, true}) {
    void* other = vxclk_createInstance();
    ASSERT_EQ(vxclk_connect(other, address.c_str()), VXCLK_OK);
    ASSERT_EQ(vxclk_enableTx2PMBUJ(other, 1), VXCLK_OK);
    for (const auto& [reg, set] : setters) {
      ASSERT_EQ(set(other, 0), VXCLK_OK) << reg;
      EXPECT_EQ((*board)->registerValue(0, reg), 0) << reg;
      // The board restarts: its registers are back to 7, and the instance reconnects.
      if (restart) (*board)->setRegister(0, reg, 7);
    }
    if (restart) {
      ASSERT_EQ(vxclk_connect(other, address.c_str()), VXCLK_OK);
      for (const auto& [reg, set] : setters) {
        ASSERT_EQ(set(other, 0), VXCLK_OK) << reg;
        EXPECT_EQ((*board)->registerValue(0, reg), 0) << "after the reconnect, register " << reg;
      }
    }
    vxclk_destroyInstance(other);
  }
}

TEST_F(FMControls, ARequestIsAppliedOnlyWhenTheWholeCallSucceeded) {
  KESTREL_REQUIRE_EMULATOR();
  // A failure in the register write, or after it (in the settings mirror):
  // either way the repeat writes the register and the mirror again.
  const struct {
    const char* name;
    int32_t (*set)(void*, int32_t);
    uint16_t reg;
  } setters[] = {{"phase skew", vxclk_setFMPhaseSkew, p::reg::kFMPhaseSkew},
                 {"RJ amplitude", vxclk_setFMRJAmplitude, p::reg::kFMRJAmplitude},
                 {"Tx2 BUJ amplitude", vxclk_setTx2BUJAmplitude, p::reg::kTx2BUJAmplitude}};
  int32_t request = 5;
  for (const auto& c : setters) {
    for (int failingFrame : {1, 2, 9}) {
      SCOPED_TRACE(std::string(c.name) + ", frame " + std::to_string(failingFrame));
      ++request;
      (*board)->resetAfterFrames(failingFrame);
      EXPECT_EQ(c.set(instance, request), VXCLK_FAILED);
      reconnect();
      EXPECT_EQ(c.set(instance, request), VXCLK_OK);
      EXPECT_EQ(writesAmong((*board)->frames(), {c.reg}).size(), 1u);
      EXPECT_EQ(writesTo((*board)->frames(), p::reg::kMemoryData).size(), 8u);  // the mirror
    }
  }
}

TEST_F(FMControls, FailedHighHalfSkipsTheLowHalf) {
  KESTREL_REQUIRE_EMULATOR();
  (*board)->failRegisterWrite(0, p::reg::kFMFrequencyHigh);
  EXPECT_EQ(vxclk_setFMFrequency(instance, 3), VXCLK_FAILED);
  EXPECT_TRUE(writesAmong((*board)->frames(), {p::reg::kFMFrequencyLow}).empty());
}

// ---- Tx2 ------------------------------------------------------------------------------

struct Tx2Case {
  const char* name;
  std::function<int32_t(void*, int32_t)> set;
  std::function<int32_t(void*, int32_t)> enable;  // the enable it needs, or empty
  std::vector<uint16_t> registers;       // registers written, in order
  bool keepsApplied;
  int setting;  // -1: none
};

std::vector<Tx2Case> tx2Cases() {
  return {
      {"enableTx2PM", vxclk_enableTx2PM, {}, {1025}, false, 15},
      {"setTx2PMAmplitude", vxclk_setTx2PMAmplitude, vxclk_enableTx2PM, {1028}, false, 17},
      {"setTx2PMPhaseShiftAmplitude", vxclk_setTx2PMPhaseShiftAmplitude,
       vxclk_enableTx2PM, {1029}, false, 18},
      {"enableTx2PMRJ", vxclk_enableTx2PMRJ, {}, {1030}, false, 19},
      {"setTx2PMRJAmplitude", vxclk_setTx2PMRJAmplitude, vxclk_enableTx2PMRJ, {1031},
       true, 20},
      {"enableTx2PMBUJ", vxclk_enableTx2PMBUJ, {}, {1049}, false, 21},
      {"setTx2PMBUJAmplitude", vxclk_setTx2PMBUJAmplitude, vxclk_enableTx2PMBUJ,
       {1051}, true, 22},
      {"setTx2PMBUJLineRate", vxclk_setTx2PMBUJLineRate, {}, {519, 517}, false, 23},
      {"setTx2BUJAmplitude", vxclk_setTx2BUJAmplitude, {}, {514}, true, 27},
      {"enableTx2AM", vxclk_enableTx2AM, {}, {1032}, false, 24},
      {"setTx2AMAmplitude", vxclk_setTx2AMAmplitude, vxclk_enableTx2AM, {1024, 1035},
       true, 25},
      {"setTx2AMRJAmplitude", vxclk_setTx2AMRJAmplitude, {}, {1036}, true, 26},
      {"setClockSource", vxclk_setClockSource, {}, {256}, false, 0},
  };
}

using Tx2Controls = ConnectedBoard;

TEST_F(Tx2Controls, EachControlWritesItsRegistersItsSettingAndKeepsItsRules) {
  KESTREL_REQUIRE_EMULATOR();
  for (const auto& c : tx2Cases()) {
    SCOPED_TRACE(c.name);
    if (c.enable) {
      ASSERT_EQ(c.enable(instance, 0), VXCLK_OK);
      (*board)->clearFrames();
      EXPECT_EQ(c.set(instance, 77), VXCLK_FAILED);  // enable not yet 1
      EXPECT_TRUE((*board)->frames().empty());
      ASSERT_EQ(c.enable(instance, 1), VXCLK_OK);
    }
    (*board)->clearFrames();
    ASSERT_EQ(c.set(instance, 77), VXCLK_OK);
    const auto writes = boardRegisterWrites((*board)->frames());
    ASSERT_EQ(writes.size(), c.registers.size());
    for (size_t i = 0; i < writes.size(); ++i) EXPECT_EQ(writes[i].reg, c.registers[i]);
    if (c.registers[0] == 519) {
      EXPECT_EQ(writes[1].value, 1);
    } else {
      EXPECT_EQ(writes[0].value, 77);
    }
    if (c.setting >= 0) {
      EXPECT_EQ((*board)->memoryDouble(p::settingAddress(c.setting)), 77.0);
    }
    (*board)->clearFrames();
    ASSERT_EQ(c.set(instance, 77), VXCLK_OK);
    EXPECT_EQ((*board)->frames().empty(), c.keepsApplied);
  }
}

TEST_F(Tx2Controls, EnableMustBeExactlyOne) {
  KESTREL_REQUIRE_EMULATOR();
  ASSERT_EQ(vxclk_enableTx2PM(instance, 2), VXCLK_OK);
  (*board)->clearFrames();
  EXPECT_EQ(vxclk_setTx2PMAmplitude(instance, 5), VXCLK_FAILED);
  EXPECT_TRUE((*board)->frames().empty());
  EXPECT_EQ(vxclk_setTx2AMRJAmplitude(instance, 5), VXCLK_OK);  // needs no enable
}

struct PMFrequencyCase {
  double mhz;
  int32_t status;
  uint16_t high, low;
};

class Tx2PMFrequency : public ConnectedBoard, public ::testing::WithParamInterface<PMFrequencyCase> {};

TEST_P(Tx2PMFrequency, TruncatedHzInTwoHalvesAndTheUntruncatedSetting) {
  KESTREL_REQUIRE_EMULATOR();
  const auto& c = GetParam();
  ASSERT_EQ(vxclk_setTx2PMFrequency(instance, c.mhz), c.status);
  const auto frames = (*board)->frames();
  const auto w = writesAmong(frames, {p::reg::kTx2PMFrequencyHigh, p::reg::kTx2PMFrequencyLow});
  if (c.status != VXCLK_OK) {
    EXPECT_TRUE(frames.empty());
    return;
  }
  ASSERT_EQ(w.size(), 2u);
  EXPECT_EQ(w[0], std::make_pair(p::reg::kTx2PMFrequencyHigh, c.high));
  EXPECT_EQ(w[1], std::make_pair(p::reg::kTx2PMFrequencyLow, c.low));
  EXPECT_EQ(storedSetting(S::Tx2PMFrequency), c.mhz * 1000000.0);
  EXPECT_EQ(synthUploads(frames).size(), 1u);  // the FM entry is applied again
}

INSTANTIATE_TEST_SUITE_P(Values, Tx2PMFrequency,
                         ::testing::Values(PMFrequencyCase{80.0, 0, 1220, 46080}, PMFrequencyCase{33.3, 0, 508, 7711},
                                           PMFrequencyCase{0.0, 0, 0, 0}, PMFrequencyCase{80.0001, 3, 0, 0},
                                           PMFrequencyCase{-0.5, 3, 0, 0}, PMFrequencyCase{NAN, 3, 0, 0}));

TEST_F(Tx2Controls, PrbsAndUserPatternParticulars) {
  KESTREL_REQUIRE_EMULATOR();
  ASSERT_EQ(vxclk_setTx2BUJUserDefinedPattern(instance, 0x12345678u), VXCLK_OK);
  auto frames = (*board)->frames();
  EXPECT_EQ(writesAmong(frames, {529, 530}), (decltype(writesAmong({}, {})){{530, 0x1234}, {529, 0x5678}}));
  EXPECT_TRUE(writesTo(frames, p::reg::kMemoryAddress).empty());  // records no setting

  (*board)->clearFrames();
  ASSERT_EQ(vxclk_setTx2BUJPRBS(instance, 7, 1), VXCLK_OK);
  frames = (*board)->frames();
  EXPECT_EQ(writesAmong(frames, {527, 536}), (decltype(writesAmong({}, {})){{527, 7}, {536, 1}}));
  EXPECT_EQ(storedSetting(S::Tx2BUJPRBS), 7.0);
  EXPECT_EQ(storedSetting(S::Tx2BUJPRBSFlag), 1.0);
}

TEST_F(Tx2Controls, PrbsWhoseFirstWriteFailsSkipsTheFlag) {
  KESTREL_REQUIRE_EMULATOR();
  (*board)->failRegisterWrite(0, p::reg::kTx2BUJPRBS);
  EXPECT_EQ(vxclk_setTx2BUJPRBS(instance, 7, 1), VXCLK_FAILED);
  EXPECT_TRUE(writesAmong((*board)->frames(), {536}).empty());
}

TEST_F(Tx2Controls, LineRateWhoseFirstWriteFailsSkipsTheApply) {
  KESTREL_REQUIRE_EMULATOR();
  (*board)->failRegisterWrite(0, p::reg::kTx2PMBUJLineRate);
  EXPECT_EQ(vxclk_setTx2PMBUJLineRate(instance, 3), VXCLK_FAILED);
  EXPECT_TRUE(writesAmong((*board)->frames(), {517}).empty());
}

TEST_F(Tx2Controls, ClockSourceStatusFollowsItsWrite) {
  KESTREL_REQUIRE_EMULATOR();
  EXPECT_EQ(vxclk_setClockSource(instance, 2), VXCLK_OK);
  EXPECT_EQ((*board)->registerValue(0, 256), 2);
  (*board)->failRegisterWrite(0, p::reg::kClockSource);
  EXPECT_EQ(vxclk_setClockSource(instance, 3), VXCLK_FAILED);
}

TEST_F(Tx2Controls, AFailedWriteIsRetriedByTheSameRequest) {
  KESTREL_REQUIRE_EMULATOR();
  (*board)->failRegisterWrite(0, p::reg::kTx2BUJAmplitude);
  EXPECT_EQ(vxclk_setTx2BUJAmplitude(instance, 12), VXCLK_FAILED);
  (*board)->clearFaults();
  reconnect();
  EXPECT_EQ(vxclk_setTx2BUJAmplitude(instance, 12), VXCLK_OK);
  EXPECT_EQ((*board)->registerValue(0, 514), 12);
  (*board)->clearFrames();
  EXPECT_EQ(vxclk_setTx2BUJAmplitude(instance, 12), VXCLK_OK);
  EXPECT_TRUE((*board)->frames().empty());
}

// ---- readback after a run of setters ----------------------------------------------------

TEST_F(Tx2Controls, ReadbackReturnsWhatTheSettersSet) {
  ASSERT_EQ(vxclk_generateClock(instance, 1234.5, 19), VXCLK_OK);
  ASSERT_EQ(vxclk_enableFM(instance, 1), VXCLK_OK);
  ASSERT_EQ(vxclk_setFMFrequency(instance, 3), VXCLK_OK);
  ASSERT_EQ(vxclk_setFMAmplitude(instance, 300), VXCLK_OK);
  ASSERT_EQ(vxclk_setFMPhaseSkew(instance, -4), VXCLK_OK);
  ASSERT_EQ(vxclk_enableTx2PM(instance, 1), VXCLK_OK);
  ASSERT_EQ(vxclk_setTx2PMFrequency(instance, 33.3), VXCLK_OK);
  ASSERT_EQ(vxclk_setTx2PMAmplitude(instance, 250), VXCLK_OK);
  ASSERT_EQ(vxclk_enableTx2AM(instance, 1), VXCLK_OK);
  ASSERT_EQ(vxclk_setTx2AMAmplitude(instance, 40), VXCLK_OK);
  ASSERT_EQ(vxclk_setTx2BUJPRBS(instance, 5, 1), VXCLK_OK);
  ASSERT_EQ(vxclk_setClockSource(instance, 1), VXCLK_OK);
  ASSERT_EQ(vxclk_setTx1Power(instance, 12), VXCLK_OK);
  ASSERT_EQ(vxclk_setTx2Power(instance, 300), VXCLK_OK);
  ASSERT_EQ(vxclk_setTx2Divider(instance, 4), VXCLK_OK);
  ActiveConfig config{};
  ASSERT_EQ(vxclk_getActiveConfig(instance, &config), VXCLK_OK);
  EXPECT_EQ(config.generateFrequency, 1234.5);
  EXPECT_EQ(config.generateOption, 19);
  EXPECT_EQ(config.register261, 1);
  EXPECT_TRUE(config.fmEnable);
  EXPECT_EQ(config.fmFrequency, 1000000);
  EXPECT_EQ(config.fmAmplitude, 300);
  EXPECT_EQ(config.fmPhaseSkew, -4);
  EXPECT_TRUE(config.tx2PMEnable);
  EXPECT_EQ(config.tx2PMFrequency, 33299999);  // the stored product, 33299999.999..., truncated
  EXPECT_EQ(config.tx2PMAmplitude, 250);
  EXPECT_TRUE(config.tx2AMEnable);
  EXPECT_EQ(config.tx2AMAmplitude, 40);
  EXPECT_EQ(config.tx2BUJPRBS, 5);
  EXPECT_TRUE(config.tx2BUJPRBSFlag);
  EXPECT_EQ(config.clockSource, 1);
  EXPECT_EQ(config.tx1Power, 12);
  EXPECT_EQ(config.tx2Power, 300);
  EXPECT_EQ(config.tx2Divider, 4);
}

}  // namespace
}  // namespace kestrel::testing
