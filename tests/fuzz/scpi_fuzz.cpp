// libFuzzer target: kestreld's SCPI grammar and its check for HTTP on the
// SCPI port. Whatever the bytes, parsing ends with a unit or an ScpiError
// (anything else escapes and is reported), and a value that a range let
// through lies inside that range.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "door.h"
#include "scpi_parser.h"

namespace {

using namespace kestreld::scpi;

const std::vector<std::vector<PatternNode>>& patterns() {
  static const std::vector<std::vector<PatternNode>> compiled = [] {
    std::vector<std::vector<PatternNode>> out;
    for (const char* p : {"[SOURce]:FREQuency[:CW]", "OUTPut1:POWer", "OUTPut2:DIVider", "[SOURce]:FM:RJ[:AMPLitude]",
                          "SYSTem:ERRor[:NEXT]", "SYSTem:CONFiguration:READ", "CALibration:SOURce",
                          "DIAGnostic:SIMulation:SYNThesizer"}) {
      out.push_back(compilePattern(p));
    }
    return out;
  }();
  return compiled;
}

template <typename F>
void quietly(F fn) {
  try {
    fn();
  } catch (const ScpiError&) {
  }
}

void checkInside(double value, const NumericRange& range) {
  const bool inside =
      range.exclusive ? value > range.min && value < range.max : value >= range.min && value <= range.max;
  if (!inside) std::abort();
}

void convert(const Param& param) {
  const NumericRange clock{20e6, 5500e6, 1e9, true};
  const NumericRange word{0, 65535, 0};
  quietly([&] { checkInside(numericValue(param, Unit::Hertz, clock), clock); });
  quietly([&] { checkInside(static_cast<double>(integerValue(param, word)), word); });
  quietly([&] { booleanValue(param); });
  quietly([&] { choiceValue(param, {"NONE", "BOARd", "FILE"}); });
  quietly([&] { quoted(stringValue(param)); });
  quietly([&] { formatReal(param.number); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view message(reinterpret_cast<const char*>(data), size);
  kestreld::looksLikeHttp(message.substr(0, message.find('\n')));
  quietly([&] {
    for (std::string_view text : splitUnits(message)) {
      quietly([&] {
        const ProgramUnit unit = parseUnit(text);
        for (const auto& pattern : patterns()) matchPattern(pattern, unit.header.nodes);
        for (const Param& param : unit.params) convert(param);
      });
    }
  });
  return 0;
}
