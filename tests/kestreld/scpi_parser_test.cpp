// The SCPI grammar in tables: header spellings, suffixes, compound messages
// and their path rule, numbers with units, and the errors each mistake gives.
#include <gtest/gtest.h>

#include <cmath>

#include "access_list.h"
#include "board_worker.h"
#include "scpi_parser.h"
#include "scpi_session.h"

namespace kestreld {
namespace {

using namespace scpi;

int errorOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const ScpiError& e) {
    return e.code;
  }
  return 0;
}

struct HeaderCase {
  const char* typed;
  const char* pattern;
  MatchResult expected;
};

TEST(ScpiHeaders, LongShortOptionalAndSuffixForms) {
  const HeaderCase cases[] = {
      {"SOURce:FREQuency", "[SOURce]:FREQuency[:CW]", MatchResult::Match},
      {"SOUR:FREQ", "[SOURce]:FREQuency[:CW]", MatchResult::Match},
      {"sour:freq", "[SOURce]:FREQuency[:CW]", MatchResult::Match},
      {"FREQ", "[SOURce]:FREQuency[:CW]", MatchResult::Match},
      {"FREQ:CW", "[SOURce]:FREQuency[:CW]", MatchResult::Match},
      {"SOURCE:FREQUENCY:CW", "[SOURce]:FREQuency[:CW]", MatchResult::Match},
      {"FREQU", "[SOURce]:FREQuency[:CW]", MatchResult::NoMatch},
      {"SOU:FREQ", "[SOURce]:FREQuency[:CW]", MatchResult::NoMatch},
      {"FREQ:CW:CW", "[SOURce]:FREQuency[:CW]", MatchResult::NoMatch},
      {"OUTP:POW", "OUTPut1:POWer", MatchResult::Match},
      {"OUTP1:POW", "OUTPut1:POWer", MatchResult::Match},
      {"output2:power", "OUTPut2:POWer", MatchResult::Match},
      {"OUTP2:POW", "OUTPut1:POWer", MatchResult::BadSuffix},
      {"OUTP:DIV", "OUTPut2:DIVider", MatchResult::BadSuffix},
      {"OUTP1:POWE", "OUTPut2:POWer", MatchResult::NoMatch},
      {"OUTP2:DIVI", "OUTPut2:DIVider", MatchResult::NoMatch},
      {"OUTP", "OUTPut2:POWer", MatchResult::NoMatch},
      {"SOUR1:FREQ", "[SOURce]:FREQuency[:CW]", MatchResult::Match},
      {"PM:RJ", "[SOURce]:PM:RJ[:AMPLitude]", MatchResult::Match},
      {"PM:RJ:AMPL", "[SOURce]:PM:RJ[:AMPLitude]", MatchResult::Match},
      {"PM:RJ:STAT", "[SOURce]:PM:RJ[:AMPLitude]", MatchResult::NoMatch},
      {"SYST:ERR", "SYSTem:ERRor[:NEXT]", MatchResult::Match},
      {"SYST:ERR:NEXT", "SYSTem:ERRor[:NEXT]", MatchResult::Match},
  };
  for (const HeaderCase& c : cases) {
    const ProgramUnit unit = parseUnit(std::string(c.typed) + "?");
    EXPECT_TRUE(unit.header.query) << c.typed;
    EXPECT_EQ(matchPattern(compilePattern(c.pattern), unit.header.nodes), c.expected) << c.typed;
  }
}

TEST(ScpiHeaders, CommonAndAbsoluteHeaders) {
  const ProgramUnit idn = parseUnit("*idn?");
  EXPECT_TRUE(idn.header.common);
  EXPECT_EQ(idn.header.commonName, "*IDN");
  EXPECT_TRUE(parseUnit(":FREQ 5").header.absolute);
  EXPECT_FALSE(parseUnit("FREQ 5").header.absolute);
  EXPECT_EQ(parseUnit("OUTP2:POW 5").header.nodes[0].suffix, 2);
}

struct SplitCase {
  const char* message;
  size_t units;
};

TEST(ScpiMessages, CompoundMessagesSplitOutsideQuotes) {
  const SplitCase cases[] = {
      {"FREQ 1GHZ", 1},
      {"FREQ 1GHZ;:OUTP1:POW 5", 2},
      {"SOUR:FM:STAT ON;DEV 300;RATE 1MHZ", 3},
      {"CAL:SOUR FILE,\"a;b.txt\"", 1},
      {"CAL:SOUR FILE,'it''s;here'", 1},
      {"*RST;*CLS;FREQ?", 3},
  };
  for (const SplitCase& c : cases) EXPECT_EQ(splitUnits(c.message).size(), c.units) << c.message;
}

struct ErrorCase {
  const char* unit;
  int error;
};

