// The outputs a remote call gives back, as text from the daemon, into the
// caller's variables: numbers read exactly (the daemon writes doubles with
// 17 digits), nothing written unless every output is readable.
#pragma once

#include <charconv>
#include <string>
#include <system_error>
#include <tuple>
#include <vector>

#include "KestrelLib.h"

namespace kestrel {

template <typename T>
bool parseOutput(const std::string& text, T* value) {
  if constexpr (std::is_same_v<T, bool>) {
    int flag = 0;
    const bool ok = parseOutput(text, &flag);
    *value = flag != 0;
    return ok;
  } else {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
    return error == std::errc() && end == text.data() + text.size();
  }
}

// Every field of the record, in the order SYSTem:CONFiguration? and the
// remote call of getActiveConfig give them.
template <typename Visit>
void forEachActiveConfigField(ActiveConfig& c, Visit&& visit) {
  visit(c.clockSource);
  visit(c.register261);
  visit(c.generateOption);
  visit(c.generateFrequency);
  visit(c.fmEnable);
  visit(c.fmFrequency);
  visit(c.fmAmplitude);
  visit(c.fmPhaseSkew);
  visit(c.fmRJAmplitude);
  visit(c.tx2PMEnable);
  visit(c.tx2PMFrequency);
  visit(c.tx2PMAmplitude);
  visit(c.tx2PMPhaseShiftAmplitude);
  visit(c.tx2PMRJEnable);
  visit(c.tx2PMRJAmplitude);
  visit(c.tx2PMBUJEnable);
  visit(c.tx2PMBUJAmplitude);
  visit(c.tx2PMBUJLineRate);
  visit(c.tx2AMEnable);
  visit(c.tx2AMAmplitude);
  visit(c.tx2AMRJAmplitude);
  visit(c.tx2BUJAmplitude);
  visit(c.tx2BUJPRBS);
  visit(c.tx2BUJPRBSFlag);
  visit(c.referenceFrequency);
  visit(c.tx2Divider);
  visit(c.tx1Power);
  visit(c.tx2Power);
}

// The outputs into `targets`, in order: false, with the targets untouched,
// when there are not exactly as many readable outputs.
template <typename... T>
bool readOutputs(const std::vector<std::string>& outputs, T*... targets) {
  if (outputs.size() != sizeof...(T)) return false;
  std::tuple<T...> read{};
  size_t next = 0;
  const bool ok = std::apply([&](auto&... value) { return (parseOutput(outputs[next++], &value) && ...); }, read);
  if (!ok) return false;
  std::apply([&](const auto&... value) { ((*targets = value), ...); }, read);
  return true;
}

inline bool readOutputs(const std::vector<std::string>& outputs, ActiveConfig* config) {
  ActiveConfig read{};
  size_t next = 0;
  bool ok = true;
  forEachActiveConfigField(read, [&](auto& field) { ok = ok && next < outputs.size() && parseOutput(outputs[next++], &field); });
  if (!ok || next != outputs.size()) return false;
  *config = read;
  return true;
}

}  // namespace kestrel
