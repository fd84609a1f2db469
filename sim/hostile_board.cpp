#include "hostile_board.h"

#include <algorithm>

namespace kestrel::sim {

HostileBoard::HostileBoard(const HostileOptions& options) : options_(options), state_(options.seed) {}

// splitmix64: small, fast and the same everywhere.
uint32_t HostileBoard::next() {
  uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return static_cast<uint32_t>((z ^ (z >> 31)) >> 32);
}

int HostileBoard::below(int bound) { return bound < 2 ? 0 : static_cast<int>(next() % static_cast<uint32_t>(bound)); }

int HostileBoard::delay() { return below(options_.maxDelayMs + 1); }

bool HostileBoard::resets() { return below(1000) < options_.resetPerMille; }

bool HostileBoard::closes() { return below(1000) < options_.closePerMille; }


std::vector<AnswerPiece> HostileBoard::garbageBeforeEnd(std::vector<uint8_t>& answer, int needed) {
  answer.clear();
  appendRandom(answer, below(needed));
  if (answer.empty()) return {};
  return {{delay(), static_cast<int>(answer.size())}};
}

bool HostileBoard::chance(int perMille) { return perMille > 0 && below(1000) < perMille; }

void HostileBoard::appendRandom(std::vector<uint8_t>& bytes, int count) {
  for (int i = 0; i < count; ++i) bytes.push_back(static_cast<uint8_t>(next()));
}

std::vector<AnswerPiece> HostileBoard::split(std::vector<uint8_t>& answer, int needed, int* strayBytes) {
  std::vector<AnswerPiece> pieces;
  std::vector<uint8_t> stray;
  if (chance(options_.strayBeforePerMille)) appendRandom(stray, 1 + below(options_.maxExtraBytes));
  answer.insert(answer.begin(), stray.begin(), stray.end());
  *strayBytes = static_cast<int>(stray.size());
  int sent = *strayBytes;
  if (sent > 0) pieces.push_back({0, sent});
  needed += *strayBytes;
  const int sends = 1 + below(options_.maxPieces);
  for (int i = 1; i < sends && sent < needed - 1; ++i) {
    sent += 1 + below(needed - 1 - sent);
    pieces.push_back({delay(), sent});
  }
  const bool lateTail = chance(options_.lateTailPerMille) && static_cast<int>(answer.size()) > needed;
  if (lateTail) pieces.push_back({delay(), needed});
  appendRandom(answer, below(options_.maxExtraBytes + 1));
  pieces.push_back({lateTail ? options_.lateDelayMs : delay(), static_cast<int>(answer.size())});
  if (options_.lateBytes > 0) {
    appendRandom(answer, options_.lateBytes);
    pieces.push_back({options_.lateDelayMs, static_cast<int>(answer.size())});
  }
  return pieces;
}

}  // namespace kestrel::sim
