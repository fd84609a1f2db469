// The active-configuration readback as data: which stored setting is read
// back in which order, and how its double becomes the field the host sees.
#pragma once

#include <span>

#include "config/device_config.h"
#include "protocol/board_protocol.h"

namespace kestrel {

struct SettingRead {
  protocol::SettingIndex setting;
  // Converts with a defined result for every input (NaN, huge values).
  void (*store)(DeviceConfig&, double);
};

// Every mirrored setting once, in the order the board's memory is read.
std::span<const SettingRead> readbackOrder();

}  // namespace kestrel
