// The latest status of every board, refreshed about once a second by a job on
// each board's worker, so that the event streams, the metrics and the page
// share one reading per second however many of them there are, and see what
// any client (SCPI included) changed through the settings view.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "board_json.h"

namespace kestreld {

class BoardWorker;

class StatusHub {
 public:
  static constexpr std::chrono::milliseconds kPeriod{1000};

  struct Snapshot {
    Json status;
    uint64_t version = 0;  // 0: nothing read yet
  };

  explicit StatusHub(const std::vector<BoardWorker*>& boards);
  ~StatusHub();
  StatusHub(const StatusHub&) = delete;
  StatusHub& operator=(const StatusHub&) = delete;

  void start();
  // Ends the polling and wakes every waiter; call before the workers stop.
  void stop();
  bool stopped() const;

  // A status read on the board's worker, for everyone to see at once.
  void publish(const std::string& board, Json status);
  Snapshot latest(const std::string& board) const;
  // The first snapshot newer than `seen`, or nullopt after `timeout` or stop().
  std::optional<Snapshot> waitNewer(const std::string& board, uint64_t seen, std::chrono::milliseconds timeout) const;

 private:
  struct Entry {
    BoardWorker* worker = nullptr;
    Snapshot snapshot;
    bool polling = false;  // a poll is queued or running: do not pile up behind a long job
  };

  void run();
  void pollAll();

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::map<std::string, Entry> boards_;
  uint64_t nextVersion_ = 1;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace kestreld
