// Locks and condition variables of the library, behind our own names so the rest of the code
// never includes a threading header of the system.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace scanlink::platform {

using Mutex = std::mutex;
using LockGuard = std::lock_guard<std::mutex>;
using ConditionVariable = std::condition_variable;

// A re-entrant lock that knows its owner, so teardown can tell whether it may wait for threads
// that need the lock.
class RecursiveMutex {
 public:
  void lock() {
    const auto self = std::this_thread::get_id();
    if (owner_.load(std::memory_order_relaxed) == self) {
      ++depth_;
      return;
    }
    mutex_.lock();
    owner_.store(self, std::memory_order_relaxed);
    depth_ = 1;
  }
  bool try_lock() {
    const auto self = std::this_thread::get_id();
    if (owner_.load(std::memory_order_relaxed) == self) {
      ++depth_;
      return true;
    }
    if (!mutex_.try_lock()) return false;
    owner_.store(self, std::memory_order_relaxed);
    depth_ = 1;
    return true;
  }
  void unlock() {
    if (--depth_ == 0) {
      owner_.store(std::thread::id(), std::memory_order_relaxed);
      mutex_.unlock();
    }
  }
  bool held_by_me() const {
    return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
  }

 private:
  std::mutex mutex_;
  std::atomic<std::thread::id> owner_{};
  int depth_ = 0;
};

template <typename M>
using UniqueLock = std::unique_lock<M>;

template <typename M>
class ScopedLock {
 public:
  explicit ScopedLock(M& m) : m_(m) { m_.lock(); }
  ~ScopedLock() { m_.unlock(); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  M& m_;
};

// Wakes sleepers when something they wait for may have changed. A sleeper takes a ticket while
// it still sees nothing to do, and sleeps only while no ring came after its ticket.
#if defined(_WIN32)
// The atomic wait of the Windows C++ runtimes cannot be trusted with every wake-up (one checks
// and then sleeps without checking again under its lock): here the ring is counted under the
// system's own lock, and the sleeper checks under it before every sleep.
class Doorbell {
 public:
  Doorbell();
  Doorbell(const Doorbell&) = delete;
  Doorbell& operator=(const Doorbell&) = delete;
  uint32_t Ticket() const { return seq_.load(std::memory_order_acquire); }
  void Wait(uint32_t ticket) const;
  void Ring();
  void RingAll();

 private:
  std::atomic<uint32_t> seq_{0};
  // A slim reader/writer lock and a condition variable of the system, one pointer each; both
  // need no clean-up.
  alignas(void*) mutable unsigned char lock_[sizeof(void*)];
  alignas(void*) mutable unsigned char cond_[sizeof(void*)];
};
#else
// The atomic wait rests on the futex, which compares and sleeps in one step.
class Doorbell {
 public:
  uint32_t Ticket() const { return seq_.load(std::memory_order_acquire); }
  void Wait(uint32_t ticket) const { seq_.wait(ticket, std::memory_order_acquire); }
  void Ring() {
    seq_.fetch_add(1, std::memory_order_release);
    seq_.notify_one();
  }
  void RingAll() {
    seq_.fetch_add(1, std::memory_order_release);
    seq_.notify_all();
  }

 private:
  std::atomic<uint32_t> seq_{0};
};
#endif

}  // namespace scanlink::platform
