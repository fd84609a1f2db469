// The object behind the opaque instance pointer of the C interface.
#pragma once

#include <memory>

#include "config/device_config.h"
#include "device/clock_source_api.h"
#include "device/remote_board.h"
#include "synth/synth_model.h"

namespace kestrel {

struct ApiInstance {
  ClockSource_API device;  // first, so the instance pointer is also the device's address
  SynthModel spareSynth;   // kept for layout compatibility; nothing reads it
  DeviceConfig config;     // staging area of the configuration readback
  bool instanceConnected = false;
  // The daemon's board after a connect to "kestreld://HOST:PORT"; made at
  // the first such connect and kept, so that its count of failed calls only grows.
  std::unique_ptr<RemoteBoard> remoteBoard;
  bool remoteInUse = false;

  RemoteBoard* remote() { return remoteInUse ? remoteBoard.get() : nullptr; }
  // Failed exchanges of either kind of board over the instance's life.
  uint64_t failedExchanges() {
    return device.failedExchangeCount() + (remoteBoard ? remoteBoard->failedCalls() : 0);
  }
};

}  // namespace kestrel
