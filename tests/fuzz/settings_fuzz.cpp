// libFuzzer target: the HTTP settings resource's JSON. Whatever the body,
// checking it ends with a list of typed changes or BadRequest (any other
// exception escapes and is reported), and every value a change carries lies
// inside the board's range for it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "settings_request.h"

namespace {

using namespace kestreld;

void inside(const Range& range, double value) {
  if (!range.contains(value)) std::abort();
}

const Range& rangeOf(Frequency which) {
  if (which == Frequency::FMRate) return facts::kFMRateMHz;
  if (which == Frequency::PM) return facts::kPMFrequencyMHz;
  return facts::kClockMHz;
}

void check(const SettingChange& change) {
  if (change.field.empty()) std::abort();
  if (const auto* c = std::get_if<SetInteger>(&change.what)) inside(factsOf(c->setting).range, c->value);
  if (const auto* c = std::get_if<SetFrequency>(&change.what)) inside(rangeOf(c->which), c->mhz);
  if (const auto* c = std::get_if<SetPattern>(&change.what)) inside(facts::kPattern, c->pattern);
  if (const auto* c = std::get_if<SetPRBS>(&change.what)) inside(facts::kRegisterWord, c->code);
  if (const auto* c = std::get_if<SetCalibration>(&change.what)) {
    if ((c->source == CalibrationSource::File) == c->file.empty()) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Json body;
  try {
    body = Json::parse(data, data + size);
  } catch (const Json::exception&) {
    return 0;
  }
  try {
    for (const SettingChange& change : parseSettings(body)) check(change);
  } catch (const BadRequest&) {
  }
  return 0;
}
