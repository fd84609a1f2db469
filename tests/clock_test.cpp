// Clock generation and the output controls, against the emulator.
#include <gtest/gtest.h>

#include <cmath>
#include <regex>

#include "device/clock_source_api.h"
#include "support/board_fixture.h"
#include "synth/register_image.h"

namespace kestrel::testing {
namespace {

namespace p = protocol;
using S = p::SettingIndex;

// The 43 words of a 1800 MHz clock from the 156.25 MHz reference, in image order.
constexpr std::array<uint16_t, 43> k1800MHzImage = {
    0x221C, 0x0808, 0x0500, 0x1943, 0x28B2, 0x1084, 0x0302, 0x10D8, 0x0018, 0x7002, 0x4000,
    0x0420, 0x0965, 0x012C, 0x2300, 0x8842, 0x0509, 0x0000, 0x2924, 0x0084, 0x0034, 0x0601,
    0x210A, 0x2A0A, 0xC3EA, 0x021B, 0x0C11, 0x4000, 0x002E, 0x8204, 0x0000, 0x0019, 0x0000,
    0x0000, 0x0000, 0x0001, 0x0F23, 0x00CA, 0x03FC, 0x0000, 0x0001, 0x0000, 0x0077};

using ClockGeneration = ConnectedBoard;

TEST_F(ClockGeneration, UploadsThePlanThenTheTx1PowerHighestRegisterFirst) {
  KESTREL_REQUIRE_EMULATOR();
  ASSERT_EQ(vxclk_generateClock(instance, 1800.0, 19), VXCLK_OK);
  const auto frames = (*board)->frames();
  const auto uploads = synthUploads(frames);
  ASSERT_EQ(uploads.size(), 2u);
  for (const auto& upload : uploads) {
    ASSERT_EQ(upload.size(), 43u);
    for (size_t i = 0; i < 43; ++i) EXPECT_EQ(upload[i].first, kSynthImageRegisters[42 - i]);
  }
  for (size_t i = 0; i < 43; ++i) {
    const uint16_t reg = kSynthImageRegisters[42 - i];
    EXPECT_EQ(uploads[0][i].second, k1800MHzImage[42 - i]) << "register " << reg;
    const uint16_t second = reg == 46 ? 0x0123 : k1800MHzImage[42 - i];  // Tx1 power 1 in bits 12:8
    EXPECT_EQ(uploads[1][i].second, second) << "register " << reg;
  }
  const auto r261 = writesTo(frames, p::reg::kRegister261);
  ASSERT_EQ(r261.size(), 1u);
  EXPECT_EQ(r261[0].value, 1);
  EXPECT_EQ(storedSetting(S::GenerateOption), 19.0);
  EXPECT_EQ(storedSetting(S::GenerateFrequency), 1800.0);
  EXPECT_EQ(storedSetting(S::Register261), 1.0);
  EXPECT_EQ(storedSetting(S::Tx1Power), 1.0);
}

TEST_F(ClockGeneration, TheOptionArgumentHasNoEffect) {
  KESTREL_REQUIRE_EMULATOR();
  ASSERT_EQ(vxclk_generateClock(instance, 1800.0, 3), VXCLK_OK);
  const auto uploads = synthUploads((*board)->frames());
  ASSERT_FALSE(uploads.empty());
  EXPECT_EQ(uploads[0][42 - 11].second, 0x0420);  // register 14: charge-pump code 8, gain 0
  EXPECT_EQ(storedSetting(S::GenerateOption), 19.0);
}

TEST_F(ClockGeneration, RangeIsOpenAtBothEndsAndNaNIsRefused) {
  KESTREL_REQUIRE_EMULATOR();
  for (double f : {20.0, 5500.0, 19.0, 6000.0, -1.0, std::nan(""), double(INFINITY), -double(INFINITY)})
    EXPECT_EQ(vxclk_generateClock(instance, f, 19), VXCLK_OUT_OF_RANGE) << f;
  EXPECT_TRUE((*board)->frames().empty());
  EXPECT_EQ(vxclk_generateClock(instance, 20.000001, 19), VXCLK_OK);
  EXPECT_EQ(vxclk_generateClock(instance, 5499.999, 19), VXCLK_OK);
}

TEST_F(ClockGeneration, BoardDecodesTheRequestedFrequency) {
  KESTREL_REQUIRE_EMULATOR();
  for (double f : {20.5, 33.333, 100.0, 156.25, 622.08, 1000.0, 1800.0, 2500.123456, 3549.0, 4000.0, 5499.0}) {
    ASSERT_EQ(vxclk_generateClock(instance, f, 19), VXCLK_OK);
    const auto synth = (*board)->synthState();
    ASSERT_TRUE(synth.programmed);
    const double expected = f > 3549.9 ? std::round(f) : f;
    EXPECT_NEAR(synth.outputA, expected, expected * 1e-12) << f;
    EXPECT_NEAR(synth.outputB, expected, expected * 1e-12) << f;
    int32_t lock = 0;
    ASSERT_EQ(vxclk_checkVCOLock(instance, &lock), VXCLK_OK);
    EXPECT_EQ(lock, 1) << f;
  }
}

TEST_F(ClockGeneration, Tx1PowerSurvivesANewClock) {
  KESTREL_REQUIRE_EMULATOR();
  ASSERT_EQ(vxclk_setTx1Power(instance, 33), VXCLK_OK);  // five bits reach the synthesizer
  (*board)->clearFrames();
  ASSERT_EQ(vxclk_generateClock(instance, 1000.0, 19), VXCLK_OK);
  const auto uploads = synthUploads((*board)->frames());
  ASSERT_EQ(uploads.size(), 2u);
  EXPECT_EQ((uploads[1][42 - 36].second >> 8) & 0x1F, 1);
  EXPECT_EQ(storedSetting(S::Tx1Power), 33.0);
}

// Each call from an instance of its own, as separate processes make them:
// the board keeps the clock and the Tx1 power it has.
TEST_F(ClockGeneration, AFreshInstanceKeepsTheBoardsClock) {
  KESTREL_REQUIRE_EMULATOR();
  ASSERT_EQ(vxclk_generateClock(instance, 1800.0, 19), VXCLK_OK);
  ASSERT_EQ(vxclk_setTx1Power(instance, 7), VXCLK_OK);
  struct Step {
    const char* name;
    int32_t (*call)(void*);
  };
  const Step steps[] = {
      {"setFMFrequency", [](void* h) { return vxclk_setFMFrequency(h, 3); }},
      {"enableFM", [](void* h) { return vxclk_enableFM(h, 1); }},
      {"setFMAmplitude", [](void* h) { return vxclk_setFMAmplitude(h, 40); }},
      {"setFMPhaseSkew", [](void* h) { return vxclk_setFMPhaseSkew(h, 2); }},
      {"setCustomFMFrequency", [](void* h) { return vxclk_setCustomFMFrequency(h, 2.2); }},
      {"setTx2PMFrequency", [](void* h) { return vxclk_setTx2PMFrequency(h, 12.5); }},
      {"setTx1Power", [](void* h) { return vxclk_setTx1Power(h, 9); }},
      {"generateClock", [](void* h) { return vxclk_generateClock(h, 2000.0, 19); }},
  };
  double clock = 1800.0;
  double power = 7.0;
  for (const Step& step : steps) {
    void* fresh = vxclk_createInstance();
    ASSERT_EQ(vxclk_connect(fresh, address.c_str()), VXCLK_OK);
    ASSERT_EQ(step.call(fresh), VXCLK_OK) << step.name;
    if (std::string(step.name) == "setTx1Power") power = 9.0;
    if (std::string(step.name) == "generateClock") clock = 2000.0;
    const auto synth = (*board)->synthState();
    EXPECT_NEAR(synth.outputA, clock, 1e-9) << step.name;
    EXPECT_EQ((*board)->synthRegisters()[46] >> 8 & 0x1F, power) << step.name;
    EXPECT_EQ(storedSetting(S::Tx1Power), power) << step.name;
    vxclk_destroyInstance(fresh);
  }
}

TEST_F(ClockGeneration, ABoardWithoutAStoredClockKeepsTheModelsDefaults) {
  KESTREL_REQUIRE_EMULATOR();
  (*board)->setMemoryDouble(p::settingAddress(S::GenerateFrequency), 9000.0);  // out of range
  ASSERT_EQ(vxclk_setTx1Power(instance, 4), VXCLK_OK);
  EXPECT_EQ(storedSetting(S::Tx1Power), 4.0);
  EXPECT_EQ(synthUploads((*board)->frames()).size(), 1u);
}

struct RegisterCase {
  int32_t argument;
  uint16_t written;
};

class Tx2Power : public ConnectedBoard, public ::testing::WithParamInterface<RegisterCase> {};

TEST_P(Tx2Power, SliderIsFullScaleMinusPower) {
  KESTREL_REQUIRE_EMULATOR();
  ASSERT_EQ(vxclk_setTx2Power(instance, GetParam().argument), VXCLK_OK);
  const auto writes = writesTo((*board)->frames(), p::reg::kTx2Slider);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].value, GetParam().written);
  EXPECT_EQ(storedSetting(S::Tx2Power), GetParam().argument);
}

