#include "board_emulator.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "frame_record.h"
#include "hostile_board.h"
#include "memory_file.h"
#include "pcap_writer.h"
#include "platform/socket.h"
#include "protocol/board_protocol.h"
#include "synth_decoder.h"

namespace kestrel::sim {

uint16_t hostBoardPort() {
  const char* text = std::getenv("KESTREL_PORT");
  if (text == nullptr) return protocol::kBoardPort;
  char* end = nullptr;
  const long port = std::strtol(text, &end, 10);
  return (end != text && *end == '\0' && port >= 1 && port <= 65535) ? static_cast<uint16_t>(port)
                                                                     : protocol::kBoardPort;
}

namespace proto = kestrel::protocol;
namespace plat = kestrel::platform;

namespace {

// The server looks at the stop flag, at waiting connections and at the memory
// file at least this often, so stop() and a replacing host never wait longer.
constexpr int kPollMs = 10;
// Memory is written through to its file as it changes; when that fails, the
// whole image is saved again this long after the last change, so a failing
// disk costs one attempt per burst of writes rather than one per write.
constexpr int kSaveRetryMs = 200;
// A host that stops reading gets this long for each answer, then is dropped,
// so that the emulator's only thread goes back to serving others.
constexpr int kSendLimitMs = 2000;
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
    std::vector<uint8_t> answer;
    std::vector<AnswerPiece> pieces;  // how the answer goes out, in order
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
  std::optional<HostileBoard> hostile;

  bool memoryDirty = false;  // changes the file lacks: it is closed, or writing through failed
  int64_t lastMemoryChangeMs = 0;
  bool memoryFileReady = false;  // the file was looked at by start(): saving it is safe
  MemoryFile file;
  std::string error;
  PcapWriter capture;  // open when options.pcapFile is set

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

  void touchMemory(size_t offset, size_t length) {
    std::string problem;
    if (file.isOpen() && file.writeThrough(memory, offset, length, problem)) return;
    if (!problem.empty()) error = problem;
    memoryDirty = true;
    lastMemoryChangeMs = plat::monotonicMs();
  }

