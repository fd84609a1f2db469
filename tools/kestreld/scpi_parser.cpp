#include "scpi_parser.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace kestreld::scpi {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool isAlpha(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view trim(std::string_view text) {
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  return text;
}

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// Splits at `separator` outside quotes; a quote is closed by the same quote
// character, and a doubled quote stays inside the string.
std::vector<std::string_view> splitOutsideQuotes(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  char quote = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quote != 0) {
      if (c == quote) quote = 0;  // a doubled quote reopens at once on the next character
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == separator) {
      parts.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  if (quote != 0) throw ScpiError(kSyntaxError, "unterminated string");
  parts.push_back(text.substr(start));
  return parts;
}

Mnemonic parseMnemonic(std::string_view text) {
  if (text.empty() || !isAlpha(text.front())) throw ScpiError(kSyntaxError, "bad header");
  size_t digits = text.size();
  while (digits > 0 && isDigit(text[digits - 1])) --digits;
  for (size_t i = 0; i < digits; ++i) {
    if (!isAlpha(text[i]) && text[i] != '_') throw ScpiError(kSyntaxError, "bad header");
  }
  Mnemonic m{upper(text.substr(0, digits)), std::nullopt};
  if (digits < text.size()) {
    const std::string_view number = text.substr(digits);
    if (number.size() > 6) throw ScpiError(kHeaderSuffixOutOfRange);
    m.suffix = std::atoi(std::string(number).c_str());
  }
  return m;
}

Header parseHeader(std::string_view text) {
  Header h;
  if (!text.empty() && text.back() == '?') {
    h.query = true;
    text.remove_suffix(1);
  }
  if (!text.empty() && text.front() == '*') {
    h.common = true;
    h.commonName = upper(text);
    for (size_t i = 1; i < text.size(); ++i) {
      if (!isAlpha(text[i])) throw ScpiError(kSyntaxError, "bad common command");
    }
    if (text.size() < 2) throw ScpiError(kSyntaxError, "bad common command");
    return h;
  }
  if (!text.empty() && text.front() == ':') {
    h.absolute = true;
    text.remove_prefix(1);
  }
  for (std::string_view node : splitOutsideQuotes(text, ':')) h.nodes.push_back(parseMnemonic(node));
  return h;
}

// "1.8", "-5", "1e9", ".5": the length of the number at the start of text, or 0.
size_t numberLength(std::string_view text) {
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  size_t digits = 0;
  while (i < text.size() && isDigit(text[i])) ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && isDigit(text[i])) ++i, ++digits;
  }
  if (digits == 0) return 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    size_t j = i + 1;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
    const size_t exponentStart = j;
    while (j < text.size() && isDigit(text[j])) ++j;
    if (j > exponentStart) i = j;  // else the E begins a unit
  }
  return i;
}

// IEEE 488.2 non-decimal numbers: #H1F, #Q17, #B1010.
Param nonDecimal(std::string_view text) {
  if (text.size() < 3) throw ScpiError(kSyntaxError, "bad number");
  const char radixLetter = static_cast<char>(std::toupper(static_cast<unsigned char>(text[1])));
  const int radix = radixLetter == 'H' ? 16 : radixLetter == 'Q' ? 8 : radixLetter == 'B' ? 2 : 0;
  if (radix == 0) throw ScpiError(kSyntaxError, "bad number");
  const std::string digits(text.substr(2));
  char* end = nullptr;
  const unsigned long long value = std::strtoull(digits.c_str(), &end, radix);
  if (*end != '\0' || digits[0] == '-' || digits[0] == '+') throw ScpiError(kSyntaxError, "bad number");
  Param p;
  p.kind = ParamKind::Numeric;
  p.text = upper(text);
  p.number = static_cast<double>(value);
  return p;
}