INSTANTIATE_TEST_SUITE_P(Values, Tx2Power,
                         ::testing::Values(RegisterCase{100, 3996}, RegisterCase{4096, 0}, RegisterCase{4097, 0xFFFF},
                                           RegisterCase{0, 4096}));

class Tx2Divider : public ConnectedBoard, public ::testing::WithParamInterface<RegisterCase> {};

TEST_P(Tx2Divider, OneHotSelection) {
  KESTREL_REQUIRE_EMULATOR();
  ASSERT_EQ(vxclk_setTx2Divider(instance, GetParam().argument), VXCLK_OK);
  const auto writes = writesTo((*board)->frames(), p::reg::kTx2Divider);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].value, GetParam().written);
  EXPECT_EQ(storedSetting(S::Tx2Divider), GetParam().argument);
}

INSTANTIATE_TEST_SUITE_P(Values, Tx2Divider,
                         ::testing::Values(RegisterCase{0, 1}, RegisterCase{3, 8}, RegisterCase{15, 32768},
                                           RegisterCase{16, 0}, RegisterCase{32, 1}));

// ---- failures are reported -------------------------------------------------------------

using ClockFailures = ConnectedBoard;

TEST_F(ClockFailures, FailedRegister261WriteFailsTheClock) {
  KESTREL_REQUIRE_EMULATOR();
  (*board)->failRegisterWrite(0, p::reg::kRegister261);
  EXPECT_EQ(vxclk_generateClock(instance, 1800.0, 19), VXCLK_FAILED);
}

