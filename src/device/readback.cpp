// The active-configuration readback: every mirrored setting read back from
// the board's memory, passed on only when all of them were read.
#include "config/readback.h"
#include "device/clock_source_api.h"

namespace kestrel {

int32_t ClockSource_API::getActiveConfig(DeviceConfig* config) {
  if (!state.connected) return 2;
  DeviceConfig read;
  for (const SettingRead& entry : readbackOrder()) {
    // A value from a failed read is whatever was in the buffers: never pass it on.
    if (!readSetting(static_cast<uint8_t>(entry.setting), &state.settingReadBuffer)) return 1;
    entry.store(read, state.settingReadBuffer);
  }
  *config = read;
  return 0;
}

}  // namespace kestrel
