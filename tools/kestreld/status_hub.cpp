#include "status_hub.h"

#include "board_worker.h"

namespace kestreld {

StatusHub::StatusHub(const std::vector<BoardWorker*>& boards) {
  for (BoardWorker* worker : boards) boards_[worker->name()].worker = worker;
}

StatusHub::~StatusHub() { stop(); }

void StatusHub::start() {
  thread_ = std::thread([this] { run(); });
}

void StatusHub::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool StatusHub::stopped() const {
  std::lock_guard lock(mutex_);
  return stopping_;
}

void StatusHub::run() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    lock.unlock();
    pollAll();
    lock.lock();
    changed_.wait_for(lock, kPeriod, [this] { return stopping_; });
  }
}

void StatusHub::pollAll() {
  std::vector<BoardWorker*> due;
  {
    std::lock_guard lock(mutex_);
    for (auto& [name, entry] : boards_) {
      if (entry.polling) continue;
      entry.polling = true;
      due.push_back(entry.worker);
    }
  }
  for (BoardWorker* worker : due) {
    const bool queued = worker->post([this](BoardWorker& board) {
      publish(board.name(), boardStatus(board.board()));
      std::lock_guard lock(mutex_);
      boards_[board.name()].polling = false;
    });
    if (!queued) {  // a full queue: the next period tries again
      std::lock_guard lock(mutex_);
      boards_[worker->name()].polling = false;
    }
  }
}

void StatusHub::publish(const std::string& board, Json status) {
  {
    std::lock_guard lock(mutex_);
    auto it = boards_.find(board);
    if (it == boards_.end()) return;
    it->second.snapshot = {std::move(status), nextVersion_++};
  }
  changed_.notify_all();
}

StatusHub::Snapshot StatusHub::latest(const std::string& board) const {
  std::lock_guard lock(mutex_);
  auto it = boards_.find(board);
  return it == boards_.end() ? Snapshot{} : it->second.snapshot;
}

std::optional<StatusHub::Snapshot> StatusHub::waitNewer(const std::string& board, uint64_t seen,
                                                        std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  auto it = boards_.find(board);
  if (it == boards_.end()) return std::nullopt;
  const Entry& entry = it->second;
  const bool fresh = changed_.wait_for(lock, timeout, [&] { return stopping_ || entry.snapshot.version > seen; });
  if (!fresh || stopping_) return std::nullopt;
  return entry.snapshot;
}

}  // namespace kestreld