TEST(ScpiMessages, MalformedUnitsGiveSyntaxErrors) {
  const ErrorCase cases[] = {
      {"FREQ::CW 5", kSyntaxError},
      {"FREQ: 5", kSyntaxError},
      {"1FREQ", kSyntaxError},
      {"FREQ 1,", kSyntaxError},
      {"FREQ ,1", kSyntaxError},
      {"*", kSyntaxError},
      {"*I2N?", kSyntaxError},
      {"FR$Q 5", kSyntaxError},
      {"FREQ 1.8 GHz extra", kSyntaxError},
      {"CAL:SOUR FILE,\"abc", kSyntaxError},
      {"CAL:SOUR FILE,\"a\"b", kSyntaxError},
      {"FREQ @", kSyntaxError},
      {"FREQ #Z12", kSyntaxError},
      {"OUTP1234567:POW 1", kHeaderSuffixOutOfRange},
  };
  for (const ErrorCase& c : cases) {
    EXPECT_EQ(errorOf([&] { splitUnits(c.unit), parseUnit(c.unit); }), c.error) << c.unit;
  }
}

struct NumberCase {
  const char* text;
  Unit unit;
  double expected;  // used when error is 0
  int error;
};

TEST(ScpiParameters, NumbersUnitsAndMultipliers) {
  const NumericRange clock{20e6, 5500e6, 1e9, true};
  const NumberCase cases[] = {
      {"1.8 GHz", Unit::Hertz, 1.8e9, 0},
      {"1800 MHZ", Unit::Hertz, 1.8e9, 0},
      {"1.8e9", Unit::Hertz, 1.8e9, 0},
      {"1800MHZ", Unit::Hertz, 1.8e9, 0},
      {"1800 mhz", Unit::Hertz, 1.8e9, 0},
      {"1800 MAHZ", Unit::Hertz, 1.8e9, 0},
      {"1800000 KHZ", Unit::Hertz, 1.8e9, 0},
      {"+1.8E+9HZ", Unit::Hertz, 1.8e9, 0},
      {".5 GHZ", Unit::Hertz, 0.5e9, 0},
      {"DEF", Unit::Hertz, 1e9, 0},
      {"default", Unit::Hertz, 1e9, 0},
      {"6 GHZ", Unit::Hertz, 0, kDataOutOfRange},
      {"20 MHZ", Unit::Hertz, 0, kDataOutOfRange},
      {"5500 MHZ", Unit::Hertz, 0, kDataOutOfRange},
      {"1800 MHZZ", Unit::Hertz, 0, kInvalidSuffix},
      {"1800 V", Unit::Hertz, 0, kInvalidSuffix},
      {"1800000000000 MHZ", Unit::Hertz, 0, kDataOutOfRange},
      {"2E9 MHZ", Unit::Hertz, 0, kDataOutOfRange},
      {"1800 M", Unit::Hertz, 0, kInvalidSuffix},
      {"\"1800\"", Unit::Hertz, 0, kDataTypeError},
      {"FAST", Unit::Hertz, 0, kIllegalParameterValue},
      {"1 HZ", Unit::None, 0, kInvalidSuffix},
  };
  for (const NumberCase& c : cases) {
    const Param p = parseUnit(std::string("X ") + c.text).params.at(0);
    const NumericRange range = c.unit == Unit::Hertz ? clock : NumericRange{0, 10, 0};
    double value = 0;
    EXPECT_EQ(errorOf([&] { value = numericValue(p, c.unit, range); }), c.error) << c.text;
    if (c.error == 0) {
      EXPECT_DOUBLE_EQ(value, c.expected) << c.text;
    }
  }
  // MIN and MAX of an open range are the nearest values inside it.
  const Param min = parseUnit("X MIN").params[0];
  const Param max = parseUnit("X MAXIMUM").params[0];
  EXPECT_GT(numericValue(min, Unit::Hertz, clock), 20e6);
  EXPECT_LT(numericValue(max, Unit::Hertz, clock), 5500e6);
}

TEST(ScpiParameters, MilliIsNotMega) {
  const Param milli = parseUnit("X 5000 MHZ").params[0];
  const Param mega = parseUnit("X 5 MAHZ").params[0];
  EXPECT_DOUBLE_EQ(numericValue(milli, Unit::Hertz, {0, 1e10, 0}), 5e9);
  EXPECT_DOUBLE_EQ(numericValue(mega, Unit::Hertz, {0, 1e10, 0}), 5e6);
}

struct IntegerCase {
  const char* text;
  int64_t expected;
  int error;
};

