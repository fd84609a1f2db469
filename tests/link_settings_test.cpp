// Link settings from the environment: what is taken, what is ignored (with
// one line on stderr), and that the defaults stand otherwise.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "link/link_settings.h"
#include "link/scpi_link.h"

namespace kestrel::testing {
namespace {

std::map<std::string, std::string> environment;

const char* lookup(const char* name) {
  const auto found = environment.find(name);
  return found == environment.end() ? nullptr : found->second.c_str();
}

TEST(LinkSettings, WholeNumbersInRangeAreTakenOthersIgnoredWithOneLine) {
  const LinkSettings defaults;
  const struct {
    const char* variable;
    const char* value;
    bool taken;
  } cases[] = {{"KESTREL_PORT", "7001", true},          {"KESTREL_PORT", "65535", true},
               {"KESTREL_PORT", "0", false},            {"KESTREL_PORT", "65536", false},
               {"KESTREL_PORT", "http", false},         {"KESTREL_PORT", "70 01", false},
               {"KESTREL_CONNECT_TIMEOUT_MS", "250", true}, {"KESTREL_CONNECT_TIMEOUT_MS", "-5", false},
               {"KESTREL_EXCHANGE_TIMEOUT_MS", "1", true},  {"KESTREL_EXCHANGE_TIMEOUT_MS", "0", false},
               {"KESTREL_EXCHANGE_TIMEOUT_MS", "2e3", false}, {"KESTREL_EXCHANGE_TIMEOUT_MS", "99999999999999999999", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.variable) + "=" + c.value);
    environment = {{c.variable, c.value}};
    ::testing::internal::CaptureStderr();
    const LinkSettings s = linkSettingsFromEnvironment(lookup);
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(said.empty(), c.taken) << said;
    if (!c.taken) {
      EXPECT_EQ(said.find('\n'), said.size() - 1) << "one line";
    }
    const long long value = std::stoll(c.taken ? c.value : "0");
    const std::string variable = c.variable;
    EXPECT_EQ(s.port, variable == "KESTREL_PORT" && c.taken ? value : defaults.port);
    EXPECT_EQ(s.connectTimeoutMs, variable == "KESTREL_CONNECT_TIMEOUT_MS" && c.taken ? value : defaults.connectTimeoutMs);
    EXPECT_EQ(s.exchangeTimeoutMs,
              variable == "KESTREL_EXCHANGE_TIMEOUT_MS" && c.taken ? value : defaults.exchangeTimeoutMs);
  }
}

TEST(LinkSettings, PipelineIsOnUnlessTurnedOff) {
  const struct {
    const char* value;  // null: unset
    bool pipeline;
  } cases[] = {{nullptr, true}, {"0", false}, {"1", true}, {"off", true}, {"2", true}};
  for (const auto& c : cases) {
    environment.clear();
    if (c.value != nullptr) environment["KESTREL_PIPELINE"] = c.value;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(linkSettingsFromEnvironment(lookup).pipeline, c.pipeline) << (c.value ? c.value : "unset");
    ::testing::internal::GetCapturedStderr();
  }
}

TEST(LinkSettings, TraceTargets) {
  const struct {
    const char* value;  // null: unset
    std::string trace;
  } cases[] = {{nullptr, ""}, {"", ""}, {"0", ""}, {"1", "1"}, {"/tmp/kestrel.trace", "/tmp/kestrel.trace"}};
  for (const auto& c : cases) {
    environment.clear();
    if (c.value != nullptr) environment["KESTREL_TRACE"] = c.value;
    EXPECT_EQ(linkSettingsFromEnvironment(lookup).trace, c.trace) << (c.value ? c.value : "unset");
  }
}

TEST(RemoteAddress, HostAndPortOfAKestreldUrl) {
  const struct {
    const char* text;
    bool remote;  // the scheme
    bool valid;
    const char* host;
    uint16_t port;
  } cases[] = {{"kestreld://127.0.0.1:5026", true, true, "127.0.0.1", 5026},
               {"kestreld://bench.lab", true, true, "bench.lab", 5025},
               {"kestreld://bench.lab:7000/", true, true, "bench.lab", 7000},
               {"kestreld://", true, false, "", 0},
               {"kestreld://:5025", true, false, "", 0},
               {"kestreld://host:0", true, false, "", 0},
               {"kestreld://host:65536", true, false, "", 0},
               {"kestreld://host:50x", true, false, "", 0},
               {"kestreld://user@host", true, false, "", 0},
               {"127.0.0.1", false, false, "", 0},
               {"KESTRELD://host", false, false, "", 0}};
  for (const auto& c : cases) {
    RemoteAddress address;
    EXPECT_EQ(isRemoteAddress(c.text), c.remote) << c.text;
    EXPECT_EQ(parseRemoteAddress(c.text, &address), c.valid) << c.text;
    if (!c.valid) continue;
    EXPECT_EQ(address.host, c.host);
    EXPECT_EQ(address.port, c.port);
  }
}

}  // namespace
}  // namespace kestrel::testing
