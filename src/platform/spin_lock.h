// Taking a lock another thread holds only briefly. Sleeping on it costs a context switch, and
// the holder's release a wake-up (several microseconds each on a virtual machine); a thread
// handing frames to another would pay both for nearly every frame while the stream is busy.
#pragma once

#include <mutex>

#include "platform/sync.h"

namespace scanlink::platform {

// Tries to take the lock a bounded number of times before sleeping on it. Costs nothing while
// the lock is free, and at most a few tens of microseconds when its holder is slow.
template <typename M>
UniqueLock<M> LockSpinning(M& m) {
  constexpr int kTries = 1000;
  for (int i = 0; i < kTries; ++i) {
    if (m.try_lock()) return UniqueLock<M>(m, std::adopt_lock);
  }
  return UniqueLock<M>(m);
}

}  // namespace scanlink::platform