  // A host write, with the board's side effects.
  void writeRegister(uint16_t page, uint16_t number, uint16_t value, std::string* trace) {
    reg(page, number) = value;
    if (page != 0) return;
    if (number == proto::reg::kMemoryData) {
      const uint16_t address = reg(0, proto::reg::kMemoryAddress);
      memory[address] = static_cast<uint8_t>(value & 0xFF);
      touchMemory(address, 1);
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
    touchMemory(address, length);
  }

  bool writeFails(const FrameRecord& r) const {
    if (r.kind != FrameKind::RegisterWrite) return false;
    return std::find(failingWrites.begin(), failingWrites.end(), std::make_pair(r.page, r.reg)) !=
           failingWrites.end();
  }

  // ---- one frame, lock held -----------------------------------------------------
  Action chooseAction(uint64_t number, const FrameRecord& record) {
    if (number == resetAt || writeFails(record)) return Action::Reset;
    if (number == closeAt) return Action::Close;
    if (number >= stallFrom) return Action::Silent;
    if (hostile && hostile->resets()) return Action::Reset;
    if (hostile && hostile->closes()) return Action::Close;
    return Action::Answer;
  }

  // Applies the frame and writes its answer: the answer's size.
  int applyFrame(FrameRecord& record, const uint8_t* frame, uint8_t* a, std::string* synthLine) {
    switch (record.kind) {
      case FrameKind::RegisterRead:
      case FrameKind::RegisterWrite:
        if (record.kind == FrameKind::RegisterWrite) {
          writeRegister(record.page, record.reg, record.value, synthLine);
        } else {
          record.value = readRegister(record.page, record.reg);
        }
        proto::encodeRegisterAnswer(a, record.value);
        return proto::kRegisterAnswerSize;
      case FrameKind::BlockRead:
        readBlock(record.address, a, proto::kBlockSize);
        return proto::kBlockSize;
      case FrameKind::BlockWrite:
        writeBlock(record.address, frame + proto::kOffBlockData, proto::kBlockSize);
        break;
      case FrameKind::Other:
        break;
    }
    a[0] = frame[proto::kOffOpcode];
    return kAckSize;
  }

  // How many answer bytes a host needs before it can take the answer.
  static int bytesNeeded(FrameKind kind) { return proto::answerBytesNeeded(kind); }

  void planSends(Outcome& out, FrameRecord& record) {
    const FrameKind kind = record.kind;
    const int needed = std::min(bytesNeeded(kind), static_cast<int>(out.answer.size()));
    if (hostile && out.action == Action::Answer) {
      out.pieces = hostile->split(out.answer, needed, &record.strayBytes);
    } else if (hostile && (out.action == Action::Reset || out.action == Action::Close)) {
      out.pieces = hostile->garbageBeforeEnd(out.answer, bytesNeeded(kind));
    } else if (out.action == Action::Answer && !out.answer.empty()) {
      out.pieces = {{0, static_cast<int>(out.answer.size())}};
    }
  }

  static std::string describeAction(const Outcome& out, bool cut) {
    switch (out.action) {
      case Action::Answer:
        if (out.pieces.size() > 1) return " [answer in " + std::to_string(out.pieces.size()) + " sends]";
        return cut ? " [answer cut to " + std::to_string(out.answer.size()) + " bytes]" : "";
      case Action::Silent: return " [not answered]";
      case Action::Reset: return " [connection reset]";
      case Action::Close: return " [connection closed]";
    }
    return "";
  }

  Outcome handleFrame(const uint8_t* frame) {
    Outcome out;
    const uint64_t number = ++framesReceived;
    FrameRecord record = decodeFrame(frame);
    out.action = chooseAction(number, record);

    std::string synthLine;
    if (out.action == Action::Answer) {
      std::array<uint8_t, proto::kBlockSize> answer{};
      int size = applyFrame(record, frame, answer.data(), options.trace ? &synthLine : nullptr);
      if (number >= shortFrom) size = std::clamp(shortBytes, 0, size);
      out.answer.assign(answer.begin(), answer.begin() + size);
    }
    planSends(out, record);
    record.answerBytes = out.pieces.empty() ? 0 : out.pieces.back().end;
    if (options.trace) out.trace = describeFrame(number, record) + describeAction(out, number >= shortFrom) + synthLine;

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
    capture.connectionClosed(reset);
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
    if (uint32_t host = 0, board = 0; capture.isOpen()) {
      uint16_t hostPort = 0;
      plat::peerAddress(accepted, &host, &hostPort);
      plat::parseIPv4(options.address.c_str(), &board);
      capture.connectionOpened(pcapEndpoint(host, hostPort), pcapEndpoint(board, boundPort));
    }
  }

  // Answers held back by the latency, in the order their frames arrived.
  struct DelayedAnswer {
    std::chrono::steady_clock::time_point due;
    Outcome out;
  };
  std::deque<DelayedAnswer> delayed;  // server thread only
  std::atomic<int> backlogRecord{0};

  // Sends the held-back answers whose time has come; false when the
  // connection went with one of them.
  bool sendDueAnswers(plat::SocketHandle socket) {
    while (!delayed.empty() && delayed.front().due <= std::chrono::steady_clock::now()) {
      const Outcome out = std::move(delayed.front().out);
      delayed.pop_front();
      if (!deliver(socket, out)) return false;
    }
    return true;
  }

  // How long to wait for the next frame: until the next answer is due, and
  // never longer than the poll interval.
  int64_t waitMicros() const {
    const int64_t poll = int64_t{kPollMs} * 1000;
    if (delayed.empty()) return poll;
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(delayed.front().due -
                                                                            std::chrono::steady_clock::now());
    return std::clamp<int64_t>(left.count(), 0, poll);
  }

  void serve() {
    std::array<uint8_t, proto::kFrameSize> frame{};
    int filled = 0;
    while (!stopping.load()) {
      const plat::SocketHandle current = client;  // only this thread changes it
      if (current == plat::kInvalidSocket) {
        delayed.clear();
        if (plat::waitReadable(listener, kPollMs) > 0) acceptClient();
        filled = 0;
        saveMemory(false);
        continue;
      }
      if (!sendDueAnswers(current)) continue;

      const int ready = plat::waitReadableMicros(current, waitMicros());
      if (ready < 0) {
        dropClient(true);
        filled = 0;
      } else if (ready > 0) {
        const int n = plat::receiveSome(current, frame.data() + filled, proto::kFrameSize - filled);
        if (n == plat::kInterrupted) continue;
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
    capture.fromHost(frame, proto::kFrameSize);
    Outcome out;
    {
      std::lock_guard<std::mutex> lock(mutex);
      out = handleFrame(frame);
    }
    if (!out.trace.empty()) printLine(out.trace);
    if (options.latencyUs > 0) {
      delayed.push_back({std::chrono::steady_clock::now() + std::chrono::microseconds(options.latencyUs), std::move(out)});
      backlogRecord = std::max(backlogRecord.load(), static_cast<int>(delayed.size()));
      return;
    }
    deliver(socket, out);
  }

  // Sends the answer and carries out a reset or close; false when the
  // connection is gone.
  bool deliver(plat::SocketHandle socket, const Outcome& out) {
    if (!sendPieces(socket, out)) {
      dropClient(true);
      return false;
    }
    switch (out.action) {
      case Action::Answer:
      case Action::Silent: return true;
      case Action::Reset: dropClient(true); return false;
      case Action::Close: dropClient(false); return false;
    }
    return true;
  }

  // False when the host did not take the answer within kSendLimitMs.
  bool sendPieces(plat::SocketHandle socket, const Outcome& out) {
    const int64_t deadline = plat::monotonicMs() + kSendLimitMs;
    int sent = 0;
    for (const AnswerPiece& piece : out.pieces) {
      if (piece.delayMs > 0) plat::sleepMs(piece.delayMs);
      const int length = piece.end - sent;
      if (length > 0 && plat::sendAllBefore(socket, out.answer.data() + sent, length, deadline) != length) return false;
      if (length > 0) capture.fromBoard(out.answer.data() + sent, static_cast<size_t>(length));
      sent = piece.end;
    }
    return true;
  }

  // The file is read at the first start only: a later start keeps what memory
  // holds, maybe changed while stopped. Then it is opened for writing through.
  bool openMemoryFile(std::string& problem) {
    if (options.memoryFile.empty()) return true;
    std::lock_guard<std::mutex> lock(mutex);
    if (!memoryFileReady) {
      std::vector<uint8_t> image;
      const MemoryFileLoad load = loadMemoryFile(options.memoryFile, image, problem);
      if (load == MemoryFileLoad::Refused) return false;
      if (load == MemoryFileLoad::Loaded) memory = std::move(image);
    }
    if (!file.open(options.memoryFile, memory, problem)) return false;
    memoryFileReady = true;
    memoryDirty = false;
    return true;
  }

  // Changes made while stopped wait in memory for the next save.
  void closeMemoryFile() {
    std::lock_guard<std::mutex> lock(mutex);
    file.close();
  }

  // Saves the whole image when the file lacks changes (writing through failed,
  // or memory changed while stopped): at once, or once they settled for
  // kSaveRetryMs. The file is left open for writing through.
  void saveMemory(bool now) {
    std::string problem;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!memoryDirty || !memoryFileReady || options.memoryFile.empty()) return;
      if (!now && plat::monotonicMs() - lastMemoryChangeMs < kSaveRetryMs) return;
      if (file.open(options.memoryFile, memory, problem)) {
        memoryDirty = false;
      } else {
        error = problem;
        lastMemoryChangeMs = plat::monotonicMs();
      }
      changed.notify_all();
    }
    if (!problem.empty() && options.trace) printLine("memory: " + problem);
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

  // The capture is opened once: a restarted emulator adds to the same file.
  if (std::string problem; !d.options.pcapFile.empty() && !d.capture.isOpen() &&
                           !d.capture.open(d.options.pcapFile, problem)) {
    return fail(problem);
  }
  if (std::string problem; !d.openMemoryFile(problem)) return fail(problem);

  const plat::SocketHandle listener = plat::listenOn(address, d.options.port);
  if (listener == plat::kInvalidSocket) {
    d.closeMemoryFile();
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
  d.closeMemoryFile();
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
  impl_->touchMemory(0, impl_->memory.size());
}

std::array<uint16_t, proto::kSynthRegisterSlots> BoardEmulator::synthRegisters() const {
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

int BoardEmulator::deepestBacklog() const { return impl_->backlogRecord.load(); }

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
                                 [this] { return !impl_->memoryDirty; });
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

void BoardEmulator::hostileAnswers(const HostileOptions& options) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->hostile.emplace(options);
}

void BoardEmulator::clearFaults() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->hostile.reset();
  impl_->resetAt = kNever;
  impl_->closeAt = kNever;
  impl_->stallFrom = kNever;
  impl_->shortFrom = kNever;
  impl_->shortBytes = 0;
  impl_->failingWrites.clear();
}

}  // namespace kestrel::sim