TEST_F(ClockFailures, FailedSynthesizerUploadFailsTheClockAndThePowers) {
  KESTREL_REQUIRE_EMULATOR();
  (*board)->failRegisterWrite(0, p::reg::kSynthValue);
  EXPECT_EQ(vxclk_generateClock(instance, 1800.0, 19), VXCLK_FAILED);
  reconnect();
  (*board)->failRegisterWrite(0, p::reg::kSynthValue);
  EXPECT_EQ(vxclk_setTx1Power(instance, 3), VXCLK_FAILED);
}

TEST_F(ClockFailures, FailedPowerAndDividerWritesAreReportedAndNotMirrored) {
  KESTREL_REQUIRE_EMULATOR();
  (*board)->failRegisterWrite(0, p::reg::kTx2Slider);
  EXPECT_EQ(vxclk_setTx2Power(instance, 100), VXCLK_FAILED);
  reconnect();
  (*board)->failRegisterWrite(0, p::reg::kTx2Divider);
  EXPECT_EQ(vxclk_setTx2Divider(instance, 2), VXCLK_FAILED);
  EXPECT_TRUE(std::isnan(storedSetting(S::Tx2Power)));
  EXPECT_TRUE(std::isnan(storedSetting(S::Tx2Divider)));
}

TEST_F(ClockFailures, AllFortyThreeWordsAreAttemptedAndAnyFailureCounts) {
  KESTREL_REQUIRE_EMULATOR();
  ClockSource_API device;
  ASSERT_EQ(device.connect(address), Status::Ok);
  (*board)->clearFrames();
  (*board)->failRegisterWrite(0, p::reg::kSynthNumber);  // the very first word, register 64
  EXPECT_EQ(device.writeSynthRegisters(), Status::Failed);
}

// ---- FM synthesizer refresh ----------------------------------------------------------------

TEST(FMSynthRefresh, SilentSlowRatesUseTheFastestChargePump) {
  EmulatorBoard board;
  ClockSource_API device;
  ASSERT_EQ(device.connect(board.address()), Status::Ok);
  for (uint16_t index : {0, 1, 2}) {
    device.state.fmIndex = index;
    device.state.fmAmplitude = 0.0;
    board->clearFrames();
    ASSERT_EQ(device.refreshFMSynth(), Status::Ok);
    const auto uploads = synthUploads(board->frames());
    ASSERT_EQ(uploads.size(), 1u);
    const uint16_t reg14 = uploads[0][42 - 11].second;
    const int code = index <= 1 ? 31 : 8;
    const int gain = index <= 1 ? 3 : 0;
    EXPECT_EQ(reg14, ((code << 7) | (code << 2) | gain)) << index;
  }
  device.state.fmIndex = 0;
  device.state.fmAmplitude = 5.0;
  device.refreshFMSynth();
  EXPECT_EQ(device.synth.chargePumpCode, 8);
}

TEST(TimestampNames, FormatIsDateTimeAndUnpaddedMilliseconds) {
  std::tm local{};
  local.tm_year = 2026 - 1900;
  local.tm_mon = 11;
  local.tm_mday = 6;
  local.tm_hour = 15;
  local.tm_min = 33;
  local.tm_sec = 26;
  EXPECT_EQ(formatTimestampName(local, 7), "Date-2026-12-06-Time-15-33-26-7");
  EXPECT_EQ(formatTimestampName(local, 123), "Date-2026-12-06-Time-15-33-26-123");
  ClockSource_API device;
  const std::string name = device.makeTimestampName();
  EXPECT_TRUE(std::regex_match(name, std::regex(R"(Date-\d{4}-\d\d-\d\d-Time-\d\d-\d\d-\d\d-\d{1,3})"))) << name;
}

}  // namespace
}  // namespace kestrel::testing
