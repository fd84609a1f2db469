#include "link/exchange_trace.h"

#include <cinttypes>

#include "protocol/register_names.h"

namespace kestrel {

namespace p = protocol;

namespace {

std::string format(const char* pattern, auto... values) {
  char text[160];
  std::snprintf(text, sizeof text, pattern, values...);
  return text;
}

// "0:262 SynthNumber": page, number and the name where the library has one.
std::string registerText(uint16_t page, uint16_t reg) {
  const char* name = p::registerName(page, reg);
  return format("%u:%u", page, reg) + (name != nullptr ? std::string(" ") + name : std::string());
}

std::string describeCommand(const p::Command& c, const p::Frame& frame) {
  switch (c.kind) {
    case p::CommandKind::RegisterRead: return "read reg " + registerText(c.page, c.reg);
    case p::CommandKind::RegisterWrite:
      return "write reg " + registerText(c.page, c.reg) + format(" = 0x%04x (%u)", c.value, c.value);
    case p::CommandKind::BlockRead: return format("read block at 0x%04" PRIx32 " (%" PRIu32 ")", c.address, c.address);
    case p::CommandKind::BlockWrite:
      return format("write block at 0x%04" PRIx32 " (%" PRIu32 ")", c.address, c.address);
    case p::CommandKind::Other: break;
  }
  return format("frame 0x%02x %02x %02x %02x %02x", frame[0], frame[1], frame[2], frame[3], frame[4]);
}

// Wall-clock time of day in UTC with microseconds, without the C library's
// shared calendar buffers (the trace may run on several threads).
std::string timeOfDay() {
  using namespace std::chrono;
  const auto sinceEpoch = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
  const long long day = 86400LL * 1000000;
  const long long us = ((sinceEpoch % day) + day) % day;
  const long long seconds = us / 1000000;
  return format("%02lld:%02lld:%02lld.%06lld", seconds / 3600, seconds / 60 % 60, seconds % 60, us % 1000000);
}

}  // namespace

std::unique_ptr<ExchangeTrace> ExchangeTrace::open(const std::string& target) {
  if (target.empty()) return nullptr;
  if (target == "1") return std::unique_ptr<ExchangeTrace>(new ExchangeTrace(stderr, false));
  std::FILE* file = std::fopen(target.c_str(), "a");
  if (file == nullptr) {
    std::fprintf(stderr, "KestrelLib: cannot open the trace file %s; tracing is off\n", target.c_str());
    return nullptr;
  }
  return std::unique_ptr<ExchangeTrace>(new ExchangeTrace(file, true));
}

ExchangeTrace::~ExchangeTrace() {
  if (ownsFile_) std::fclose(out_);
}

void ExchangeTrace::line(const char* direction, const std::string& text) {
  // One write per line, so that lines of several instances never interleave.
  const std::string whole = "kestrel " + timeOfDay() + " " + peer_ + " " + direction + " " + text + "\n";
  std::fputs(whole.c_str(), out_);
  std::fflush(out_);
}

void ExchangeTrace::connected(const char* address, uint16_t port, platform::SocketError result) {
  peer_ = address != nullptr ? address : "-";
  line("--", format("connect port %u: ", port) +
                 (result == platform::SocketError::None ? "ok" : std::string("FAILED, ") + platform::describe(result)));
}

void ExchangeTrace::staleBytesDropped(int bytes) {
  if (bytes > 0) line("--", format("dropped %d stray byte%s that no frame asked for", bytes, bytes == 1 ? "" : "s"));
}

void ExchangeTrace::note(const std::string& text) { line("--", text); }

void ExchangeTrace::scpiLine(const char* direction, const std::string& text) { line(direction, text); }

ExchangeTrace::Clock::time_point ExchangeTrace::sent(const p::Frame& frame) {
  line("->", describeCommand(p::decodeCommand(frame.data()), frame));
  return Clock::now();
}

void ExchangeTrace::notSent(const p::Frame& frame, platform::SocketError cause) {
  line("->", describeCommand(p::decodeCommand(frame.data()), frame) + " NOT SENT, connection dropped (" +
                 platform::describe(cause) + ")");
}

void ExchangeTrace::received(const p::Command& sent, Clock::time_point sentAt, const uint8_t* answer, int bytes,
                             platform::SocketError error) {
  using std::chrono::duration_cast;
  using std::chrono::microseconds;
  const long long us = duration_cast<microseconds>(Clock::now() - sentAt).count();
  const std::string timing = format("%d bytes, %lld us", bytes, us);
  if (error != platform::SocketError::None) {
    line("<-", std::string("FAILED, ") + platform::describe(error) + ", " + timing);
    return;
  }
  std::string text = "answer, ";
  if (sent.kind == p::CommandKind::RegisterRead) {
    const uint16_t value = p::decodeRegisterAnswer(answer);
    text = "reg " + registerText(sent.page, sent.reg) + format(" = 0x%04x (%u), ", value, value);
  } else if (sent.kind == p::CommandKind::BlockRead) {
    text = format("block at 0x%04" PRIx32 ", ", sent.address);
  }
  line("<-", text + timing);
}

}  // namespace kestrel
