// The exclusive lock a VXI-11 link can take on a board. The link that holds
// it is the board's only client: other links get "device locked" (or wait
// for it, when they ask to), and the raw SCPI socket's clients wait before
// their next line until the lock is released. Taken and released on the
// VXI-11 thread; read and waited on from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace kestreld {

class BoardLock {
 public:
  using Owner = uint64_t;  // a VXI-11 link id; never 0
  static constexpr Owner kNobody = 0;

  // True when the lock was free and is now `who`'s.
  bool tryAcquire(Owner who);
  // Frees the lock when `who` holds it and wakes every waiter; false when it did not.
  bool release(Owner who);
  Owner owner() const;
  bool heldByOther(Owner who) const;
  bool locked() const { return owner() != kNobody; }

  // Runs `resume` once the lock is free: at once when it already is, else on
  // the thread that releases it. It must not block.
  void whenFree(std::function<void()> resume);

 private:
  mutable std::mutex mutex_;
  Owner owner_ = kNobody;
  std::vector<std::function<void()>> waiters_;
};

}  // namespace kestreld
