// Host-side device state: defaults, FM table and status texts.
#include <gtest/gtest.h>

#include <cmath>

#include "device/clock_source_api.h"
#include "config/fm_math.h"

namespace kestrel {
namespace {

TEST(DeviceStateDefaults, NewDeviceShowsItsDocumentedState) {
  ClockSource_API device;
  const DeviceState& s = device.state;
  EXPECT_EQ(s.connected, 0);
  EXPECT_EQ(s.generateOption, 19);
  EXPECT_EQ(s.referenceFrequency, 156.25);
  EXPECT_EQ(s.referenceMode, 0.0);
  EXPECT_EQ(s.fmIndex, 0);
  EXPECT_EQ(s.tx1Power, 1.0);
  EXPECT_EQ(s.tx2Power, 1.0);
  EXPECT_EQ(s.minOutputFrequency, 20.0);
  EXPECT_EQ(s.maxOutputFrequency, 5500.0);
  EXPECT_EQ(s.spareFlag2, 1);
  EXPECT_EQ(s.statusText, "");
  EXPECT_EQ(DeviceState().generateOption, 1);  // the record's own default, before the device overrides it
}

TEST(DeviceStateDefaults, FMTableRatesSettingsAndSwitches) {
  const DeviceState s;
  const double rates[] = {0.04, 0.1, 0.5, 1.0, 1.3, 2.0, 2.5, 3.0, 3.5, 4.0, 10.0, 50.0};
  for (int i = 0; i < kFMTableSize; ++i) {
    const FMEntry& e = s.fmTable[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(e.frequencyMHz, rates[i]);
    EXPECT_EQ(e.synthSettingA, i <= 4 ? 8 : 31);
    EXPECT_EQ(e.synthSettingB, i <= 4 ? 0 : 3);
    const bool slow = i <= 4, middle = i >= 5 && i <= 9;
    EXPECT_EQ(e.switches, (std::array<uint8_t, 6>{slow, middle, 0, 0, slow, 0}));
    EXPECT_EQ(e.coefficients, (std::array<double, 5>{}));
    EXPECT_EQ(e.calibrationMin, 0.0);
    EXPECT_EQ(e.calibrationMax, 0.0);
  }
}

TEST(DeviceStateStatus, SixtyFiveTextsExactlyAsWritten) {
  DeviceState s;
  EXPECT_EQ(s.statusMessages.size(), 65u);
  EXPECT_EQ(s.statusMessages[21], "Trying To lock  ");
  EXPECT_EQ(s.statusMessages[18], "Press Set to apply User Patter");
  EXPECT_EQ(s.statusMessages[0], "Connected ");
  EXPECT_EQ(s.statusMessages[64], "Clock Applied");
  EXPECT_EQ(s.statusMessages[30], "Amplitude ModulationApplied");
  s.setStatus(0, "x");
  EXPECT_EQ(s.statusText, "Connected x");
  s.setStatus(65, "y");
  s.setStatus(-1, "y");
  EXPECT_EQ(s.statusText, "Connected x");
}

TEST(FMMath, IndexForFrequencyThresholds) {
  const struct {
    double mhz;
    uint16_t index;
  } cases[] = {{0.0, 0},  {0.04, 0},  {0.041, 1}, {0.1, 1},  {0.5, 2},  {1.0, 3},  {1.2, 4},
               {1.3, 4},  {2.0, 5},   {2.5, 6},   {3.0, 7},  {3.5, 8},  {4.0, 9},  {4.1, 10},
               {10.0, 10}, {10.5, 11}, {50.0, 11}, {1e9, 11}, {NAN, 11}, {-1.0, 0}};
  for (const auto& c : cases) EXPECT_EQ(fmIndexForFrequency(c.mhz), c.index) << c.mhz;
}

TEST(FMMath, PolynomialAndRegisterClamp) {
  EXPECT_EQ(evaluatePolynomial({0, 0, 0, 2, 5}, 300), 605.0);
  EXPECT_EQ(evaluatePolynomial({1, 1, 1, 1, 1}, 2), 31.0);
  // Truncated toward zero and clamped to the register, never wrapped.
  const struct {
    double y;
    uint16_t value;
  } cases[] = {{605.9, 605},        {-0.9, 0},           {-1.0, 0},          {-5.0, 0},
               {65535.9, 0xFFFF},   {70000.0, 0xFFFF},   {NAN, 0},           {INFINITY, 0xFFFF},
               {-INFINITY, 0},      {1e30, 0xFFFF},      {-1e30, 0}};
  for (const auto& c : cases) EXPECT_EQ(calibratedRegisterValue(c.y), c.value) << c.y;
}

}  // namespace
}  // namespace kestrel