TEST(ScpiParameters, IntegersBooleansChoicesStrings) {
  const IntegerCase integers[] = {{"31", 31, 0},
                                  {"30.6", 31, 0},
                                  {"#H1F", 31, 0},
                                  {"#B11111", 31, 0},
                                  {"#Q37", 31, 0},
                                  {"MAX", 31, 0},
                                  {"MIN", 0, 0},
                                  {"32", 0, kDataOutOfRange},
                                  {"-1", 0, kDataOutOfRange},
                                  {"ON", 0, kIllegalParameterValue}};
  for (const IntegerCase& c : integers) {
    int64_t value = -1;
    EXPECT_EQ(errorOf([&] {
                value = integerValue(parseUnit(std::string("X ") + c.text).params[0], {0, 31, 1});
              }),
              c.error)
        << c.text;
    if (c.error == 0) {
      EXPECT_EQ(value, c.expected) << c.text;
    }
  }
  const std::pair<const char*, int> booleans[] = {{"ON", 1}, {"on", 1}, {"1", 1}, {"OFF", 0}, {"0", 0}, {"2", 1}};
  for (const auto& [text, expected] : booleans) {
    EXPECT_EQ(booleanValue(parseUnit(std::string("X ") + text).params[0]), expected == 1) << text;
  }
  EXPECT_EQ(errorOf([] { booleanValue(parseUnit("X MAYBE").params[0]); }), kIllegalParameterValue);
  EXPECT_EQ(choiceValue(parseUnit("X boar").params[0], {"NONE", "BOARd", "FILE"}), "BOARD");
  EXPECT_EQ(errorOf([] { choiceValue(parseUnit("X BOA").params[0], {"NONE", "BOARd"}); }), kIllegalParameterValue);
  const ProgramUnit file = parseUnit("CAL:SOUR FILE, 'my ''cal''.txt'");
  EXPECT_EQ(stringValue(file.params[1]), "my 'cal'.txt");
  EXPECT_EQ(errorOf([&] { stringValue(file.params[0]); }), kDataTypeError);
}

TEST(ScpiResponses, Formats) {
  EXPECT_EQ(formatReal(1.8e9), "1.800000000E+09");
  EXPECT_EQ(formatReal(NAN), "9.91E+37");
  EXPECT_EQ(quoted("a\"b"), "\"a\"\"b\"");
}

// ---- sessions over a small tree of recording commands ---------------------------

std::vector<std::string> calls;

CommandEntry recorder(const char* pattern, int params = 1) {
  CommandEntry e;
  e.pattern = pattern;
  e.setParams = params;
  e.set = [pattern](Call& call) {
    calls.push_back(std::string(pattern) + (call.params.empty() ? "" : " " + call.params[0].text));
  };
  e.query = [pattern](Call&) { return std::string(pattern); };
  return e;
}

CommandEntry errorQuery() {
  CommandEntry e;
  e.pattern = "SYSTem:ERRor[:NEXT]";
  e.query = [](Call& call) { return call.client.popError(); };
  return e;
}

std::vector<CommandEntry> recordingTree() {
  std::vector<CommandEntry> entries = commonCommands();
  for (const char* pattern : {"[SOURce]:FREQuency[:CW]", "[SOURce]:FM:STATe", "[SOURce]:FM:DEViation", "OUTPut1:POWer",
                              "OUTPut2:POWer", "OUTPut2:DIVider", "[SOURce]:PM:RJ:STATe", "[SOURce]:PM:RJ[:AMPLitude]"}) {
    entries.push_back(recorder(pattern));
  }
  entries.push_back(errorQuery());
  return entries;
}

class ScpiSession : public ::testing::Test {
 protected:
  ScpiSession()
      : tree_(recordingTree()),
        board_("test", "127.0.0.1"),
        session_(tree_) {
    calls.clear();
  }
  std::string run(const char* message) { return session_.execute(message, board_); }

  CommandTree tree_;
  BoardWorker board_;  // never started: the board is "not connected"
  ClientSession session_;
};

struct PathCase {
  const char* message;
  std::vector<std::string> expected;
};

TEST_F(ScpiSession, PathRuleAfterSemicolon) {
  const PathCase cases[] = {
      {"SOUR:FM:STAT ON;DEV 300", {"[SOURce]:FM:STATe ON", "[SOURce]:FM:DEViation 300"}},
      {"FREQ 1GHZ;:OUTP1:POW 5", {"[SOURce]:FREQuency[:CW] 1GHZ", "OUTPut1:POWer 5"}},
      {"OUTP2:POW 7;OUTP1:POW 3", {"OUTPut2:POWer 7", "OUTPut1:POWer 3"}},
      {"PM:RJ:STAT ON;AMPL 4", {"[SOURce]:PM:RJ:STATe ON", "[SOURce]:PM:RJ[:AMPLitude] 4"}},
      {"FM:STAT ON;*CLS;DEV 2", {"[SOURce]:FM:STATe ON", "[SOURce]:FM:DEViation 2"}},
  };
  for (const PathCase& c : cases) {
    calls.clear();
    run(c.message);
    EXPECT_EQ(calls, c.expected) << c.message;
    EXPECT_EQ(run("SYST:ERR?"), "0,\"No error\"") << c.message;
  }
}

