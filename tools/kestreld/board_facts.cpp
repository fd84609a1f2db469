#include "board_facts.h"

#include <cmath>
#include <cstdio>

namespace kestreld {

namespace {

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.10g", value);
  return text;
}

using C = ActiveConfig;

// In the order of Setting.
constexpr SettingFacts kSettings[] = {
    {Setting::ClockSource, "clock source", facts::kRegisterWord, &C::clockSource, {}},
    {Setting::Tx1Power, "Tx1 power", facts::kTx1Power, &C::tx1Power, {}},
    {Setting::Tx2Power, "Tx2 power", facts::kTx2Power, &C::tx2Power, {}},
    {Setting::Tx2Divider, "Tx2 divider", facts::kTx2Divider, &C::tx2Divider, {}},
    {Setting::FMDeviation, "FM deviation", facts::kRegisterWord, &C::fmAmplitude, {}},
    {Setting::FMSkew, "FM skew", facts::kRegisterWord, &C::fmPhaseSkew, {}},
    {Setting::FMRJ, "FM random jitter", facts::kRegisterWord, &C::fmRJAmplitude, {}},
    {Setting::PMDeviation, "PM deviation", facts::kRegisterWord, &C::tx2PMAmplitude, Switch::PM},
    {Setting::PMPhaseShift, "PM phase shift", facts::kRegisterWord, &C::tx2PMPhaseShiftAmplitude, Switch::PM},
    {Setting::PMRJ, "PM random jitter", facts::kRegisterWord, &C::tx2PMRJAmplitude, Switch::PMRJ},
    {Setting::PMBUJ, "PM BUJ", facts::kRegisterWord, &C::tx2PMBUJAmplitude, Switch::PMBUJ},
    {Setting::PMBUJLineRate, "PM BUJ line rate", facts::kRegisterWord, &C::tx2PMBUJLineRate, {}},
    {Setting::BUJAmplitude, "BUJ amplitude", facts::kRegisterWord, &C::tx2BUJAmplitude, {}},
    {Setting::AMDepth, "AM depth", facts::kRegisterWord, &C::tx2AMAmplitude, Switch::AM},
    {Setting::AMRJ, "AM random jitter", facts::kRegisterWord, &C::tx2AMRJAmplitude, {}},
};
static_assert(std::size(kSettings) == kSettingCount);

// In the order of Switch.
constexpr SwitchFacts kSwitches[] = {
    {Switch::FM, "FM", &C::fmEnable},
    {Switch::PM, "PM", &C::tx2PMEnable},
    {Switch::PMRJ, "PM random jitter", &C::tx2PMRJEnable},
    {Switch::PMBUJ, "PM BUJ", &C::tx2PMBUJEnable},
    {Switch::AM, "AM", &C::tx2AMEnable},
};
static_assert(std::size(kSwitches) == kSwitchCount);

static_assert(indexedById(kSettings) && indexedById(kSwitches), "the tables are indexed by their enums");

}  // namespace

bool Range::contains(double value) const {
  if (exclusive) return value > min && value < max;
  return value >= min && value <= max;
}

std::string Range::text() const {
  if (exclusive) return "above " + number(min) + " and below " + number(max);
  return number(min) + ".." + number(max);
}

namespace facts {

std::optional<int32_t> fmRateIndex(double mhz) {
  for (size_t i = 0; i < kFMRatesMHz.size(); ++i) {
    if (std::fabs(kFMRatesMHz[i] - mhz) < 0.5e-6) return static_cast<int32_t>(i);
  }
  return std::nullopt;
}

std::optional<int> vcoBand(double vcoMHz) {
  for (size_t i = 0; i < kestrel::kVcoBands.size(); ++i) {
    if (vcoMHz >= kestrel::kVcoBands[i].lo && vcoMHz < kestrel::kVcoBands[i].hi) return static_cast<int>(i + 1);
  }
  return std::nullopt;
}

}  // namespace facts

const SettingFacts& factsOf(Setting setting) { return kSettings[static_cast<size_t>(setting)]; }
const SwitchFacts& factsOf(Switch which) { return kSwitches[static_cast<size_t>(which)]; }

}  // namespace kestreld
