// libFuzzer target: the link's handling of what a board answers. The input
// scripts a hostile board: for each host operation, the bytes the board
// sends back (too few, too many, garbage). The host must never crash or
// hang, and an exchange it reports as successful must have read exactly the
// bytes the board sent for it, never stray bytes of an earlier answer.
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "link/hw_layer.h"
#include "protocol/board_protocol.h"

namespace {

namespace p = kestrel::protocol;

enum class Op { RegisterRead, RegisterWrite, BlockRead, AuxRead };

struct Step {
  Op op;
  std::vector<uint8_t> answer;
};

int answerBytesNeeded(Op op) {
  switch (op) {
    case Op::RegisterRead: return p::kRegisterReadAnswerBytes;
    case Op::BlockRead: return p::kBlockSize;
    default: return 1;
  }
}

// Each step: one byte for the operation, one for the answer length, then the
// answer. Block reads take the answer repeated to reach 128 bytes when the
// length byte's top bit asks for it, so that successful block reads happen.
std::vector<Step> parseScript(const uint8_t* data, size_t size) {
  std::vector<Step> steps;
  size_t i = 0;
  while (i + 2 <= size && steps.size() < 64) {
    Step step{static_cast<Op>(data[i] % 4), {}};
    const size_t length = data[i + 1] & 0x7F;
    const bool stretch = (data[i + 1] & 0x80) != 0;
    i += 2;
    const size_t take = length < size - i ? length : size - i;
    step.answer.assign(data + i, data + i + take);
    i += take;
    if (stretch && step.op == Op::BlockRead && !step.answer.empty())
      while (step.answer.size() < p::kBlockSize) step.answer.push_back(step.answer[step.answer.size() % take]);
    steps.push_back(std::move(step));
  }
  return steps;
}

bool readFrame(int fd) {
  std::array<uint8_t, p::kFrameSize> frame{};
  size_t got = 0;
  while (got < frame.size()) {
    const ssize_t n = ::recv(fd, frame.data() + got, frame.size() - got, 0);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

// The board: answers each frame with its step's bytes in one send, and
// closes when an answer falls short of what the host waits for, so the host
// fails at once instead of waiting out its time limit.
void board(int fd, const std::vector<Step>& steps) {
  for (const Step& step : steps) {
    if (!readFrame(fd)) break;
    if (!step.answer.empty() && ::send(fd, step.answer.data(), step.answer.size(), MSG_NOSIGNAL) < 0) break;
    if (static_cast<int>(step.answer.size()) < answerBytesNeeded(step.op)) break;
  }
  ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
}

void check(bool condition) {
  if (!condition) std::abort();
}

void runHost(kestrel::HwLayer& link, const std::vector<Step>& steps) {
  std::array<uint8_t, p::kResponseCapacity> aux{};
  std::array<uint8_t, p::kBlockSize> block{};
  for (const Step& step : steps) {
    uint16_t value = 0x5A5A;
    switch (step.op) {
      case Op::RegisterRead:
        if (link.regAccess(0, 0, 20, &value)) check(value == (step.answer[1] | step.answer[2] << 8));
        break;
      case Op::RegisterWrite:
        if (link.regAccess(1, 0, 300, &value)) check(!step.answer.empty());  // a close is no answer
        break;
      case Op::BlockRead:
        if (link.readMemBlock(0, 20480, block.data()))
          check(std::memcmp(block.data(), step.answer.data(), p::kBlockSize) == 0);
        break;
      case Op::AuxRead: link.auxReadPlain(aux.data()); break;
    }
    if (!link.usable()) break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<Step> steps = parseScript(data, size);
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return 0;
  std::thread boardThread(board, pair[1], std::cref(steps));
  {
    kestrel::HwLayer link;
    link.sock = pair[0];
    link.exchangeTimeoutMs = 1000;  // a hang would show as a time-out long before libFuzzer's own
    runHost(link, steps);
    link.closeLink();
  }
  boardThread.join();
  return 0;
}
