#include "board_emulator.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "memory_file.h"
#include "platform/socket.h"
#include "protocol/board_protocol.h"
#include "synth_decoder.h"

namespace kestrel::sim {

namespace proto = kestrel::protocol;
namespace plat = kestrel::platform;

namespace {

// The server looks at the stop flag, at waiting connections and at the memory
// file at least this often, so stop() and a replacing host never wait longer.
constexpr int kPollMs = 10;
// Memory reaches its file this long after the last change: late enough that a
// burst of byte writes costs one save, early enough that a killed emulator
// loses nothing a host finished writing.
constexpr int kSaveDelayMs = 200;
// Frames the host does not decode get this many bytes back.
constexpr int kAckSize = proto::kRegisterAnswerSize;
constexpr uint64_t kNever = UINT64_MAX;

// Identity and health registers of a freshly powered board.
constexpr uint16_t kDefaultBoardId = 0x4B31;
// Serial words 21..25; word 25 / 5 == word 24 marks the 64-bit serial valid.
constexpr std::array<uint16_t, 5> kDefaultSerial{0x5A17, 0x0002, 0x0000, 0x0007, 0x0023};
constexpr uint16_t kDefaultRegister9 = 33;
constexpr std::array<uint16_t, proto::kTemperatureSensors> kDefaultTemperature{42, 40};
constexpr uint16_t kDefaultVcoLock = 1;
constexpr uint16_t kDefaultVcoMillivolts = 1500;

enum class Action { Answer, Silent, Reset, Close };

size_t registerIndex(uint16_t page, uint16_t reg) {
  return static_cast<size_t>(page & proto::kPageMask) * proto::kRegistersPerPage + (reg & proto::kRegisterMask);
}

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

FrameRecord decodeFrame(const uint8_t* frame) {
  FrameRecord record;
  std::memcpy(record.raw.data(), frame, record.raw.size());
  const uint8_t opcode = frame[proto::kOffOpcode];
  if (opcode == proto::kOpRegisterAccess) {
    const uint16_t word = le16(frame + proto::kOffAddressLow);
    record.kind = (word & proto::kWriteBit) ? FrameKind::RegisterWrite : FrameKind::RegisterRead;
    record.page = static_cast<uint16_t>((word >> proto::kPageShift) & proto::kPageMask);
    record.reg = static_cast<uint16_t>(word & proto::kRegisterMask);
    if (record.kind == FrameKind::RegisterWrite) record.value = le16(frame + proto::kOffValueLow);
  } else if (opcode == proto::kOpMemoryAndAux && frame[proto::kOffSubCommand] == proto::kSubMemoryBlock) {
    const uint8_t direction = frame[proto::kOffDirection];
    if (direction == proto::kDirectionRead || direction == proto::kDirectionWrite) {
      record.kind = direction == proto::kDirectionRead ? FrameKind::BlockRead : FrameKind::BlockWrite;
      record.address = le32(frame + proto::kOffMemoryAddress);
    }
  }
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

std::string describeSynth(const SynthState& s) {
  char line[200];
  std::snprintf(line, sizeof line,
                "synthesizer: VCO %f MHz, PD %f MHz, division %d, output A %f MHz, output B %f MHz",
                s.vcoFrequency, s.pdFrequency, s.channelDivision, s.outputA, s.outputB);
  return line;
}

void printLine(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace

struct BoardEmulator::Impl {
  explicit Impl(EmulatorOptions o)
      : options(std::move(o)),
        registers(static_cast<size_t>(proto::kRegisterPages) * proto::kRegistersPerPage, 0),
        memory(proto::kMemorySize, proto::kBlankMemoryByte) {
    registers[registerIndex(0, proto::reg::kBoardId)] = kDefaultBoardId;
    for (size_t i = 0; i < kDefaultSerial.size(); ++i) {
      registers[registerIndex(0, static_cast<uint16_t>(proto::reg::kSerial0 + i))] = kDefaultSerial[i];
    }
    registers[registerIndex(0, proto::reg::kRegister9)] = kDefaultRegister9;
    for (size_t sensor = 0; sensor < kDefaultTemperature.size(); ++sensor) {
      registers[registerIndex(static_cast<uint16_t>(sensor), proto::reg::kTemperature)] = kDefaultTemperature[sensor];
    }
    registers[registerIndex(0, proto::reg::kVcoLock)] = kDefaultVcoLock;
    registers[registerIndex(0, proto::reg::kVcoVoltage)] = kDefaultVcoMillivolts;
  }

  // What one frame made the server do, worked out under the lock and carried
  // out after it.
  struct Outcome {
    Action action = Action::Answer;
    std::array<uint8_t, proto::kBlockSize> answer{};
    int answerSize = 0;
    std::string trace;
  };

  EmulatorOptions options;

  mutable std::mutex mutex;                 // guards everything below but the server's own fields
  mutable std::condition_variable changed;  // a frame counted, the memory saved

  std::vector<uint16_t> registers;
  std::vector<uint8_t> memory;
  SynthRegisterFile synth{};
  SynthState synthState;

  std::deque<FrameRecord> log;
  bool logging = true;
  uint64_t framesReceived = 0;
  int connections = 0;

  // Fault triggers, as frame numbers (1-based, counted over all connections).
  uint64_t resetAt = kNever;
  uint64_t closeAt = kNever;
  uint64_t stallFrom = kNever;
  uint64_t shortFrom = kNever;
  int shortBytes = 0;
  std::vector<std::pair<uint16_t, uint16_t>> failingWrites;

  bool memoryDirty = false;
  bool saving = false;
  int64_t lastMemoryChangeMs = 0;
  bool memoryFileReady = false;  // the file was looked at by start(): saving it is safe
  std::string error;

  plat::SocketHandle client = plat::kInvalidSocket;  // changed by the server thread only, under the lock
  bool serving = false;

  // Server thread and lifecycle (start/stop under `lifecycle`).
  std::mutex lifecycle;
  plat::SocketHandle listener = plat::kInvalidSocket;
  uint16_t boundPort = 0;
  std::thread server;
  std::atomic<bool> stopping{false};

  // ---- state, lock held ------------------------------------------------------
  uint16_t& reg(uint16_t page, uint16_t number) { return registers[registerIndex(page, number)]; }

  uint16_t readRegister(uint16_t page, uint16_t number) const {
    if (page == 0 && number == proto::reg::kMemoryData) {
      return memory[registers[registerIndex(0, proto::reg::kMemoryAddress)]];
    }
    return registers[registerIndex(page, number)];
  }

  void touchMemory() {
    memoryDirty = true;
    lastMemoryChangeMs = plat::monotonicMs();
  }

  // A host write, with the board's side effects.
  void writeRegister(uint16_t page, uint16_t number, uint16_t value, std::string* trace) {
    reg(page, number) = value;
    if (page != 0) return;
    if (number == proto::reg::kMemoryData) {
      memory[reg(0, proto::reg::kMemoryAddress)] = static_cast<uint8_t>(value & 0xFF);
      touchMemory();
    } else if (number == proto::reg::kSynthValue) {
      const uint16_t slot = reg(0, proto::reg::kSynthNumber);
      if (slot >= proto::kSynthRegisterSlots) return;
      synth[slot] = value;
      // The host writes register 0 last: only then is the new plan complete.
      if (slot == 0) completeUpload(trace);
    }
  }

  void completeUpload(std::string* trace) {
    const int uploads = synthState.uploads + 1;
    synthState = decodeSynth(synth);
    synthState.uploads = uploads;
    reg(0, proto::reg::kVcoLock) = vcoLocks(synthState.vcoFrequency) ? 1 : 0;
    reg(0, proto::reg::kVcoVoltage) = vcoTuningMillivolts(synthState.vcoFrequency);
    if (trace != nullptr) {
      trace->push_back('\n');
      trace->append(describeSynth(synthState));
    }
  }

  void readBlock(uint32_t address, uint8_t* out, size_t length) const {
    for (size_t i = 0; i < length; ++i) {
      const uint64_t at = static_cast<uint64_t>(address) + i;
      out[i] = at < memory.size() ? memory[at] : proto::kBlankMemoryByte;
    }
  }

  void writeBlock(uint32_t address, const uint8_t* bytes, size_t length) {
    for (size_t i = 0; i < length; ++i) {
      const uint64_t at = static_cast<uint64_t>(address) + i;
      if (at < memory.size()) memory[at] = bytes[i];
    }
    touchMemory();
  }

  bool writeFails(const FrameRecord& r) const {
    if (r.kind != FrameKind::RegisterWrite) return false;
    return std::find(failingWrites.begin(), failingWrites.end(), std::make_pair(r.page, r.reg)) !=
           failingWrites.end();
  }

  // ---- one frame, lock held -----------------------------------------------------
  Outcome handleFrame(const uint8_t* frame) {
    Outcome out;
    const uint64_t number = ++framesReceived;
    FrameRecord record = decodeFrame(frame);
    std::string* trace = options.trace ? &out.trace : nullptr;

    if (number == resetAt) {
      out.action = Action::Reset;
    } else if (number == closeAt) {
      out.action = Action::Close;
    } else if (writeFails(record)) {
      out.action = Action::Reset;
    } else if (number >= stallFrom) {
      out.action = Action::Silent;
    }

    std::string synthLine;
    if (out.action == Action::Answer) {
      uint8_t* a = out.answer.data();
      switch (record.kind) {
        case FrameKind::RegisterRead:
          record.value = readRegister(record.page, record.reg);
          [[fallthrough]];
        case FrameKind::RegisterWrite:
          if (record.kind == FrameKind::RegisterWrite) {
            writeRegister(record.page, record.reg, record.value, trace ? &synthLine : nullptr);
          }
          a[0] = proto::kOpRegisterAccess;
          a[proto::kRespValueLow] = static_cast<uint8_t>(record.value & 0xFF);
          a[proto::kRespValueHigh] = static_cast<uint8_t>(record.value >> 8);
          a[3] = 0;
          out.answerSize = proto::kRegisterAnswerSize;
          break;
        case FrameKind::BlockRead:
          readBlock(record.address, a, proto::kBlockSize);
          out.answerSize = proto::kBlockSize;
          break;
        case FrameKind::BlockWrite:
          writeBlock(record.address, frame + proto::kOffBlockData, proto::kBlockSize);
          a[0] = frame[proto::kOffOpcode];
          out.answerSize = kAckSize;
          break;
        case FrameKind::Other:
          a[0] = frame[proto::kOffOpcode];
          out.answerSize = kAckSize;
          break;
      }
      if (number >= shortFrom) out.answerSize = std::clamp(shortBytes, 0, out.answerSize);
    }

    if (trace != nullptr) {
      out.trace = describeFrame(number, record);
      switch (out.action) {
        case Action::Answer:
          if (number >= shortFrom) out.trace += " [answer cut to " + std::to_string(out.answerSize) + " bytes]";
          break;
        case Action::Silent: out.trace += " [not answered]"; break;
        case Action::Reset: out.trace += " [connection reset]"; break;
        case Action::Close: out.trace += " [connection closed]"; break;
      }
      out.trace += synthLine;
    }

    if (logging) {
      if (log.size() >= kFrameLogLimit) log.pop_front();
      log.push_back(record);
    }
    changed.notify_all();
    return out;
  }

  // ---- server thread ------------------------------------------------------------
  void dropClient(bool reset) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (client == plat::kInvalidSocket) return;
      if (reset) {
        plat::resetAndClose(client);
      } else {
        plat::shutdownSocket(client);
        plat::closeSocket(client);
      }
      client = plat::kInvalidSocket;
    }
    // A host that went away is the natural moment to make its writes durable.
    saveMemory(true);
  }

  void acceptClient() {
    const plat::SocketHandle accepted = plat::acceptConnection(listener);
    if (accepted == plat::kInvalidSocket) return;
    // One host at a time: a new connection means the old host is gone or has
    // given up, so the old connection is dropped rather than left to linger.
    dropClient(true);
    std::lock_guard<std::mutex> lock(mutex);
    client = accepted;
    ++connections;
  }

  void serve() {
    std::array<uint8_t, proto::kFrameSize> frame{};
    int filled = 0;
    while (!stopping.load()) {
      const plat::SocketHandle current = client;  // only this thread changes it
      if (current == plat::kInvalidSocket) {
        if (plat::waitReadable(listener, kPollMs) > 0) acceptClient();
        filled = 0;
        saveMemory(false);
        continue;
      }

      const int ready = plat::waitReadable(current, kPollMs);
      if (ready < 0) {
        dropClient(true);
        filled = 0;
      } else if (ready > 0) {
        const int n = plat::receiveSome(current, frame.data() + filled, proto::kFrameSize - filled);
        if (n <= 0) {
          dropClient(n < 0);
          filled = 0;
        } else if ((filled += n) == proto::kFrameSize) {
          filled = 0;
          serveFrame(current, frame.data());
        }
      }

      if (plat::waitReadable(listener, 0) > 0) {
        acceptClient();
        filled = 0;
      }
      saveMemory(false);
    }
  }

  void serveFrame(plat::SocketHandle socket, const uint8_t* frame) {
    Outcome out;
    {
      std::lock_guard<std::mutex> lock(mutex);
      out = handleFrame(frame);
    }
    if (!out.trace.empty()) printLine(out.trace);
    switch (out.action) {
      case Action::Answer:
        if (out.answerSize > 0 && plat::sendAll(socket, out.answer.data(), out.answerSize) != out.answerSize) {
          dropClient(true);
        }
        break;
      case Action::Silent: break;
      case Action::Reset: dropClient(true); break;
      case Action::Close: dropClient(false); break;
    }
  }

  // Writes the memory file when it holds unsaved changes: at once, or only once
  // the changes have settled for kSaveDelayMs.
  void saveMemory(bool now) {
    std::vector<uint8_t> image;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!memoryDirty || !memoryFileReady || options.memoryFile.empty() || saving) return;
      if (!now && plat::monotonicMs() - lastMemoryChangeMs < kSaveDelayMs) return;
      image = memory;
      memoryDirty = false;
      saving = true;
    }
    std::string problem;
    const bool saved = saveMemoryFile(options.memoryFile, image, problem);
    {
      std::lock_guard<std::mutex> lock(mutex);
      saving = false;
      if (!saved) {
        // Try again after the next delay rather than on every pass.
        error = problem;
        touchMemory();
      }
      changed.notify_all();
    }
    if (!saved && options.trace) printLine("memory: " + problem);
  }
};

