#include "board_lock.h"

namespace kestreld {

bool BoardLock::tryAcquire(Owner who) {
  std::lock_guard guard(mutex_);
  if (owner_ != kNobody) return false;
  owner_ = who;
  return true;
}

bool BoardLock::release(Owner who) {
  std::vector<std::function<void()>> woken;
  {
    std::lock_guard guard(mutex_);
    if (who == kNobody || owner_ != who) return false;
    owner_ = kNobody;
    woken.swap(waiters_);
  }
  // Outside the mutex: a waiter may look at the lock again at once.
  for (auto& resume : woken) resume();
  return true;
}

BoardLock::Owner BoardLock::owner() const {
  std::lock_guard guard(mutex_);
  return owner_;
}

bool BoardLock::heldByOther(Owner who) const {
  const Owner current = owner();
  return current != kNobody && current != who;
}

void BoardLock::whenFree(std::function<void()> resume) {
  {
    std::lock_guard guard(mutex_);
    if (owner_ != kNobody) {
      waiters_.push_back(std::move(resume));
      return;
    }
  }
  resume();
}

}  // namespace kestreld