Param parseParam(std::string_view text) {
  text = trim(text);
  if (text.empty()) throw ScpiError(kSyntaxError, "empty parameter");
  Param p;
  const char first = text.front();
  if (first == '"' || first == '\'') {
    if (text.size() < 2 || text.back() != first) throw ScpiError(kSyntaxError, "bad string");
    p.kind = ParamKind::String;
    const std::string_view inner = text.substr(1, text.size() - 2);
    for (size_t i = 0; i < inner.size(); ++i) {
      if (inner[i] == first) {
        if (i + 1 >= inner.size() || inner[i + 1] != first) throw ScpiError(kSyntaxError, "bad string");
        ++i;
      }
      p.text += inner[i];
    }
    return p;
  }
  if (first == '#') return nonDecimal(text);
  if (const size_t length = numberLength(text); length > 0) {
    p.kind = ParamKind::Numeric;
    p.number = std::strtod(std::string(text.substr(0, length)).c_str(), nullptr);
    p.unit = upper(trim(text.substr(length)));
    for (char c : p.unit) {
      if (!isAlpha(c)) throw ScpiError(kSyntaxError, "bad number");
    }
    p.text = upper(text);
    return p;
  }
  if (!isAlpha(first)) throw ScpiError(kSyntaxError, "bad parameter");
  for (char c : text) {
    if (!isAlpha(c) && !isDigit(c) && c != '_') throw ScpiError(kSyntaxError, "bad parameter");
  }
  p.text = upper(text);
  return p;
}

std::string shortForm(std::string_view longForm) {
  std::string s;
  for (char c : longForm) {
    if (std::isupper(static_cast<unsigned char>(c)) || isDigit(c)) s += c;
  }
  return s;
}

// Whether a typed name is the long or the short form of a mixed-case name.
bool spells(const std::string& typed, std::string_view mixedCase) {
  return typed == upper(mixedCase) || typed == shortForm(mixedCase);
}

// Whether the typed nodes spell the pattern from node p and typed node t on;
// with `suffixes` false, whatever their numeric suffixes.
bool matchFrom(const std::vector<PatternNode>& pattern, size_t p, const std::vector<Mnemonic>& typed, size_t t,
               bool suffixes) {
  if (p == pattern.size()) return t == typed.size();
  const PatternNode& node = pattern[p];
  const bool nameFits = t < typed.size() && (typed[t].name == node.longName || typed[t].name == node.shortName);
  if (nameFits && (!suffixes || typed[t].suffix.value_or(1) == node.suffix) &&
      matchFrom(pattern, p + 1, typed, t + 1, suffixes)) {
    return true;
  }
  return node.optional && matchFrom(pattern, p + 1, typed, t, suffixes);
}

double unitScale(const std::string& unit, Unit kind) {
  if (unit.empty()) return 1.0;
  if (kind != Unit::Hertz) throw ScpiError(kInvalidSuffix, unit);
  // IEEE 488.2: M is milli and MA mega, except in MHZ, which is megahertz.
  if (unit == "MHZ") return 1e6;
  static const std::map<std::string, double> kPrefixes = {{"", 1.0},   {"K", 1e3},  {"MA", 1e6}, {"G", 1e9},
                                                          {"T", 1e12}, {"M", 1e-3}, {"U", 1e-6}, {"N", 1e-9}};
  if (unit.size() < 2 || unit.compare(unit.size() - 2, 2, "HZ") != 0) throw ScpiError(kInvalidSuffix, unit);
  const auto prefix = kPrefixes.find(unit.substr(0, unit.size() - 2));
  if (prefix == kPrefixes.end()) throw ScpiError(kInvalidSuffix, unit);
  return prefix->second;
}

bool inRange(double value, const NumericRange& range) {
  if (range.exclusive) return value > range.min && value < range.max;
  return value >= range.min && value <= range.max;
}

}  // namespace

const char* errorText(int code) {
  switch (code) {
    case kNoError:
      return "No error";
    case kCommandError:
      return "Command error";
    case kSyntaxError:
      return "Syntax error";
    case kDataTypeError:
      return "Data type error";
    case kParameterNotAllowed:
      return "Parameter not allowed";
    case kMissingParameter:
      return "Missing parameter";
    case kUndefinedHeader:
      return "Undefined header";
    case kHeaderSuffixOutOfRange:
      return "Header suffix out of range";
    case kInvalidSuffix:
      return "Invalid suffix";
    case kExecutionError:
      return "Execution error";
    case kSettingsConflict:
      return "Settings conflict";
    case kDataOutOfRange:
      return "Data out of range";
    case kTooMuchData:
      return "Too much data";
    case kIllegalParameterValue:
      return "Illegal parameter value";
    case kHardwareError:
      return "Hardware error";
    case kHardwareMissing:
      return "Hardware missing";
    case kQueueOverflow:
      return "Queue overflow";
    case kInputBufferOverrun:
      return "Input buffer overrun";
    default:
      return "Error";
  }
}

