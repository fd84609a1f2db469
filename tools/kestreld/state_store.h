// The saved states of one board (*SAV n, *RCL n): the board's settings and
// its sweep settings, ten slots kept in one file of the daemon's state
// directory, so that they outlive the daemon. The file is replaced as a
// whole (a temporary file beside it, then a rename), so a crash leaves the
// old one or the new one, never half of either. On the board's thread.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "board.h"
#include "sweep_plan.h"

namespace kestreld {

struct SavedState {
  BoardSettings board;
  SweepSettings sweep;
};

class StateStore {
 public:
  static constexpr Range kSlots{0, 9};

  // The file of board `boardName` in `directory` (which must exist).
  StateStore(const std::string& directory, const std::string& boardName);

  const std::string& path() const { return path_; }
  // Throws BoardError{Unusable} when the file cannot be written.
  void save(int slot, const SavedState& state);
  // Nothing when the slot was never saved; throws BoardError{Unusable}
  // when the file cannot be read.
  std::optional<SavedState> load(int slot) const;

 private:
  std::map<int, SavedState> readAll() const;
  void writeAll(const std::map<int, SavedState>& slots) const;

  std::string path_;
};

// The text of the file and back, for the tests.
std::string formatStates(const std::map<int, SavedState>& slots);
std::map<int, SavedState> parseStates(const std::string& text);

}  // namespace kestreld
