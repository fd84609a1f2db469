#include "config/device_state.h"

#include <limits>

#include <utility>

namespace kestrel {
namespace {

constexpr std::array<const char*, kStatusMessageCount> kStatusMessages = {
    "Connected ",
    "Connecting ",
    "Loading Please Wait",
    "Disconnected ",
    "Disconnecting ",
    "Error Connection ",
    "Unexpected Error ",
    "Sync with HW",
    "Error Input ",
    "Board Resetting ",
    "Board Reset Applied ",
    "Error In Board Configuration Acquired. Please Power Cycle and Check Input Clock ",
    "Connection Lost ",
    "Clock Input Applied ",
    "Press Apply to configure BitRate",
    "BitRate Applied ",
    "Pattern Generator Applied ",
    "User Defined Pattern Applied ",
    "Press Set to apply User Patter",
    "TX Invert Applied ",
    "Pattern Checker Applied ",
    "Trying To lock  ",
    "Amplitude Modulation Applied (Generic Calibration)",
    "PreEmphasis Applied ",
    "PostEmphasis Applied ",
    "Aligning TX and RX Skew",
    "Alignment Done",
    "Phase Modulation Applied",
    "Supported PM Freq. is between 0 and 100 MHz",
    "Phase Modulation RJ Applied",
    "Amplitude ModulationApplied",
    "Amplitude Modulation RJ Applied",
    "Start BER ",
    "BER Test",
    "BER Test Done ",
    "BER Success",
    "BER Failed",
    "Pattern Sync Problem. Trying To Lock ",
    "Signal TX Skew Applied ",
    "Signal RX Skew Applied ",
    "Checker Is Not Set Yet",
    "Full Sweep error",
    "Full Sweep Start",
    "FullSweepEnd",
    "Continuously injects word errors into the transmit PRBS pattern until cleared",
    "Continuously injects one bit error per word into the transmit PRBS pattern until cleared",
    "Injects only one word error into the transmit PRBS pattern",
    "Injects only one bit error into the transmit PRBS pattern",
    "Scanning Bathtub Curve (Generic Calibration)",
    "Bathtub Scan Complete",
    "Unable to scan. Pattern Sync Error on channel",
    "Scanning Eye Contour",
    "Eye Scan Done",
    "Unable to generate Dual Dirac",
    "TX signal is off",
    "Module has been disconnected",
    "Configuration Saved",
    "Configuration loaded",
    "Interpolation steps",
    "Scanning Histogram",
    "Histogram Scan Done",
    "Reading Signal to Noise Ratio",
    "Signal To Noise Ratio test Done",
    "Apply Line Rate Please Wait ...",
    "Clock Applied",
};

FMEntry fmEntry(double frequencyMHz, int32_t settingA, int32_t settingB,
                std::array<uint8_t, protocol::kFMSwitchCount> switches) {
  FMEntry entry;
  entry.frequencyMHz = frequencyMHz;
  entry.synthSettingA = settingA;
  entry.synthSettingB = settingB;
  entry.switches = switches;
  return entry;
}

}  // namespace

std::array<FMEntry, kFMTableSize> defaultFMTable() {
  // The lowest rates run through switches 0 and 4, the middle ones through
  // switch 1, the two fastest need no switch.
  constexpr std::array<uint8_t, 6> low{1, 0, 0, 0, 1, 0};
  constexpr std::array<uint8_t, 6> middle{0, 1, 0, 0, 0, 0};
  constexpr std::array<uint8_t, 6> fast{0, 0, 0, 0, 0, 0};
  const auto& rate = protocol::kFMRatesMHz;
  return {fmEntry(rate[0], 8, 0, low),     fmEntry(rate[1], 8, 0, low),     fmEntry(rate[2], 8, 0, low),
          fmEntry(rate[3], 8, 0, low),     fmEntry(rate[4], 8, 0, low),     fmEntry(rate[5], 31, 3, middle),
          fmEntry(rate[6], 31, 3, middle), fmEntry(rate[7], 31, 3, middle), fmEntry(rate[8], 31, 3, middle),
          fmEntry(rate[9], 31, 3, middle), fmEntry(rate[10], 31, 3, fast), fmEntry(rate[11], 31, 3, fast)};
}

DeviceState::DeviceState() : fmTable(defaultFMTable()) {
  for (int i = 0; i < kStatusMessageCount; ++i) statusMessages[i] = kStatusMessages[i];
}

void DeviceState::forgetAppliedValues() {
  constexpr double kUnknown = std::numeric_limits<double>::quiet_NaN();
  for (double* applied : {&fmPhaseSkewApplied, &fmRJAmplitudeApplied, &tx2AMAmplitudeApplied,
                          &tx2AMRJAmplitudeApplied, &tx2PMBUJAmplitudeApplied, &tx2BUJAmplitudeApplied,
                          &tx2PMRJAmplitudeApplied})
    *applied = kUnknown;
}

void DeviceState::setStatus(int index, std::string suffix) {
  if (index < 0 || index >= kStatusMessageCount) return;
  statusText = statusMessages[index] + std::move(suffix);
}

}  // namespace kestrel
