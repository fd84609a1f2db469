// The board's own frequency list and sweep, run on the board's thread
// between its clients' lines: each point is a step job put ahead of the
// waiting lines by a timer of the board's I/O context, so that no client is
// ever blocked by a run, and queries answer at once while one goes on.
//
// Points start at their planned times (the run's start plus the dwells
// before them), never at the end of the step before, so late steps do not
// push the rest of the run later. A point whose upload outlasts its dwell is
// counted and told to whoever started the run.
//
// The trigger model is SCPI's: INITiate arms a run; with an IMMediate
// trigger it starts at once, with BUS at *TRG; ABORt returns to idle;
// INITiate:CONTinuous ON arms again after every run. On the board's thread only,
// except latePoints().
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <asio.hpp>

#include "sweep_plan.h"

namespace kestreld {

class Board;
class BoardWorker;
struct BoardError;

// Who started a run: whose *OPC? waits for it, and who hears how it went.
struct SweepOwner {
  const void* tag = nullptr;
  std::function<void(const std::string& detail)> late;  // a point's upload outlasted its dwell
  std::function<void(const BoardError& error)> failed;  // a step failed: the run ended
};

class SweepRunner {
 public:
  using Clock = std::chrono::steady_clock;
  enum class State { Idle, Armed, Running };
  // STATus:OPERation:CONDition? bits, by SCPI instruments' convention.
  static constexpr int kSweepingBit = 1 << 3;
  static constexpr int kWaitingForTriggerBit = 1 << 5;

  explicit SweepRunner(BoardWorker& worker);

  const SweepSettings& settings() const { return settings_; }
  // Changes the settings, refused (Conflict) while a run is armed or going:
  // a run keeps the plan it started with, and the list may not change under it.
  template <typename Edit>
  void change(Edit&& edit) {
    refuseWhileActive();
    edit(settings_);
  }
  // FREQ:MODE; CW brings the clock back to the one asked for before any run.
  void setMode(FrequencyMode mode);
  // *RCL: the settings as they were saved; *RST: the mode back to CW.
  void replace(const SweepSettings& settings);

  // INITiate: plans the points and arms a run (Conflict when one is armed
  // or going, or the settings plan nothing).
  void initiate(SweepOwner owner);
  void setContinuous(bool on, SweepOwner owner);
  // *TRG: starts an armed run waiting for BUS (Conflict when none waits).
  void trigger();
  // Returns to idle; also ends INITiate:CONTinuous. The board keeps the last point.
  void abort();

  State state() const { return state_; }
  bool active() const { return state_ != State::Idle; }
  // The point the board is at (0-based), of the run going or the last one.
  size_t index() const { return current_; }
  // How much later than planned each point of the run going (or the last
  // one) started, in the order they ran: the first sweep::kMaxPoints of the
  // run, so a client can see how well the board keeps its plan.
  const std::vector<Clock::duration>& lateness() const { return lateness_; }
  int operationCondition() const;
  // Whether a run started by `tag` will end by itself and has not yet.
  bool pendingFor(const void* tag) const;
  // Calls done() once no run is armed or going (at once when none is).
  void whenIdle(std::function<void()> done);

 private:
  void refuseWhileActive() const;
  void arm(SweepOwner owner);
  void begin(Clock::time_point start);
  void schedule();
  void step(uint64_t generation);
  void endOfPass();
  void runEnded();
  void finish();
  void reportLate(size_t index, Clock::duration upload, double dwellSeconds);

  BoardWorker& worker_;
  Board& board_;
  asio::steady_timer timer_;
  SweepSettings settings_;
  State state_ = State::Idle;
  SweepOwner owner_;
  std::vector<SweepPoint> points_;
  size_t next_ = 0;     // the point the next step uploads
  size_t current_ = 0;  // the point the board is at
  int64_t passes_ = 0;
  Clock::time_point due_{};  // when the next step is planned
  uint64_t generation_ = 0;  // steps and timers of an earlier run do nothing
  std::vector<std::function<void()>> waiters_;
  std::vector<Clock::duration> lateness_;
};

}  // namespace kestreld
