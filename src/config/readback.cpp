#include "config/readback.h"

#include <cmath>
#include <iterator>

#include "config/conversions.h"

namespace kestrel {

namespace {

using S = protocol::SettingIndex;

int32_t toInteger(double v) { return truncateToInt32(v); }  // NaN gives 0, huge values saturate
bool toFlag(double v) { return toInteger(v) != 0; }
bool toNonZero(double v) { return !std::isnan(v) && v != 0.0; }
double toReal(double v) { return std::isnan(v) ? 0.0 : v; }

template <auto Member>
void integer(DeviceConfig& c, double v) { c.*Member = toInteger(v); }
template <auto Member>
void flag(DeviceConfig& c, double v) { c.*Member = toFlag(v); }
template <auto Member>
void real(DeviceConfig& c, double v) { c.*Member = toReal(v); }
template <int Switch>
void fmSwitch(DeviceConfig& c, double v) { c.fmSwitches[Switch] = toFlag(v); }
void amEnable(DeviceConfig& c, double v) { c.tx2AMEnable = toNonZero(v); }

// The order in which the board's settings are read back.
constexpr SettingRead kReadOrder[] = {
    {S::Tx2AMRJAmplitude, integer<&DeviceConfig::tx2AMRJAmplitude>},
    {S::Tx2AMAmplitude, integer<&DeviceConfig::tx2AMAmplitude>},
    {S::Tx2AMEnable, amEnable},
    {S::GenerateOption, integer<&DeviceConfig::generateOption>},
    {S::Tx2BUJAmplitude, integer<&DeviceConfig::tx2BUJAmplitude>},
    {S::Tx2BUJPRBSFlag, flag<&DeviceConfig::tx2BUJPRBSFlag>},
    {S::Tx2BUJPRBS, integer<&DeviceConfig::tx2BUJPRBS>},
    {S::Register261, integer<&DeviceConfig::register261>},
    {S::ClockSource, integer<&DeviceConfig::clockSource>},
    {S::ReferenceFrequency, real<&DeviceConfig::referenceFrequency>},
    {S::FMPhaseSkew, integer<&DeviceConfig::fmPhaseSkew>},
    {S::FMRJAmplitude, integer<&DeviceConfig::fmRJAmplitude>},
    {S::FMAmplitude, integer<&DeviceConfig::fmAmplitude>},
    {S::FMEnable, flag<&DeviceConfig::fmEnable>},
    {S::FMFrequency, integer<&DeviceConfig::fmFrequency>},
    {S::GenerateFrequency, real<&DeviceConfig::generateFrequency>},
    {S::Tx2PMPhaseShiftAmplitude, integer<&DeviceConfig::tx2PMPhaseShiftAmplitude>},
    {S::Tx2PMRJAmplitude, integer<&DeviceConfig::tx2PMRJAmplitude>},
    {S::Tx2PMRJEnable, flag<&DeviceConfig::tx2PMRJEnable>},
    {S::Tx2PMFrequency, integer<&DeviceConfig::tx2PMFrequency>},
    {S::Tx2PMAmplitude, integer<&DeviceConfig::tx2PMAmplitude>},
    {S::Tx2PMBUJAmplitude, integer<&DeviceConfig::tx2PMBUJAmplitude>},
    {S::Tx2PMBUJEnable, flag<&DeviceConfig::tx2PMBUJEnable>},
    {S::Tx2PMBUJLineRate, integer<&DeviceConfig::tx2PMBUJLineRate>},
    {S::Tx2PMEnable, flag<&DeviceConfig::tx2PMEnable>},
    {S::FMSwitch0, fmSwitch<0>},
    {S::FMSwitch1, fmSwitch<1>},
    {S::FMSwitch2, fmSwitch<2>},
    {S::FMSwitch3, fmSwitch<3>},
    {S::FMSwitch4, fmSwitch<4>},
    {S::FMSwitch5, fmSwitch<5>},
    {S::Tx1Power, integer<&DeviceConfig::tx1Power>},
    {S::Tx2Power, integer<&DeviceConfig::tx2Power>},
    {S::Tx2Divider, integer<&DeviceConfig::tx2Divider>},
};
static_assert(std::size(kReadOrder) == protocol::kSettingCount);

}  // namespace

std::span<const SettingRead> readbackOrder() { return kReadOrder; }

}  // namespace kestrel