BoardEmulator::BoardEmulator(EmulatorOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

BoardEmulator::~BoardEmulator() { stop(); }

bool BoardEmulator::start() {
  Impl& d = *impl_;
  std::lock_guard<std::mutex> life(d.lifecycle);
  auto fail = [&d](std::string message) {
    std::lock_guard<std::mutex> lock(d.mutex);
    d.error = std::move(message);
    return false;
  };
  if (d.server.joinable()) return fail("the emulator is already running");

  plat::startSockets();
  uint32_t address = 0;
  if (!plat::parseIPv4(d.options.address.c_str(), &address)) {
    return fail("not an IPv4 address: " + d.options.address);
  }

  // The file is read once: after a restart the memory already holds it, and
  // maybe changes made while stopped that the next save will keep.
  bool loadFile = false;
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    loadFile = !d.options.memoryFile.empty() && !d.memoryFileReady;
  }
  if (loadFile) {
    std::vector<uint8_t> image;
    std::string problem;
    const MemoryFileLoad load = loadMemoryFile(d.options.memoryFile, image, problem);
    if (load == MemoryFileLoad::Refused) return fail(problem);
    std::lock_guard<std::mutex> lock(d.mutex);
    if (load == MemoryFileLoad::Loaded) {
      d.memory = std::move(image);
      d.memoryDirty = false;
    }
    d.memoryFileReady = true;
  }

  const plat::SocketHandle listener = plat::listenOn(address, d.options.port);
  if (listener == plat::kInvalidSocket) {
    return fail("cannot listen on " + d.options.address + ":" + std::to_string(d.options.port) +
                " (address in use, or not an address of this machine)");
  }
  d.listener = listener;
  d.boundPort = plat::localPort(listener);
  d.stopping.store(false);
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    d.serving = true;
  }
  d.server = std::thread([&d] { d.serve(); });
  return true;
}

