#include "sweep_runner.h"

#include <cstdio>

#include "board_worker.h"

namespace kestreld {

namespace {

std::chrono::steady_clock::duration seconds(double s) {
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(s));
}

double milliseconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace

SweepRunner::SweepRunner(BoardWorker& worker) : worker_(worker), board_(worker.board()), timer_(worker.io()) {}

void SweepRunner::refuseWhileActive() const {
  if (active()) throw BoardError(BoardFault::Conflict, "a sweep is running: send ABOR first");
}

void SweepRunner::setMode(FrequencyMode mode) {
  refuseWhileActive();
  settings_.mode = mode;
  if (mode == FrequencyMode::Cw) board_.returnToCwClock();
}

void SweepRunner::replace(const SweepSettings& settings) {
  abort();
  settings_ = settings;
  settings_.continuous = false;  // a recalled state does not start a run by itself
}

void SweepRunner::initiate(SweepOwner owner) {
  refuseWhileActive();
  points_ = planPoints(settings_);
  arm(std::move(owner));
}

void SweepRunner::setContinuous(bool on, SweepOwner owner) {
  if (on && !active()) points_ = planPoints(settings_);  // refused before anything changes
  settings_.continuous = on;
  if (on && !active()) arm(std::move(owner));
}

// The clock belongs to the run from the moment it is armed to its end: a
// client's FREQ would fight it.
void SweepRunner::arm(SweepOwner owner) {
  owner_ = std::move(owner);
  passes_ = 0;
  state_ = State::Armed;
  board_.holdClock(true);
  if (settings_.trigger == TriggerSource::Immediate) begin(Clock::now());
}

void SweepRunner::trigger() {
  if (state_ != State::Armed || settings_.trigger != TriggerSource::Bus) {
    throw BoardError(BoardFault::Conflict, "no run waits for a trigger: send INIT with TRIG:SOUR BUS first");
  }
  begin(Clock::now());
}

void SweepRunner::abort() {
  settings_.continuous = false;
  if (active()) finish();
}

void SweepRunner::begin(Clock::time_point start) {
  state_ = State::Running;
  next_ = 0;
  due_ = start;
  lateness_.clear();
  schedule();
}

void SweepRunner::schedule() {
  const uint64_t generation = generation_;
  timer_.expires_at(due_);
  timer_.async_wait([this, generation](const asio::error_code& error) {
    if (error || generation != generation_) return;
    worker_.postFirst([this, generation](BoardWorker&) { step(generation); });
  });
}

void SweepRunner::step(uint64_t generation) {
  if (generation != generation_ || state_ != State::Running) return;
  if (next_ == points_.size()) return endOfPass();
  const SweepPoint& point = points_[next_];
  const auto began = Clock::now();
  if (lateness_.size() < sweep::kMaxPoints) lateness_.push_back(began - due_);
  try {
    board_.stepClock(point.mhz);
  } catch (const BoardError& error) {
    const SweepOwner owner = owner_;
    finish();
    if (owner.failed) owner.failed(error);
    return;
  }
  current_ = next_++;
  worker_.stats().countSweepPoint();
  const auto upload = Clock::now() - began;
  if (upload > seconds(point.dwellSeconds)) reportLate(current_, upload, point.dwellSeconds);
  due_ += seconds(point.dwellSeconds);
  schedule();
}

// The last point's dwell is over: the next pass starts now, as planned.
void SweepRunner::endOfPass() {
  ++passes_;
  next_ = 0;
  if (settings_.count != sweep::kInfinite && passes_ >= settings_.count) return runEnded();
  step(generation_);
}

void SweepRunner::runEnded() {
  if (!settings_.continuous) return finish();
  passes_ = 0;
  if (settings_.trigger == TriggerSource::Bus) {
    state_ = State::Armed;
    return;
  }
  step(generation_);
}

void SweepRunner::finish() {
  state_ = State::Idle;
  ++generation_;
  board_.holdClock(false);
  timer_.cancel();
  owner_ = {};
  std::vector<std::function<void()>> waiting;
  waiting.swap(waiters_);
  for (auto& done : waiting) done();
}

void SweepRunner::reportLate(size_t index, Clock::duration upload, double dwellSeconds) {
  worker_.stats().countLateSweepPoint();
  if (!owner_.late) return;
  char detail[160];
  std::snprintf(detail, sizeof detail, "sweep point %zu took %.1f ms to upload, longer than its dwell of %.1f ms", index,
                milliseconds(upload), dwellSeconds * 1e3);
  owner_.late(detail);
}

int SweepRunner::operationCondition() const {
  if (state_ == State::Running) return kSweepingBit;
  if (state_ == State::Armed) return kWaitingForTriggerBit;
  return 0;
}

bool SweepRunner::pendingFor(const void* tag) const {
  return active() && settings_.finite() && tag != nullptr && owner_.tag == tag;
}

void SweepRunner::whenIdle(std::function<void()> done) {
  if (!active()) return done();
  waiters_.push_back(std::move(done));
}

}  // namespace kestreld
