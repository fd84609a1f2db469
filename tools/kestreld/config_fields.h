// The board's stored configuration as a list of named fields, in the order
// SYSTem:CONFiguration? answers them, so that the SCPI and JSON faces name and
// order them alike.
#pragma once

#include <variant>

#include "api/active_config_fields.h"

namespace kestreld {

using ConfigValue = std::variant<int32_t, double, bool>;

// Calls fn(name, value) for every field of c, in the order of the answer.
template <typename F>
void forEachConfigField(const ActiveConfig& c, F&& fn) {
  kestrel::forEachActiveConfigField(c, [&](const char* name, const auto& field) { fn(name, ConfigValue(field)); });
}

}  // namespace kestreld