void BoardEmulator::stop() {
  Impl& d = *impl_;
  std::lock_guard<std::mutex> life(d.lifecycle);
  if (d.server.joinable()) {
    d.stopping.store(true);
    {
      // Wakes the server should it be stuck sending to a host that stopped reading.
      std::lock_guard<std::mutex> lock(d.mutex);
      if (d.client != plat::kInvalidSocket) plat::shutdownSocket(d.client);
    }
    d.server.join();
    {
      std::lock_guard<std::mutex> lock(d.mutex);
      if (d.client != plat::kInvalidSocket) plat::closeSocket(d.client);
      d.client = plat::kInvalidSocket;
      d.serving = false;
    }
    plat::closeSocket(d.listener);
    d.listener = plat::kInvalidSocket;
  }
  d.saveMemory(true);
}

bool BoardEmulator::running() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->serving;
}

std::string BoardEmulator::lastError() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->error;
}

uint16_t BoardEmulator::port() const {
  std::lock_guard<std::mutex> life(impl_->lifecycle);
  return impl_->boundPort;
}

uint16_t BoardEmulator::registerValue(uint16_t page, uint16_t reg) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->readRegister(page, reg);
}

void BoardEmulator::setRegister(uint16_t page, uint16_t reg, uint16_t value) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->reg(page, reg) = value;
}

