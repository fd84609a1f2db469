#include "frame_record.h"

#include <cstdio>
#include <cstring>

#include "protocol/board_protocol.h"

namespace kestrel::sim {

namespace proto = kestrel::protocol;

FrameRecord decodeFrame(const uint8_t* frame) {
  FrameRecord record;
  std::memcpy(record.raw.data(), frame, record.raw.size());
  const proto::Command command = proto::decodeCommand(frame);
  record.kind = command.kind;
  record.page = command.page;
  record.reg = command.reg;
  record.value = command.value;
  record.address = command.address;
  return record;
}

std::string describeFrame(uint64_t number, const FrameRecord& r) {
  char detail[120];
  switch (r.kind) {
    case FrameKind::RegisterRead:
    case FrameKind::RegisterWrite:
      std::snprintf(detail, sizeof detail, "%s page %u register %u value 0x%04X",
                    r.kind == FrameKind::RegisterRead ? "read" : "write", static_cast<unsigned>(r.page),
                    static_cast<unsigned>(r.reg), static_cast<unsigned>(r.value));
      break;
    case FrameKind::BlockRead:
    case FrameKind::BlockWrite:
      std::snprintf(detail, sizeof detail, "block %s address %lu (0x%08lX)",
                    r.kind == FrameKind::BlockRead ? "read" : "write", static_cast<unsigned long>(r.address),
                    static_cast<unsigned long>(r.address));
      break;
    case FrameKind::Other:
      std::snprintf(detail, sizeof detail, "other opcode 0x%02X sub-command 0x%02X",
                    static_cast<unsigned>(r.raw[proto::kOffOpcode]), static_cast<unsigned>(r.raw[proto::kOffSubCommand]));
      break;
  }
  return "frame " + std::to_string(number) + ": " + detail;
}

}  // namespace kestrel::sim