struct SessionErrorCase {
  const char* message;
  const char* error;
};

TEST_F(ScpiSession, ErrorsReachTheQueueWithStandardTexts) {
  const SessionErrorCase cases[] = {
      {"FREQU 5", "-113,\"Undefined header;FREQU\""},
      {"FREQ", "-109,\"Missing parameter\""},
      {"FREQ 1,2", "-108,\"Parameter not allowed\""},
      {"OUTP3:POW 1", "-114,\"Header suffix out of range;OUTP3:POW\""},
      {"OUTP1:DIV 1", "-114,\"Header suffix out of range;OUTP1:DIV\""},
      // A misspelled node is no suffix problem, whatever suffix comes before it.
      {"OUTP1:POWE 1", "-113,\"Undefined header;OUTP1:POWE\""},
      {"OUTP2:DIVI 1", "-113,\"Undefined header;OUTP2:DIVI\""},
      {"OUTP ON", "-113,\"Undefined header;OUTP\""},
      {"FREQ::CW 1", "-102,\"Syntax error;bad header\""},
      {"*IDN?", "-241,\"Hardware missing;board test is not connected\""},
      {"*FOO", "-113,\"Undefined header;*FOO\""},
      {"*RST 5", "-108,\"Parameter not allowed\""},
  };
  for (const SessionErrorCase& c : cases) {
    run(c.message);
    EXPECT_EQ(run("SYST:ERR?"), c.error) << c.message;
  }
}

TEST_F(ScpiSession, CommandErrorAbandonsTheRestOfTheMessage) {
  run("FREQU 5;OUTP1:POW 3");
  EXPECT_TRUE(calls.empty());
  run("OUTP1:POW 3;FREQU 5;OUTP2:POW 1");
  EXPECT_EQ(calls, std::vector<std::string>{"OUTPut1:POWer 3"});
}

TEST_F(ScpiSession, StatusRegistersAndQueueOverflow) {
  EXPECT_EQ(run("*ESE 36;*ESE?;*SRE 4;*SRE?"), "36;4");
  EXPECT_EQ(run("*STB?"), "0");
  run("FREQU 1");
  EXPECT_EQ(run("*STB?"), std::to_string(0x04 | 0x20 | 0x40));
  EXPECT_EQ(run("*ESR?;*ESR?"), "32;0");
  EXPECT_EQ(run("*OPC;*ESR?;*OPC?"), "1;1");
  for (int i = 0; i < 20; ++i) run("NOPE");
  EXPECT_EQ(session_.errorCount(), ClientSession::kErrorQueueDepth);
  for (size_t i = 1; i < ClientSession::kErrorQueueDepth; ++i) run("SYST:ERR?");
  EXPECT_EQ(run("SYST:ERR?"), "-350,\"Queue overflow\"");
  run("NOPE");
  run("*CLS");
  EXPECT_EQ(run("SYST:ERR?;*ESR?"), "0,\"No error\";0");
}

TEST_F(ScpiSession, QueriesAnswerInOrderJoinedBySemicolons) {
  EXPECT_EQ(run("FREQ?;:OUTP2:POW?;*OPC?"), "[SOURce]:FREQuency[:CW];OUTPut2:POWer;1");
  EXPECT_EQ(run(""), "");
  EXPECT_EQ(run("   "), "");
}

// ---- who may connect --------------------------------------------------------------

struct AccessCase {
  const char* network;
  const char* peer;
  bool allowed;
};

TEST(AccessListTest, NetworksInCidrNotation) {
  const AccessCase cases[] = {
      {"10.0.0.0/8", "10.200.1.2", true},    {"10.0.0.0/8", "11.0.0.1", false}, {"192.168.1.7", "192.168.1.7", true},
      {"192.168.1.7", "192.168.1.8", false}, {"0.0.0.0/0", "8.8.8.8", true},    {"127.0.0.0/8", "127.5.6.7", true},
  };
  for (const AccessCase& c : cases) {
    AccessList list;
    list.add(*parseNetwork(c.network));
    EXPECT_EQ(list.allows(*parseIPv4(c.peer)), c.allowed) << c.network << " " << c.peer;
  }
  for (const char* bad : {"10.0.0.0/33", "10.0.0/8", "10.0.0.0/", "300.0.0.1", "a.b.c.d", ""}) {
    EXPECT_FALSE(parseNetwork(bad).has_value()) << bad;
  }
}

}  // namespace
}  // namespace kestreld
