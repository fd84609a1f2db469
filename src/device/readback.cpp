// The active-configuration readback: every mirrored setting read back from
// the board's memory, passed on only when all of them were read.
#include "config/readback.h"
#include "device/clock_source_api.h"

namespace kestrel {

Status ClockSource_API::getActiveConfig(DeviceConfig* config) {
  if (!state.connected) return Status::NotConnected;
  DeviceConfig read;
  for (const SettingRead& entry : readbackOrder()) {
    // A value from a failed read is whatever was in the buffers: never pass it on.
    if (readSetting(static_cast<uint8_t>(entry.setting), &state.settingReadBuffer) != Status::Ok) return Status::Failed;
    entry.store(read, state.settingReadBuffer);
  }
  *config = read;
  return Status::Ok;
}

}  // namespace kestrel
