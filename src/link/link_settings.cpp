#include "link/link_settings.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

namespace kestrel {

namespace {

// Longer than any board should need, short enough to stay an integer of milliseconds.
constexpr int kLongestTimeoutMs = 3600 * 1000;

std::optional<long long> wholeNumber(std::string_view text) {
  long long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// The variable's value when it is a whole number in [low, high]; otherwise
// nullopt, with a line on stderr when it was set at all.
std::optional<long long> rangedVariable(EnvironmentLookup lookup, const char* name, long long low, long long high) {
  const char* text = lookup(name);
  if (text == nullptr || *text == '\0') return std::nullopt;
  const std::optional<long long> value = wholeNumber(text);
  if (value && *value >= low && *value <= high) return value;
  std::fprintf(stderr, "KestrelLib: ignoring %s=\"%s\": expected a whole number from %lld to %lld\n", name, text,
               low, high);
  return std::nullopt;
}

}  // namespace

LinkSettings linkSettingsFromEnvironment(EnvironmentLookup lookup) {
  LinkSettings settings;
  if (auto port = rangedVariable(lookup, kPortVariable, 1, 65535)) settings.port = static_cast<uint16_t>(*port);
  if (auto ms = rangedVariable(lookup, kConnectTimeoutVariable, 1, kLongestTimeoutMs))
    settings.connectTimeoutMs = static_cast<int>(*ms);
  if (auto ms = rangedVariable(lookup, kExchangeTimeoutVariable, 1, kLongestTimeoutMs))
    settings.exchangeTimeoutMs = static_cast<int>(*ms);
  if (auto on = rangedVariable(lookup, kPipelineVariable, 0, 1)) settings.pipeline = *on == 1;
  const char* trace = lookup(kTraceVariable);
  if (trace != nullptr && *trace != '\0' && std::strcmp(trace, "0") != 0) settings.trace = trace;
  return settings;
}

LinkSettings linkSettingsFromEnvironment() {
  return linkSettingsFromEnvironment([](const char* name) -> const char* { return std::getenv(name); });
}

}  // namespace kestrel
