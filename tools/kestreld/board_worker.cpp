#include "board_worker.h"

#include <algorithm>
#include <cstdio>

#include "scpi_errors.h"

namespace kestreld {

using scpi::ScpiError;

BoardWorker::BoardWorker(std::string name, std::string address, kestrel::sim::BoardEmulator* emulator)
    : name_(std::move(name)), address_(std::move(address)), emulator_(emulator) {}

BoardWorker::~BoardWorker() { stop(); }

void BoardWorker::start() {
  instance_ = vxclk_createInstance();
  thread_ = std::thread([this] { run(); });
}

void BoardWorker::requestStop() {
  std::deque<QueuedJob> dropped;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    stopRequested_ = true;
    dropped.swap(jobs_);
  }
  wake_.notify_all();
}

bool BoardWorker::stop(Clock::time_point deadline) {
  requestStop();
  std::unique_lock lock(mutex_);
  const auto ended = [this] { return threadDone_ || !thread_.joinable(); };
  if (deadline == Clock::time_point::max()) {
    finished_.wait(lock, ended);
  } else if (!finished_.wait_until(lock, deadline, ended)) {
    return false;
  }
  lock.unlock();
  if (thread_.joinable()) thread_.join();
  if (instance_ != nullptr) {
    if (connected_) vxclk_disconnect(instance_);
    vxclk_destroyInstance(instance_);
    instance_ = nullptr;
  }
  return true;
}

bool BoardWorker::post(Job job, std::shared_ptr<JobControl> control) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_ || jobs_.size() >= kMaxQueuedJobs) return false;
    jobs_.push_back({std::move(job), std::move(control)});
  }
  wake_.notify_one();
  return true;
}

BoardSettings BoardWorker::view() const {
  std::lock_guard lock(mutex_);
  return published_;
}

void BoardWorker::publishView() {
  std::lock_guard lock(mutex_);
  published_ = settings_;
}

void BoardWorker::run() {
  while (true) {
    QueuedJob queued;
    {
      std::unique_lock lock(mutex_);
      const auto ready = [this] { return stopping_ || !jobs_.empty(); };
      if (connected_) {
        wake_.wait(lock, ready);
      } else {
        wake_.wait_until(lock, nextAttempt_, ready);
      }
      if (stopping_) break;
      if (!jobs_.empty()) {
        queued = std::move(jobs_.front());
        jobs_.pop_front();
      }
    }
    // A request that arrives after the backoff has run out sees a fresh attempt.
    if (!connected_ && std::chrono::steady_clock::now() >= nextAttempt_) attemptConnect();
    if (queued.job) runJob(queued);
    publishView();
  }
  std::lock_guard lock(mutex_);
  threadDone_ = true;
  finished_.notify_all();
}

void BoardWorker::runJob(QueuedJob& queued) {
  if (queued.control && !queued.control->begin()) return;  // withdrawn while it waited
  const auto begin = std::chrono::steady_clock::now();
  try {
    queued.job(*this);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kestreld: board %s: a request failed: %s\n", name_.c_str(), e.what());
  }
  stats_.observe(std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
}

void BoardWorker::attemptConnect() {
  if (instance_ == nullptr) return;
  if (vxclk_connect(instance_, address_.c_str()) != VXCLK_OK) {
    nextAttempt_ = std::chrono::steady_clock::now() + backoff_;
    backoff_ = std::min(backoff_ * 2, std::chrono::milliseconds(kLastRetry));
    return;
  }
  connected_ = true;
  backoff_ = kFirstRetry;
  std::fprintf(stderr, "kestreld: board %s connected at %s\n", name_.c_str(), address_.c_str());
  // The first connect learns what the board stored; a reconnect keeps the
  // instance and the view as they are.
  if (!settings_.seeded && vxclk_getActiveConfig(instance_, &settings_.stored) == VXCLK_OK) {
    settings_.seeded = true;
    lastConfigRead_ = Clock::now();
  }
}

void BoardWorker::markLost() {
  if (!connected_) return;
  connected_ = false;
  backoff_ = kFirstRetry;
  nextAttempt_ = std::chrono::steady_clock::now() + backoff_;
  std::fprintf(stderr, "kestreld: board %s lost; reconnecting\n", name_.c_str());
}

bool BoardWorker::stillAnswers() {
  int32_t id = 0;
  return vxclk_getBoardID(instance_, &id) == VXCLK_OK;
}

void* BoardWorker::instance() {
  if (!connected_) throw ScpiError(scpi::kHardwareMissing, "board " + name_ + " is not connected");
  return instance_;
}

void BoardWorker::check(const char* call, int32_t status, const char* conflict) {
  switch (status) {
    case VXCLK_OK:
      return;
    case VXCLK_FAILED:
      if (stillAnswers()) {
        if (conflict != nullptr) throw ScpiError(scpi::kSettingsConflict, conflict);
        throw ScpiError(scpi::kHardwareError, call);
      }
      markLost();
      throw ScpiError(scpi::kHardwareError, std::string(call) + ": the board stopped answering");
    case VXCLK_NOT_CONNECTED:
      markLost();
      throw ScpiError(scpi::kHardwareMissing, call);
    case VXCLK_OUT_OF_RANGE:
      throw ScpiError(scpi::kDataOutOfRange, call);
    case VXCLK_CALIBRATION_SELECTED:
      throw ScpiError(scpi::kSettingsConflict, "custom FM rates need CAL:SOUR NONE");
    default:
      throw ScpiError(scpi::kHardwareError, call);
  }
}

const ActiveConfig& BoardWorker::readStoredConfig(Clock::time_point askedAt) {
  if (askedAt > lastConfigRead_ || !settings_.seeded) {
    ActiveConfig read{};
    check("vxclk_getActiveConfig", vxclk_getActiveConfig(instance(), &read));
    settings_.stored = read;
    settings_.seeded = true;
    lastConfigRead_ = Clock::now();
  }
  return settings_.stored;
}

}  // namespace kestreld
