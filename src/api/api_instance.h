// The object behind the opaque instance pointer of the C interface.
#pragma once

#include "config/device_config.h"
#include "device/clock_source_api.h"
#include "synth/synth_model.h"

namespace kestrel {

struct ApiInstance {
  ClockSource_API device;  // first, so the instance pointer is also the device's address
  SynthModel spareSynth;   // kept for layout compatibility; nothing reads it
  DeviceConfig config;     // staging area of the configuration readback
  bool instanceConnected = false;
};

}  // namespace kestrel
