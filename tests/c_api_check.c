/* Compiled as C: the public header must be usable from plain C, and the
 * record layout seen from C must match the library's. */
#include <stddef.h>
#include <string.h>

#include "KestrelLib.h"

_Static_assert(sizeof(ActiveConfig) == 128, "ActiveConfig is 128 bytes");
_Static_assert(offsetof(ActiveConfig, generateFrequency) == 16, "generateFrequency at 16");
_Static_assert(offsetof(ActiveConfig, fmFrequency) == 28, "fmFrequency at 28");
_Static_assert(offsetof(ActiveConfig, referenceFrequency) == 104, "referenceFrequency at 104");
_Static_assert(offsetof(ActiveConfig, tx2Power) == 120, "tx2Power at 120");

size_t c_active_config_size(void) { return sizeof(ActiveConfig); }

/* Connects, reads identity and the VCO, generates a clock and reads back its
 * settings; returns 0 when every step gave the expected status. */
int c_api_session(const char* address) {
  int32_t version[3] = {0, 0, 0};
  if (vxclk_APIVersion(version) != version || version[0] != 2 || version[1] != 2 || version[2] != 1) return 1;
  void* instance = vxclk_createInstance();
  if (instance == NULL) return 2;
  int failures = 0;
  int32_t boardId = 0, lock = 0;
  uint64_t serial = 0;
  double volts = 0.0, stored = 0.0;
  const double value = 0.5;
  if (vxclk_getBoardID(instance, &boardId) != VXCLK_NOT_CONNECTED) ++failures;
  if (vxclk_connect(instance, address) != VXCLK_OK) ++failures;
  if (vxclk_getBoardID(instance, &boardId) != VXCLK_OK) ++failures;
  if (vxclk_getSerialNumber(instance, &serial) != VXCLK_OK) ++failures;
  if (vxclk_checkVCOLock(instance, &lock) != VXCLK_OK) ++failures;
  if (vxclk_checkVCOVoltage(instance, &volts) != VXCLK_OK) ++failures;
  if (vxclk_initializeInstance(instance, VXCLK_CALIBRATION_NONE, NULL) != VXCLK_OK) ++failures;
  if (vxclk_generateClock(instance, 1800.0, 19) != VXCLK_OK) ++failures;
  if (vxclk_writeEEPROMAddress(instance, 40000, &value) != VXCLK_OK) ++failures;
  if (vxclk_getEEPROMAddress(instance, 40000, &stored) != VXCLK_OK || stored != 0.5) ++failures;
  if (vxclk_disconnect(instance) != VXCLK_OK) ++failures;
  vxclk_destroyInstance(instance);
  return failures == 0 ? 0 : 10 + failures;
}
