// libFuzzer target: the HTTP settings resource's JSON. Whatever the body,
// checking it ends with a list of changes or BadRequest (any other exception
// escapes and is reported), and every change is one SCPI program message
// that the SCPI grammar parses.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "scpi_parser.h"
#include "settings_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kestreld::Json body;
  try {
    body = kestreld::Json::parse(data, data + size);
  } catch (const kestreld::Json::exception&) {
    return 0;
  }
  std::vector<kestreld::SettingChange> changes;
  try {
    changes = kestreld::parseSettings(body);
  } catch (const kestreld::BadRequest&) {
    return 0;
  }
  for (const kestreld::SettingChange& change : changes) {
    if (change.field.empty() || change.message.find_first_of("\r\n") != std::string::npos) std::abort();
    try {
      for (std::string_view unit : kestreld::scpi::splitUnits(change.message)) kestreld::scpi::parseUnit(unit);
    } catch (const kestreld::scpi::ScpiError&) {
      std::abort();  // the resource made a message SCPI refuses
    }
  }
  return 0;
}
