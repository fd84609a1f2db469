// The synthesizer write-out: the planner's register image, word by word
// through board registers 262 (number) and 263 (value).
#include "device/clock_source_api.h"
#include "synth/register_image.h"

namespace kestrel {

namespace p = protocol;

Status ClockSource_API::writeSynthRegister(uint16_t number, uint16_t value) {
  registerValue = number;
  if (regAccess(1, 0, p::reg::kSynthNumber, &registerValue) == 0) return Status::Failed;
  registerValue = value;
  return fromFlag(regAccess(1, 0, p::reg::kSynthValue, &registerValue));
}

Status ClockSource_API::writeSynthRegisters() {
  // Highest register first: the synthesizer latches a new setting when
  // register 0 arrives, so register 0 goes last.
  bool allOk = true;
  for (size_t i = kSynthImageRegisters.size(); i-- > 0;) {
    const uint16_t value = static_cast<uint16_t>(synth.registerImage[i] & 0xFFFFu);
    allOk = writeSynthRegister(kSynthImageRegisters[i], value) == Status::Ok && allOk;
  }
  // Written ahead of their answers, the words count once every answer is in.
  return okOrFailed(link.settle() && allOk);
}

}  // namespace kestrel
