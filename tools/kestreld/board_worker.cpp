#include "board_worker.h"

#include <algorithm>
#include <cstdio>

namespace kestreld {

BoardWorker::BoardWorker(std::string name, std::string address, kestrel::sim::BoardEmulator* emulator)
    : board_(std::move(name), std::move(address), emulator) {}

BoardWorker::~BoardWorker() { stop(); }

void BoardWorker::start() {
  reconnectDue_ = true;
  thread_ = std::thread([this] { run(); });
  threadId_ = thread_.get_id();
}

void BoardWorker::requestStop() {
  std::deque<QueuedJob> dropped;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    stopRequested_ = true;
    dropped.swap(jobs_);
  }
  io_.stop();  // the thread ends after the job running now, if any
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
  board_.disconnect();
  return true;
}

bool BoardWorker::post(Job job, std::shared_ptr<JobControl> control) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_ || jobs_.size() >= kMaxQueuedJobs) return false;
    jobs_.push_back({std::move(job), std::move(control)});
  }
  // A line read on the board's own thread is seen at its next turn; a job
  // from another thread wakes it when it waits for I/O.
  if (std::this_thread::get_id() != threadId_.load()) asio::post(io_, [] {});
  return true;
}

void BoardWorker::postFirst(Job job) {
  std::lock_guard lock(mutex_);
  if (!stopping_) jobs_.push_front({std::move(job), nullptr});
}

void BoardWorker::serveWaitingIO() {
  if (!inJob_) return;
  io_.poll();
  ioWaitingSince_ = Clock::now();
}

BoardWorker::Clock::time_point BoardWorker::arrivedAfter() const { return std::min(Clock::now(), ioWaitingSince_); }

StateStore& BoardWorker::states() {
  if (!states_) throw BoardError(BoardFault::Unusable, "saved states are off: start kestreld with --state-dir");
  return *states_;
}

BoardSettings BoardWorker::view() const {
  std::lock_guard lock(mutex_);
  return published_;
}

void BoardWorker::run() {
  const auto busy = asio::make_work_guard(io_);
  while (!stopRequested_) {
    try {
      turn();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "kestreld: board %s: %s\n", name().c_str(), e.what());
    }
  }
  std::lock_guard lock(mutex_);
  threadDone_ = true;
  finished_.notify_all();
}

// A connect, or a round of the jobs that wait now, then the I/O that came
// meanwhile (new lines queue behind the round); with neither to do, the next
// I/O. Taking the I/O once a round rather than once a job saves a system
// call a line when many clients keep the board busy, and keeps their order.
void BoardWorker::turn() {
  if (reconnectDue_) {
    ioWaitingSince_ = Clock::now();
    attemptConnect();
  } else if (size_t round = waitingJobs(); round > 0) {
    ioWaitingSince_ = Clock::now();
    while (round-- > 0 && !stopRequested_) runNext();
  } else {
    ioWaitingSince_ = Clock::time_point::max();
    io_.run_one();
    return;
  }
  io_.poll();
}

size_t BoardWorker::waitingJobs() const {
  std::lock_guard lock(mutex_);
  return jobs_.size();
}

bool BoardWorker::runNext() {
  QueuedJob queued;
  {
    std::lock_guard lock(mutex_);
    if (jobs_.empty()) return false;
    queued = std::move(jobs_.front());
    jobs_.pop_front();
  }
  runJob(queued);
  afterWork();
  return true;
}

void BoardWorker::runJob(QueuedJob& queued) {
  if (queued.control && !queued.control->begin()) return;  // withdrawn while it waited
  const auto begin = Clock::now();
  inJob_ = true;
  try {
    queued.job(*this);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kestreld: board %s: a request failed: %s\n", name().c_str(), e.what());
  }
  inJob_ = false;
  stats_.observe(std::chrono::duration<double>(Clock::now() - begin).count());
}

// The view for other threads, and a reconnection when the job lost the board.
void BoardWorker::afterWork() {
  {
    std::lock_guard lock(mutex_);
    published_ = board_.view();
  }
  if (!board_.connected() && !reconnectPending_) {
    backoff_ = kFirstRetry;
    scheduleReconnect();
  }
}

void BoardWorker::attemptConnect() {
  reconnectDue_ = false;
  if (stopRequested_ || board_.connected()) return;
  if (board_.connect()) {
    backoff_ = kFirstRetry;
    afterWork();
    return;
  }
  scheduleReconnect();
}

void BoardWorker::scheduleReconnect() {
  if (reconnectPending_) return;
  reconnectPending_ = true;
  reconnect_.expires_after(backoff_);
  backoff_ = std::min(backoff_ * 2, std::chrono::milliseconds(kLastRetry));
  reconnect_.async_wait([this](const asio::error_code& error) {
    reconnectPending_ = false;
    reconnectDue_ = !error;
  });
}

}  // namespace kestreld
