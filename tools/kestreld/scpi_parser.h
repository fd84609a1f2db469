// The SCPI grammar, free of any board or network: splitting a program
// message into units, parsing headers and parameters, numbers with units and
// multipliers, and matching a header against a tree pattern such as
// "[SOURce]:FREQuency[:CW]". Everything here throws ScpiError on bad input.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scpi_errors.h"

namespace kestreld::scpi {

// One header node as typed: "OUTP2" gives name "OUTP", suffix 2.
struct Mnemonic {
  std::string name;  // upper case
  std::optional<int> suffix;
};

struct Header {
  bool common = false;    // "*IDN?": name holds "*IDN"
  bool absolute = false;  // a leading ':' returns to the root
  bool query = false;
  std::string commonName;
  std::vector<Mnemonic> nodes;
};

enum class ParamKind { Numeric, Character, String };

struct Param {
  ParamKind kind = ParamKind::Character;
  std::string text;   // character data upper-cased; string contents unquoted
  double number = 0;  // numeric: the mantissa (and exponent), without the unit
  std::string unit;   // numeric: the unit as typed, upper-cased ("MHZ"), may be empty
};

struct ProgramUnit {
  Header header;
  std::vector<Param> params;
};

// Splits a program message at the semicolons that are not inside quotes.
// Throws kSyntaxError on an unterminated string.
std::vector<std::string_view> splitUnits(std::string_view message);

// Parses one unit ("SOUR:FREQ 1.8 GHz", "*ESE 32", ":OUTP2:POW?").
ProgramUnit parseUnit(std::string_view unit);

// ---- the command tree's patterns ------------------------------------------------

// One node of a pattern: "[SOURce]" is optional; "OUTPut2" takes suffix 2 only;
// a node without digits accepts no suffix or suffix 1.
struct PatternNode {
  std::string longName;   // upper case: "FREQUENCY"
  std::string shortName;  // the long form's capitals: "FREQ"
  bool optional = false;
  int suffix = 1;
};

std::vector<PatternNode> compilePattern(std::string_view pattern);

enum class MatchResult { Match, NoMatch, BadSuffix };

// Whether the typed nodes spell the pattern (optional nodes may be left out).
// BadSuffix: every name fits, but a numeric suffix selects a node that is not there.
MatchResult matchPattern(const std::vector<PatternNode>& pattern, const std::vector<Mnemonic>& typed);

// ---- parameters -----------------------------------------------------------------

// Limits of a numeric parameter, and what MINimum, MAXimum and DEFault stand for.
struct NumericRange {
  double min;
  double max;
  double def;
  bool exclusive = false;  // min and max themselves are out of range; MIN and MAX are 1 inside
};

// What a unit may be attached to.
enum class Unit { None, Hertz };

// A number in base units (Hz for Hertz), MIN/MAX/DEF resolved, range checked.
double numericValue(const Param& param, Unit unit, const NumericRange& range);
// An integer: numbers are rounded to the nearest integer first.
int64_t integerValue(const Param& param, const NumericRange& range);
// ON|OFF|1|0.
bool booleanValue(const Param& param);
// One of the given upper-case long forms, by long or short form ("BOARd").
std::string choiceValue(const Param& param, const std::vector<std::string>& choices);
// A quoted string.
std::string stringValue(const Param& param);

// ---- responses ------------------------------------------------------------------

std::string formatReal(double value);       // "1.800000000E+09"; NaN gives 9.91E+37
std::string quoted(std::string_view text);  // "text" with inner quotes doubled

}  // namespace kestreld::scpi