uint8_t BoardEmulator::memoryByte(uint32_t address) const {
  uint8_t byte = 0;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->readBlock(address, &byte, 1);
  return byte;
}

std::vector<uint8_t> BoardEmulator::readMemory(uint32_t address, size_t length) const {
  std::vector<uint8_t> bytes(length);
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->readBlock(address, bytes.data(), length);
  return bytes;
}

void BoardEmulator::writeMemory(uint32_t address, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->writeBlock(address, bytes.data(), bytes.size());
}

double BoardEmulator::memoryDouble(uint32_t address) const {
  // Doubles sit in memory least significant byte first.
  const std::vector<uint8_t> bytes = readMemory(address, 8);
  uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = (bits << 8) | bytes[static_cast<size_t>(i)];
  double value = 0;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

void BoardEmulator::setMemoryDouble(uint32_t address, double value) {
  uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  std::vector<uint8_t> bytes(8);
  for (auto& byte : bytes) {
    byte = static_cast<uint8_t>(bits & 0xFF);
    bits >>= 8;
  }
  writeMemory(address, bytes);
}

void BoardEmulator::eraseMemory() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::fill(impl_->memory.begin(), impl_->memory.end(), proto::kBlankMemoryByte);
  impl_->touchMemory();
}

std::array<uint16_t, 65> BoardEmulator::synthRegisters() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->synth;
}

