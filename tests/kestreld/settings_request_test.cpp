// The settings resource in tables: what each JSON body becomes in SCPI, in
// the order it is applied, and the sentence each bad body is refused with.
#include <gtest/gtest.h>

#include "settings_request.h"

namespace kestreld {
namespace {

std::vector<std::string> messagesOf(const char* body) {
  std::vector<std::string> messages;
  for (const SettingChange& change : parseSettings(Json::parse(body))) messages.push_back(change.message);
  return messages;
}

struct GoodCase {
  const char* body;
  std::vector<std::string> messages;
};

TEST(SettingsRequest, BodiesBecomeScpiInApplicationOrder) {
  const GoodCase cases[] = {
      {R"({"clockMHz": 1800})", {"FREQ 1800 MHZ"}},
      {R"({"tx1Power": 10, "clockMHz": 1800.5})", {"FREQ 1800.5 MHZ", "OUTP1:POW 10"}},
      {R"({"tx2Divider": 15, "tx2Power": 4096})", {"OUTP2:POW 4096", "OUTP2:DIV 15"}},
      {R"({"fm": {"deviation": 300, "enabled": true}})", {"FM:STAT ON", "FM:DEV 300"}},
      {R"({"am": {"depth": 30, "enabled": false}, "pm": {"frequencyHz": 33300000}})",
       {"PM:FREQ 33300000", "AM:STAT OFF", "AM:DEPT 30"}},
      {R"({"buj": {"prbsFlag": true, "prbs": 7, "pattern": 3735928559}})", {"BUJ:PATT 3735928559", "BUJ:PRBS 7,ON"}},
      {R"({"calibration": {"source": "file", "path": "/tmp/a \"b\".txt"}})", {R"(CAL:SOUR FILE,"/tmp/a ""b"".txt")"}},
      {R"({"clockMHz": 900, "calibration": {"source": "board"}})", {"CAL:SOUR BOARD", "FREQ 900 MHZ"}},
      {R"({"tx1Power": 5.0})", {"OUTP1:POW 5"}},
  };
  for (const GoodCase& c : cases) EXPECT_EQ(messagesOf(c.body), c.messages) << c.body;
}

struct BadCase {
  const char* body;
  const char* sentence;
};

TEST(SettingsRequest, BadBodiesAreRefusedWithASentence) {
  const BadCase cases[] = {
      {"[]", "the body must be a JSON object of settings"},
      {"{}", "no setting given"},
      {R"({"colour": 1})", "unknown field colour"},
      {R"({"fm": {"speed": 1}})", "unknown field fm.speed"},
      {R"({"fm": 1})", "fm must be an object"},
      {R"({"tx1Power": 32})", "tx1Power must be an integer from 0 to 31, not 32"},
      {R"({"tx1Power": 1.5})", "tx1Power must be an integer from 0 to 31, not 1.5"},
      {R"({"tx1Power": "5"})", "tx1Power must be an integer from 0 to 31"},
      {R"({"tx2Power": -1})", "tx2Power must be an integer from 0 to 4096, not -1"},
      {R"({"tx2Divider": 16})", "tx2Divider must be an integer from 0 to 15, not 16"},
      {R"({"clockMHz": 20})", "clockMHz must be a number above 20 and below 5500, not 20"},
      {R"({"clockMHz": 5500})", "clockMHz must be a number above 20 and below 5500, not 5500"},
      {R"({"fm": {"enabled": 1}})", "fm.enabled must be true or false"},
      {R"({"buj": {"prbs": 7}})", "buj.prbs and buj.prbsFlag go together"},
      {R"({"calibration": {"source": "file"}})", "calibration.path goes with source \"file\", alone"},
      {R"({"calibration": {"source": "none", "path": "x"}})", "calibration.path goes with source \"file\", alone"},
      {R"({"calibration": {"source": "moon"}})", "calibration.source must be \"none\", \"board\" or \"file\""},
  };
  for (const BadCase& c : cases) {
    try {
      parseSettings(Json::parse(c.body));
      ADD_FAILURE() << c.body << " was accepted";
    } catch (const BadRequest& e) {
      EXPECT_STREQ(e.what(), c.sentence) << c.body;
    }
  }
}

TEST(SettingsRequest, ScpiErrorsMapToHttpStatus) {
  const std::pair<int, int> cases[] = {{0, 200},    {-222, 400}, {-102, 400}, {-221, 409},
                                       {-200, 422}, {-240, 502}, {-241, 503}};
  for (const auto& [scpi, http] : cases) EXPECT_EQ(httpStatusFor(scpi), http) << scpi;
}

}  // namespace
}  // namespace kestreld
