// The settings resource in tables: the typed change of the board service
// each JSON body becomes, in the order it is applied, and the sentence each
// bad body is refused with.
#include <gtest/gtest.h>

#include "settings_request.h"

namespace kestreld {

std::ostream& operator<<(std::ostream& out, const SettingChange& c) { return out << c.field; }

namespace {

struct GoodCase {
  const char* body;
  std::vector<SettingChange> changes;
};

TEST(SettingsRequest, BodiesBecomeTypedChangesInApplicationOrder) {
  const GoodCase cases[] = {
      {R"({"clockMHz": 1800})", {{"clockMHz", SetFrequency{Frequency::Clock, 1800}}}},
      {R"({"tx1Power": 10, "clockMHz": 1800.5})",
       {{"clockMHz", SetFrequency{Frequency::Clock, 1800.5}}, {"tx1Power", SetInteger{Setting::Tx1Power, 10}}}},
      {R"({"tx2Divider": 15, "tx2Power": 4096})",
       {{"tx2Power", SetInteger{Setting::Tx2Power, 4096}}, {"tx2Divider", SetInteger{Setting::Tx2Divider, 15}}}},
      {R"({"fm": {"deviation": 65535, "enabled": true, "rateHz": 1200000}})",
       {{"fm.enabled", SetSwitch{Switch::FM, true}},
        {"fm.rateHz", SetFrequency{Frequency::FMRate, 1.2}},
        {"fm.deviation", SetInteger{Setting::FMDeviation, 65535}}}},
      {R"({"am": {"depth": 30, "enabled": false}, "pm": {"frequencyHz": 33300000}})",
       {{"pm.frequencyHz", SetFrequency{Frequency::PM, 33.3}},
        {"am.enabled", SetSwitch{Switch::AM, false}},
        {"am.depth", SetInteger{Setting::AMDepth, 30}}}},
      {R"({"buj": {"prbsFlag": true, "prbs": 7, "pattern": 3735928559}})",
       {{"buj.pattern", SetPattern{3735928559}}, {"buj.prbs", SetPRBS{7, true}}}},
      {R"({"calibration": {"source": "file", "path": "/tmp/a \"b\".txt"}})",
       {{"calibration", SetCalibration{CalibrationSource::File, "/tmp/a \"b\".txt"}}}},
      {R"({"clockMHz": 900, "calibration": {"source": "board"}})",
       {{"calibration", SetCalibration{CalibrationSource::Board, ""}}, {"clockMHz", SetFrequency{Frequency::Clock, 900}}}},
      {R"({"tx1Power": 5.0})", {{"tx1Power", SetInteger{Setting::Tx1Power, 5}}}},
  };
  for (const GoodCase& c : cases) EXPECT_EQ(parseSettings(Json::parse(c.body)), c.changes) << c.body;
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
      // Every value a register holds stays in its register's range.
      {R"({"fm": {"deviation": 70000}})", "fm.deviation must be an integer from 0 to 65535, not 70000"},
      {R"({"fm": {"deviation": -5}})", "fm.deviation must be an integer from 0 to 65535, not -5"},
      {R"({"clockSource": 65536})", "clockSource must be an integer from 0 to 65535, not 65536"},
      {R"({"am": {"rj": -1}})", "am.rj must be an integer from 0 to 65535, not -1"},
      {R"({"buj": {"prbs": 70000, "prbsFlag": true}})", "buj.prbs must be an integer from 0 to 65535, not 70000"},
      {R"({"fm": {"rateHz": 30000}})", "fm.rateHz must be a number from 40000 to 50000000, not 30000"},
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

TEST(SettingsRequest, BoardFaultsMapToHttpStatus) {
  const std::pair<BoardFault, int> cases[] = {{BoardFault::OutOfRange, 400}, {BoardFault::Conflict, 409},
                                              {BoardFault::Unusable, 422},   {BoardFault::Failed, 502},
                                              {BoardFault::Missing, 503}};
  for (const auto& [fault, http] : cases) EXPECT_EQ(httpStatusFor(fault), http) << http;
}

// The limits the front panel takes: every settable field, each with the
// board's own range.
TEST(SettingsRequest, LimitsComeFromTheBoardsFacts) {
  const Json limits = settingsLimits();
  EXPECT_EQ(limits["tx1Power"], Json::parse(R"({"kind": "integer", "min": 0.0, "max": 31.0, "exclusive": false})"));
  EXPECT_EQ(limits["fm.deviation"]["max"], 65535.0);
  EXPECT_EQ(limits["clockMHz"]["exclusive"], true);
  EXPECT_EQ(limits["fm.rateHz"]["min"], 40000.0);
  EXPECT_EQ(limits["fm.enabled"]["kind"], "boolean");
  for (const auto& [path, field] : limits.items()) {
    if (field["kind"] != "integer" && field["kind"] != "real") continue;
    const std::string body = path.find('.') == std::string::npos
                                 ? "{\"" + path + "\": 1e12}"
                                 : "{\"" + path.substr(0, path.find('.')) + "\": {\"" + path.substr(path.find('.') + 1) +
                                       "\": 1e12" + (path == "buj.prbs" ? ", \"prbsFlag\": true" : "") + "}}";
    EXPECT_THROW(parseSettings(Json::parse(body)), BadRequest) << body;
  }
}

}  // namespace
}  // namespace kestreld
