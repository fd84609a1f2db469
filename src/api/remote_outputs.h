// The outputs a remote call gives back, as text from the daemon, into the
// caller's variables: numbers read exactly (doubles as protocol/remote_call.h
// writes them), nothing written unless every output is readable.
#pragma once

#include <charconv>
#include <string>
#include <system_error>
#include <tuple>
#include <vector>

#include "KestrelLib.h"
#include "api/active_config_fields.h"
#include "protocol/remote_call.h"

namespace kestrel {

template <typename T>
bool parseOutput(const std::string& text, T* value) {
  if constexpr (std::is_same_v<T, double>) {
    return protocol::parseExactDouble(text, value);
  } else if constexpr (std::is_same_v<T, bool>) {
    int flag = 0;
    const bool ok = parseOutput(text, &flag);
    *value = flag != 0;
    return ok;
  } else {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
    return error == std::errc() && end == text.data() + text.size();
  }
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
  forEachActiveConfigField(read, [&](const char*, auto& field) { ok = ok && next < outputs.size() && parseOutput(outputs[next++], &field); });
  if (!ok || next != outputs.size()) return false;
  *config = read;
  return true;
}

}  // namespace kestrel
