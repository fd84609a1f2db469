#include "board_fixture.h"

#include <atomic>
#include <random>

namespace kestrel::testing {

namespace {
std::atomic<int> nextHost{1};

// ctest runs each test in its own process, several at once: every process
// takes its addresses from its own random /16 of the loopback range.
int processBlock() {
  static const int block = [] {
    std::random_device entropy;
    return static_cast<int>(entropy() % 30000);
  }();
  return block;
}

std::string addressInBlock(int firstOctetOffset) {
  const int block = processBlock();
  const int n = nextHost.fetch_add(1);
  return "127." + std::to_string(firstOctetOffset + block / 250) + "." + std::to_string(block % 250) + "." +
         std::to_string(n % 250 + 1);
}
}  // namespace

// Emulators live in 127.10.0.0 to 127.129.255.255, unused addresses above.
std::string nextLoopbackAddress() { return addressInBlock(10); }

std::string unusedLoopbackAddress() { return addressInBlock(130); }

std::vector<sim::FrameRecord> registerWrites(const std::vector<sim::FrameRecord>& frames) {
  std::vector<sim::FrameRecord> writes;
  for (const auto& f : frames)
    if (f.kind == sim::FrameKind::RegisterWrite) writes.push_back(f);
  return writes;
}

std::vector<sim::FrameRecord> writesTo(const std::vector<sim::FrameRecord>& frames, uint16_t reg, uint16_t page) {
  std::vector<sim::FrameRecord> writes;
  for (const auto& f : registerWrites(frames))
    if (f.reg == reg && f.page == page) writes.push_back(f);
  return writes;
}

std::vector<sim::FrameRecord> boardRegisterWrites(const std::vector<sim::FrameRecord>& frames) {
  std::vector<sim::FrameRecord> writes;
  for (const auto& f : registerWrites(frames))
    if (f.reg != protocol::reg::kMemoryAddress && f.reg != protocol::reg::kMemoryData) writes.push_back(f);
  return writes;
}

std::vector<std::vector<std::pair<uint16_t, uint16_t>>> synthUploads(const std::vector<sim::FrameRecord>& frames) {
  std::vector<std::vector<std::pair<uint16_t, uint16_t>>> uploads;
  std::vector<std::pair<uint16_t, uint16_t>> current;
  int number = -1;
  for (const auto& f : registerWrites(frames)) {
    if (f.page != 0) continue;
    if (f.reg == protocol::reg::kSynthNumber) number = f.value;
    if (f.reg == protocol::reg::kSynthValue && number >= 0) {
      current.emplace_back(static_cast<uint16_t>(number), f.value);
      if (number == 0) {
        uploads.push_back(current);
        current.clear();
      }
      number = -1;
    }
  }
  return uploads;
}

EmulatorBoard::EmulatorBoard() : address_(nextLoopbackAddress()) {
  sim::EmulatorOptions options;
  options.address = address_;
  emulator_ = std::make_unique<sim::BoardEmulator>(options);
  if (!emulator_->start()) ADD_FAILURE() << "emulator did not start on " << address_ << ": " << emulator_->lastError();
}

EmulatorBoard::~EmulatorBoard() { emulator_->stop(); }

void ConnectedBoard::SetUp() {
  if (const char* real = realBoardAddress()) {
    address = real;
  } else {
    board = std::make_unique<EmulatorBoard>();
    address = board->address();
  }
  instance = vxclk_createInstance();
  ASSERT_NE(instance, nullptr);
  ASSERT_EQ(vxclk_connect(instance, address.c_str()), VXCLK_OK);
  if (board) (*board)->clearFrames();
}

void ConnectedBoard::TearDown() {
  if (instance != nullptr) {
    vxclk_disconnect(instance);
    vxclk_destroyInstance(instance);
  }
  board.reset();
}

double ConnectedBoard::storedSetting(protocol::SettingIndex index) {
  return (*board)->memoryDouble(protocol::settingAddress(index));
}

void ConnectedBoard::reconnect() {
  ASSERT_EQ(vxclk_connect(instance, address.c_str()), VXCLK_OK);
  if (board) (*board)->clearFrames();
}

}  // namespace kestrel::testing
