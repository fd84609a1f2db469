// The hostile board's choices (BoardEmulator::hostileAnswers), drawn from a
// generator of our own rather than <random>'s distributions, whose results
// differ between standard libraries: a seed then gives the same run on Linux
// and on Windows.
#pragma once

#include <cstdint>
#include <vector>

#include "board_emulator.h"

namespace kestrel::sim {

// One send of an answer: after a pause, the bytes up to `end`.
struct AnswerPiece {
  int delayMs = 0;
  int end = 0;
};

class HostileBoard {
 public:
  explicit HostileBoard(const HostileOptions& options);

  // Whether this frame resets, or closes, the connection instead of being applied.
  bool resets();
  bool closes();
  // Before such an end: random bytes, fewer than the host needs, in one send.
  std::vector<AnswerPiece> garbageBeforeEnd(std::vector<uint8_t>& answer, int needed);
  // Puts stray bytes before `answer` and extra random bytes after it, and
  // splits it into sends, of which only the last completes the host's
  // `needed` bytes (unless a late tail follows). *strayBytes: how many came
  // before the answer proper.
  std::vector<AnswerPiece> split(std::vector<uint8_t>& answer, int needed, int* strayBytes);

 private:
  uint32_t next();
  bool chance(int perMille);
  void appendRandom(std::vector<uint8_t>& bytes, int count);
  int below(int bound);  // 0 .. bound - 1; 0 when bound < 2
  int delay();

  HostileOptions options_;
  uint64_t state_;
};

}  // namespace kestrel::sim
