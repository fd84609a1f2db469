// The one owner of a board: its service (one library instance, one
// connection, the settings view) and one thread that runs everything asked
// of it in arrival order, so that requests from many clients never
// interleave inside a library call.
//
// The thread runs the board's own I/O context, on which its SCPI clients are
// served (scpi_server.h): a line is read, run and answered on this one
// thread, with no hand-off between threads. Every line and every job that
// other faces hand it (HTTP, VXI-11, the status hub: post() or submit())
// waits in one bounded queue, first come first served. The thread runs the
// jobs that wait, then takes the I/O that came meanwhile (new clients, lines
// into the queue, answers out), and so on; a long line lets the I/O in
// between its commands too, so that other clients' lines queue (or find the
// queue full) and a client that goes away stops its own line.
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

#include <asio.hpp>

#include "board.h"
#include "board_lock.h"
#include "board_stats.h"
#include "state_store.h"
#include "sweep_runner.h"

namespace kestreld {

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
  // Lines and jobs waiting for the board, over every client: each SCPI
  // client has at most one line and each HTTP request one job in it, so only
  // a crowd fills it.
  static constexpr size_t kMaxQueuedJobs = 64;

  BoardWorker(std::string name, std::string address, kestrel::sim::BoardEmulator* emulator = nullptr);
  ~BoardWorker();
  BoardWorker(const BoardWorker&) = delete;
  BoardWorker& operator=(const BoardWorker&) = delete;

  // Before start(): where CAL:SOUR FILE may read calibration files.
  void setCalibrationDirectory(std::string directory) { board_.setCalibrationDirectory(std::move(directory)); }
  // Before start(): where *SAV keeps the board's saved states; none: *SAV is refused.
  void setStateDirectory(const std::string& directory) { states_.emplace(directory, board_.name()); }
  // The board's own I/O context, which its thread runs from start() on.
  asio::io_context& io() { return io_; }

  void start();
  // Drops the jobs still queued, tells the running one to stop at its next
  // command and ends the thread after it, without waiting.
  void requestStop();
  // requestStop(), then waits for the thread until `deadline`. False when it
  // still runs then (a single library call that cannot be cut short): the
  // worker must not be destroyed, and the process should exit without it.
  bool stop(Clock::time_point deadline = Clock::time_point::max());
  bool stopping() const { return stopRequested_; }

  // Any thread. False (and the job dropped) when the queue is full or the
  // worker stopping.
  bool post(Job job, std::shared_ptr<JobControl> control = nullptr);
  // On the board's thread: a step of the board's own sweep, ahead of every
  // waiting line so that it starts on time. A sweep has one step due at a
  // time, so this stays outside the queue's bound.
  void postFirst(Job job);
  // Inside a job, between two of its steps: the I/O that is ready now
  // (accepts, reads, writes), but no other job.
  void serveWaitingIO();
  // On the board's thread, for a line just read: when it arrived at the
  // earliest, as far as a shared read of the board is concerned. A line read
  // after a job (or a connect) may have come at any time during it.
  Clock::time_point arrivedAfter() const;

  // Runs fn(worker) on the board's thread; its result or exception arrives
  // in the future. Throws QueueFull when the job cannot be queued.
  template <typename F>
  auto submit(F fn) -> Submitted<std::invoke_result_t<F, BoardWorker&>> {
    using R = std::invoke_result_t<F, BoardWorker&>;
    auto task = std::make_shared<std::packaged_task<R(BoardWorker&)>>(std::move(fn));
    Submitted<R> submitted{task->get_future(), std::make_shared<JobControl>()};
    if (!post([task](BoardWorker& worker) { (*task)(worker); }, submitted.control)) throw QueueFull();
    return submitted;
  }

  // Any thread.
  const std::string& name() const { return board_.name(); }
  const std::string& address() const { return board_.address(); }
  kestrel::sim::BoardEmulator* emulator() const { return board_.emulator(); }
  bool connected() const { return board_.connected(); }
  BoardStats& stats() { return stats_; }
  // Held by a VXI-11 link that asked for the board alone; the SCPI socket's lines wait for it.
  BoardLock& lock() { return lock_; }
  // The settings view as it stood after the last job.
  BoardSettings view() const;

  // The service and its sweep: on the board's thread only (in jobs and SCPI lines).
  Board& board() { return board_; }
  SweepRunner& sweep() { return sweep_; }
  // Throws BoardError{Unusable} without a state directory.
  StateStore& states();

 private:
  struct QueuedJob {
    Job job;
    std::shared_ptr<JobControl> control;
  };

  void run();
  void turn();
  size_t waitingJobs() const;
  bool runNext();
  void runJob(QueuedJob& queued);
  void afterWork();
  void attemptConnect();
  void scheduleReconnect();

  Board board_;
  BoardStats stats_;
  BoardLock lock_;
  asio::io_context io_;
  asio::steady_timer reconnect_{io_};
  SweepRunner sweep_{*this};
  std::optional<StateStore> states_;
  bool reconnectPending_ = false;
  bool reconnectDue_ = false;  // the timer ran out: connect at the next turn, never inside a job
  bool inJob_ = false;
  // Since when the thread has not served its clients' I/O (max: it waits for I/O).
  Clock::time_point ioWaitingSince_ = Clock::time_point::max();
  std::chrono::milliseconds backoff_{kFirstRetry};

  mutable std::mutex mutex_;
  std::condition_variable finished_;
  std::deque<QueuedJob> jobs_;
  bool stopping_ = false;
  bool threadDone_ = false;
  std::atomic<bool> stopRequested_{false};
  BoardSettings published_;
  std::thread thread_;
  std::atomic<std::thread::id> threadId_{};
};

}  // namespace kestreld
