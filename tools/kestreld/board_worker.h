// The one owner of a board: one library instance, one connection and one
// thread that runs every request in arrival order. Front ends (the SCPI
// server today, others later) never touch the instance; they hand the worker
// a job and get its result back, so requests from many clients never
// interleave inside a library call.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>

#include "KestrelLib.h"
#include "board_stats.h"

namespace kestrel::sim {
class BoardEmulator;
}

namespace kestreld {

// What the daemon knows of the board's settings. It starts from the
// configuration the board stored and follows every setter that succeeds, so
// that queries answer at once and every client sees what the others left.
struct BoardSettings {
  ActiveConfig stored{};
  bool seeded = false;  // `stored` was read from the board at the first connect
  std::string calibrationSource = "NONE";
  std::string calibrationPath;
  uint32_t bujPattern = 0;
};

// A queued job that the face which posted it may withdraw while it waits:
// a client that went away, or a request answered with a time-out, must not
// have its change applied afterwards.
class JobControl {
 public:
  // True when the job had not started, and now never will.
  bool withdraw() { return from(State::Queued, State::Withdrawn); }
  // The worker's side: true when the job may run.
  bool begin() { return from(State::Queued, State::Running); }

 private:
  enum class State { Queued, Running, Withdrawn };
  bool from(State expected, State next) { return state_.compare_exchange_strong(expected, next); }
  std::atomic<State> state_{State::Queued};
};

// The board's queue is full (or the daemon is stopping): the request is refused.
struct QueueFull : std::runtime_error {
  QueueFull() : std::runtime_error("the board's job queue is full") {}
};

template <typename R>
struct Submitted {
  std::future<R> result;
  std::shared_ptr<JobControl> control;
};

class BoardWorker {
 public:
  using Job = std::function<void(BoardWorker&)>;
  using Clock = std::chrono::steady_clock;

  // Reconnection backoff: from the first to the last delay, doubling.
  static constexpr std::chrono::milliseconds kFirstRetry{100};
  static constexpr std::chrono::milliseconds kLastRetry{2000};
  // Jobs waiting for the board, over every client: each SCPI client has at
  // most one line and each HTTP request one job in it, so only a crowd fills it.
  static constexpr size_t kMaxQueuedJobs = 64;

  BoardWorker(std::string name, std::string address, kestrel::sim::BoardEmulator* emulator = nullptr);
  ~BoardWorker();
  BoardWorker(const BoardWorker&) = delete;
  BoardWorker& operator=(const BoardWorker&) = delete;

  // Where CAL:SOUR FILE may read calibration files; none: nowhere.
  void setCalibrationDirectory(std::string directory) { calibrationDirectory_ = std::move(directory); }
  const std::optional<std::string>& calibrationDirectory() const { return calibrationDirectory_; }

  void start();
  // Drops the jobs still queued and tells the running one to stop at its next
  // command, without waiting.
  void requestStop();
  // requestStop(), then waits for the running job until `deadline`. False
  // when it still runs then (a single library call that cannot be cut
  // short): the worker must not be destroyed, and the process should exit
  // without it.
  bool stop(Clock::time_point deadline = Clock::time_point::max());
  bool stopping() const { return stopRequested_; }

  // False (and the job dropped) when the queue is full or the worker stopping.
  bool post(Job job, std::shared_ptr<JobControl> control = nullptr);

  // Runs fn(worker) on the worker thread; its result or exception arrives in
  // the future. Throws QueueFull when the job cannot be queued.
  template <typename F>
  auto submit(F fn) -> Submitted<std::invoke_result_t<F, BoardWorker&>> {
    using R = std::invoke_result_t<F, BoardWorker&>;
    auto task = std::make_shared<std::packaged_task<R(BoardWorker&)>>(std::move(fn));
    Submitted<R> submitted{task->get_future(), std::make_shared<JobControl>()};
    if (!post([task](BoardWorker& worker) { (*task)(worker); }, submitted.control)) throw QueueFull();
    return submitted;
  }

  const std::string& name() const { return name_; }
  const std::string& address() const { return address_; }
  bool connected() const { return connected_; }
  BoardStats& stats() { return stats_; }
  // The settings view as it stood after the last job, for any thread.
  BoardSettings view() const;

  // ---- for jobs, on the worker thread only ---------------------------------------
  // The instance; throws ScpiError -241 while the board is not connected.
  void* instance();
  // Turns a library status into an error: 1 gives -240 (and, when the board no
  // longer answers, starts reconnecting), 2 gives -241, 3 -222, 5 -221. When
  // `conflict` is given, a status 1 from a board that still answers means the
  // library refused the request for that reason (-221).
  void check(const char* call, int32_t status, const char* conflict = nullptr);
  BoardSettings& settings() { return settings_; }
  // The configuration the board stored, read now, unless a read that ended
  // after `askedAt` already has it: callers that ask while a read runs, or
  // wait behind it, share that read instead of making their own. Makes it the view.
  const ActiveConfig& readStoredConfig(Clock::time_point askedAt);
  // The in-process emulator behind a --sim board, else null.
  kestrel::sim::BoardEmulator* emulator() const { return emulator_; }

 private:
  struct QueuedJob {
    Job job;
    std::shared_ptr<JobControl> control;
  };

  void run();
  void runJob(QueuedJob& queued);
  void publishView();
  void attemptConnect();
  void markLost();
  bool stillAnswers();

  std::string name_;
  std::string address_;
  kestrel::sim::BoardEmulator* emulator_;
  void* instance_ = nullptr;
  BoardSettings settings_;
  BoardStats stats_;
  std::optional<std::string> calibrationDirectory_;
  Clock::time_point lastConfigRead_{};  // when the last stored-configuration read ended

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable finished_;
  std::deque<QueuedJob> jobs_;
  bool stopping_ = false;
  bool threadDone_ = false;
  std::atomic<bool> stopRequested_{false};
  BoardSettings published_;
  std::thread thread_;

  std::atomic<bool> connected_{false};
  std::chrono::milliseconds backoff_{kFirstRetry};
  std::chrono::steady_clock::time_point nextAttempt_{};
};

}  // namespace kestreld