std::vector<std::string_view> splitUnits(std::string_view message) { return splitOutsideQuotes(message, ';'); }

ProgramUnit parseUnit(std::string_view unit) {
  unit = trim(unit);
  if (unit.empty()) throw ScpiError(kSyntaxError, "empty command");
  size_t headerEnd = 0;
  while (headerEnd < unit.size() && !isSpace(unit[headerEnd])) ++headerEnd;
  ProgramUnit result;
  result.header = parseHeader(unit.substr(0, headerEnd));
  const std::string_view rest = trim(unit.substr(headerEnd));
  if (!rest.empty()) {
    for (std::string_view param : splitOutsideQuotes(rest, ',')) result.params.push_back(parseParam(param));
  }
  return result;
}

std::vector<PatternNode> compilePattern(std::string_view pattern) {
  std::vector<PatternNode> nodes;
  size_t i = 0;
  while (i < pattern.size()) {
    PatternNode node;
    if (pattern[i] == '[') {
      node.optional = true;
      ++i;
    }
    if (i < pattern.size() && pattern[i] == ':') ++i;
    const size_t start = i;
    while (i < pattern.size() && pattern[i] != ':' && pattern[i] != '[' && pattern[i] != ']') ++i;
    std::string_view name = pattern.substr(start, i - start);
    if (node.optional && i < pattern.size() && pattern[i] == ']') ++i;
    size_t digits = name.size();
    while (digits > 0 && isDigit(name[digits - 1])) --digits;
    if (digits < name.size()) node.suffix = std::atoi(std::string(name.substr(digits)).c_str());
    name = name.substr(0, digits);
    node.longName = upper(name);
    node.shortName = shortForm(name);
    nodes.push_back(std::move(node));
  }
  return nodes;
}

MatchResult matchPattern(const std::vector<PatternNode>& pattern, const std::vector<Mnemonic>& typed) {
  if (matchFrom(pattern, 0, typed, 0, true)) return MatchResult::Match;
  // Only a header that is whole but for a suffix has a suffix out of range.
  return matchFrom(pattern, 0, typed, 0, false) ? MatchResult::BadSuffix : MatchResult::NoMatch;
}

double numericValue(const Param& param, Unit unit, const NumericRange& range) {
  if (param.kind == ParamKind::String) throw ScpiError(kDataTypeError, "a number is expected");
  if (param.kind == ParamKind::Character) {
    // One base unit inside an open range, so that the answer to "FREQ? MIN"
    // is itself a value the command takes.
    if (spells(param.text, "MINimum")) return range.exclusive ? range.min + 1 : range.min;
    if (spells(param.text, "MAXimum")) return range.exclusive ? range.max - 1 : range.max;
    if (spells(param.text, "DEFault")) return range.def;
    throw ScpiError(kIllegalParameterValue, param.text);
  }
  const double value = param.number * unitScale(param.unit, unit);
  if (!inRange(value, range)) throw ScpiError(kDataOutOfRange, param.text);
  return value;
}

int64_t integerValue(const Param& param, const NumericRange& range) {
  const double value = std::round(numericValue(param, Unit::None, range));
  if (!inRange(value, range)) throw ScpiError(kDataOutOfRange, param.text);
  return static_cast<int64_t>(value);
}

bool booleanValue(const Param& param) {
  if (param.kind == ParamKind::Numeric && param.unit.empty()) return std::round(param.number) != 0;
  if (param.kind == ParamKind::Character && param.text == "ON") return true;
  if (param.kind == ParamKind::Character && param.text == "OFF") return false;
  throw ScpiError(kIllegalParameterValue, "ON, OFF, 1 or 0 expected");
}

std::string choiceValue(const Param& param, const std::vector<std::string>& choices) {
  if (param.kind != ParamKind::Character) throw ScpiError(kDataTypeError, "a name is expected");
  for (const std::string& choice : choices) {
    if (spells(param.text, choice)) return upper(choice);
  }
  throw ScpiError(kIllegalParameterValue, param.text);
}

std::string stringValue(const Param& param) {
  if (param.kind != ParamKind::String) throw ScpiError(kDataTypeError, "a quoted string is expected");
  return param.text;
}

std::string formatReal(double value) {
  if (std::isnan(value)) return "9.91E+37";
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%.9E", value);
  return buffer;
}

std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

}  // namespace kestreld::scpi