SynthState BoardEmulator::synthState() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->synthState;
}

std::vector<FrameRecord> BoardEmulator::frames() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return {impl_->log.begin(), impl_->log.end()};
}

void BoardEmulator::clearFrames() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->log.clear();
}

void BoardEmulator::setFrameLogging(bool enabled) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->logging = enabled;
}

uint64_t BoardEmulator::frameCount() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->framesReceived;
}

int BoardEmulator::connectionsAccepted() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->connections;
}

bool BoardEmulator::clientConnected() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->client != plat::kInvalidSocket;
}

bool BoardEmulator::waitForFrameCount(uint64_t count, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [this, count] { return impl_->framesReceived >= count; });
}

bool BoardEmulator::waitForMemorySaved(int timeoutMs) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  if (impl_->options.memoryFile.empty()) return true;
  return impl_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [this] { return !impl_->memoryDirty && !impl_->saving; });
}

namespace {
uint64_t frameFromNow(uint64_t received, int n) { return received + static_cast<uint64_t>(std::max(n, 1)); }
}  // namespace

void BoardEmulator::resetAfterFrames(int n) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->resetAt = frameFromNow(impl_->framesReceived, n);
}

void BoardEmulator::stallAfterFrames(int n) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->stallFrom = frameFromNow(impl_->framesReceived, n);
}

void BoardEmulator::shortAnswersAfterFrames(int n, int bytes) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->shortFrom = frameFromNow(impl_->framesReceived, n);
  impl_->shortBytes = std::max(bytes, 0);
}

void BoardEmulator::failRegisterWrite(uint16_t page, uint16_t reg) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->failingWrites.emplace_back(static_cast<uint16_t>(page & proto::kPageMask),
                                    static_cast<uint16_t>(reg & proto::kRegisterMask));
}

void BoardEmulator::closeAfterFrames(int n) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->closeAt = frameFromNow(impl_->framesReceived, n);
}

void BoardEmulator::clearFaults() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->resetAt = kNever;
  impl_->closeAt = kNever;
  impl_->stallFrom = kNever;
  impl_->shortFrom = kNever;
  impl_->shortBytes = 0;
  impl_->failingWrites.clear();
}

}  // namespace kestrel::sim
