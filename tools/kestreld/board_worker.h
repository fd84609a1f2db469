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
#include <string>
#include <thread>
#include <type_traits>

#include "KestrelLib.h"
#include "board_lock.h"
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

class BoardWorker {
 public:
  using Job = std::function<void(BoardWorker&)>;

  // Reconnection backoff: from the first to the last delay, doubling.
  static constexpr std::chrono::milliseconds kFirstRetry{100};
  static constexpr std::chrono::milliseconds kLastRetry{2000};

  BoardWorker(std::string name, std::string address, kestrel::sim::BoardEmulator* emulator = nullptr);
  ~BoardWorker();
  BoardWorker(const BoardWorker&) = delete;
  BoardWorker& operator=(const BoardWorker&) = delete;

  void start();
  // Drops the jobs still queued, lets the running one finish, closes the board.
  void stop();

  void post(Job job);

  // Runs fn(worker) on the worker thread; its result or exception arrives in the future.
  template <typename F>
  auto submit(F fn) -> std::future<std::invoke_result_t<F, BoardWorker&>> {
    using R = std::invoke_result_t<F, BoardWorker&>;
    auto task = std::make_shared<std::packaged_task<R(BoardWorker&)>>(std::move(fn));
    auto result = task->get_future();
    post([task](BoardWorker& worker) { (*task)(worker); });
    return result;
  }

  const std::string& name() const { return name_; }
  const std::string& address() const { return address_; }
  bool connected() const { return connected_; }
  BoardStats& stats() { return stats_; }
  // Held by a VXI-11 link that asked for the board alone; the SCPI socket's lines wait for it.
  BoardLock& lock() { return lock_; }

  // ---- for jobs, on the worker thread only ---------------------------------------
  // The instance; throws ScpiError -241 while the board is not connected.
  void* instance();
  // Turns a library status into an error: 1 gives -240 (and, when the board no
  // longer answers, starts reconnecting), 2 gives -241, 3 -222, 5 -221. When
  // `conflict` is given, a status 1 from a board that still answers means the
  // library refused the request for that reason (-221).
  void check(const char* call, int32_t status, const char* conflict = nullptr);
  BoardSettings& settings() { return settings_; }
  // The in-process emulator behind a --sim board, else null.
  kestrel::sim::BoardEmulator* emulator() const { return emulator_; }

 private:
  void run();
  void attemptConnect();
  void markLost();
  bool stillAnswers();

  std::string name_;
  std::string address_;
  kestrel::sim::BoardEmulator* emulator_;
  void* instance_ = nullptr;
  BoardSettings settings_;
  BoardStats stats_;
  BoardLock lock_;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  bool stopping_ = false;
  std::thread thread_;

  std::atomic<bool> connected_{false};
  std::chrono::milliseconds backoff_{kFirstRetry};
  std::chrono::steady_clock::time_point nextAttempt_{};
};

}  // namespace kestreld
