#include "state_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <type_traits>

#include "config_fields.h"

namespace kestreld {

namespace {

// Plain file names only: a board's name never leads out of the directory.
std::string fileNameFor(const std::string& boardName) {
  std::string name;
  for (char c : boardName) name += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ? c : '_';
  return name + ".state";
}

std::string exact(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

std::string joined(const std::vector<double>& values) {
  std::string out;
  for (double v : values) out += (out.empty() ? "" : ",") + exact(v);
  return out;
}

std::vector<double> split(const std::string& text) {
  std::vector<double> values;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    if (!item.empty()) values.push_back(std::stod(item));
  }
  return values;
}

void formatSlot(std::ostream& out, int slot, const SavedState& state) {
  out << "slot " << slot << "\n";
  kestrel::forEachActiveConfigField(state.board.stored, [&](const char* name, const auto& field) {
    out << "config " << name << " " << exact(static_cast<double>(field)) << "\n";
  });
  out << "calibration " << nameOf(state.board.calibrationSource) << "\n";
  out << "calibrationFile " << state.board.calibrationFile << "\n";
  out << "pattern " << state.board.bujPattern << "\n";
  const SweepSettings& s = state.sweep;
  out << "mode " << static_cast<int>(s.mode) << "\nlistFrequency " << joined(s.listMHz) << "\nlistDwell "
      << joined(s.listDwellSeconds) << "\nstart " << exact(s.startMHz) << "\nstop " << exact(s.stopMHz) << "\npoints "
      << s.points << "\ndwell " << exact(s.dwellSeconds) << "\nspacing " << static_cast<int>(s.spacing)
      << "\ndirection " << static_cast<int>(s.direction) << "\ncount " << s.count << "\ntrigger "
      << static_cast<int>(s.trigger) << "\nend\n";
}

void setConfigField(ActiveConfig& config, const std::string& wanted, double value) {
  kestrel::forEachActiveConfigField(config, [&](const char* name, auto& field) {
    if (wanted == name) field = static_cast<std::remove_reference_t<decltype(field)>>(value);
  });
}

CalibrationSource calibrationNamed(const std::string& name) {
  if (name == nameOf(CalibrationSource::Board)) return CalibrationSource::Board;
  if (name == nameOf(CalibrationSource::File)) return CalibrationSource::File;
  return CalibrationSource::None;
}

// One "key value" line of a slot.
void readLine(SavedState& state, const std::string& key, const std::string& value) {
  SweepSettings& s = state.sweep;
  if (key == "config") {
    const size_t space = value.find(' ');
    setConfigField(state.board.stored, value.substr(0, space), std::stod(value.substr(space + 1)));
  } else if (key == "calibration") {
    state.board.calibrationSource = calibrationNamed(value);
  } else if (key == "calibrationFile") {
    state.board.calibrationFile = value;
  } else if (key == "pattern") {
    state.board.bujPattern = static_cast<uint32_t>(std::stoul(value));
  } else if (key == "mode") {
    s.mode = static_cast<FrequencyMode>(std::stoi(value));
  } else if (key == "listFrequency") {
    s.listMHz = split(value);
  } else if (key == "listDwell") {
    s.listDwellSeconds = split(value);
  } else if (key == "start") {
    s.startMHz = std::stod(value);
  } else if (key == "stop") {
    s.stopMHz = std::stod(value);
  } else if (key == "points") {
    s.points = std::stoll(value);
  } else if (key == "dwell") {
    s.dwellSeconds = std::stod(value);
  } else if (key == "spacing") {
    s.spacing = static_cast<Spacing>(std::stoi(value));
  } else if (key == "direction") {
    s.direction = static_cast<Direction>(std::stoi(value));
  } else if (key == "count") {
    s.count = std::stoll(value);
  } else if (key == "trigger") {
    s.trigger = static_cast<TriggerSource>(std::stoi(value));
  }
}

[[noreturn]] void unusable(const std::string& what, const std::string& path) {
  throw BoardError(BoardFault::Unusable, what + " " + path);
}

}  // namespace

std::string formatStates(const std::map<int, SavedState>& slots) {
  std::ostringstream out;
  out << "# kestreld saved states (*SAV, *RCL)\n";
  for (const auto& [slot, state] : slots) formatSlot(out, slot, state);
  return out.str();
}

std::map<int, SavedState> parseStates(const std::string& text) {
  std::map<int, SavedState> slots;
  std::istringstream in(text);
  std::string line;
  SavedState* current = nullptr;
  while (std::getline(in, line)) {
    const size_t space = line.find(' ');
    const std::string key = line.substr(0, space);
    const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
    if (key == "slot") {
      current = &slots[std::stoi(value)];
    } else if (key == "end") {
      current = nullptr;
    } else if (current != nullptr) {
      readLine(*current, key, value);
    }
  }
  return slots;
}

StateStore::StateStore(const std::string& directory, const std::string& boardName)
    : path_(directory + "/" + fileNameFor(boardName)) {}

void StateStore::save(int slot, const SavedState& state) {
  std::map<int, SavedState> slots = readAll();
  slots[slot] = state;
  writeAll(slots);
}

std::optional<SavedState> StateStore::load(int slot) const {
  const std::map<int, SavedState> slots = readAll();
  const auto it = slots.find(slot);
  if (it == slots.end()) return std::nullopt;
  return it->second;
}

std::map<int, SavedState> StateStore::readAll() const {
  std::ifstream file(path_);
  if (!file) return {};
  std::stringstream text;
  text << file.rdbuf();
  try {
    return parseStates(text.str());
  } catch (const std::exception&) {
    unusable("the saved states could not be read from", path_);
  }
}

// A temporary file of this process beside the real one, flushed to the
// disk, then renamed over it.
void StateStore::writeAll(const std::map<int, SavedState>& slots) const {
  const std::string text = formatStates(slots);
  const std::string temporary = path_ + ".tmp." + std::to_string(::getpid());
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) unusable("the saved states could not be written to", temporary);
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
  ::close(fd);
  if (!written || ::rename(temporary.c_str(), path_.c_str()) != 0) {
    ::unlink(temporary.c_str());
    unusable("the saved states could not be written to", path_);
  }
}

}  // namespace kestreld
