// Records and link events kept for an application that takes them when it likes (the C
// interface's pull functions) instead of being called. The session's threads put, never waiting
// for room: a full queue drops what arrives and counts it. An event is set while anything waits,
// for the application's own event loop.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/event.h"
#include "platform/sync.h"
#include "scanlink/scanlink_c.h"

namespace scanlink::client {

class PullQueue {
 public:
  static constexpr int kMaxRecords = 100000;
  static constexpr size_t kEventCapacity = 64;
  // kShut: nothing came before the session's close woke the wait.
  enum class Take { kTaken, kNone, kOff, kShut };

  // 0 switches queueing off and drops what waits; false when the ready event is missing.
  bool SetCapacity(int capacity);
  bool On() const;
  // False when the system refused the ready event: the session is not opened without it.
  bool HasReadyEvent() const { return ready_.Valid(); }

  // The session's threads.
  void PutRecord(const scanlink_record& record);
  void PutEvent(int event);

  // Takes the oldest record, waiting up to timeoutMs for one.
  Take TakeRecord(scanlink_record& out, int timeoutMs);
  // A copy of the record first in line (waiting as TakeRecord does), left in the queue; ticket
  // names it for TakeIfFirst, so a caller can work on the copy without holding the lock.
  Take PeekRecord(scanlink_record& out, uint64_t& ticket, int timeoutMs);
  // Takes the record first in line if it is still the one ticket names.
  bool TakeIfFirst(uint64_t ticket);
  Take TakeEvent(int& event, int timeoutMs);
  void Stats(scanlink_queue_stats& out);
  intptr_t WaitHandle();

  // Closing: waiters return at once, and Shut returns once no pull call is left.
  void Shut();

  // A pull call under way, counted from its start (not only once it sleeps): a close waits for
  // it to end before the session is freed. Not admitted once the queue is shut.
  class Call {
   public:
    explicit Call(PullQueue& queue) : queue_(queue) {
      platform::LockGuard guard(queue_.mutex_);
      admitted_ = !queue_.shut_;
      if (admitted_) ++queue_.waiters_;
    }
    ~Call() {
      if (!admitted_) return;
      platform::LockGuard guard(queue_.mutex_);
      --queue_.waiters_;
      queue_.changed_.notify_all();
    }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    bool Admitted() const { return admitted_; }

   private:
    PullQueue& queue_;
    bool admitted_ = false;
  };

 private:
  // Waits (lock held) until ready() or the time is up or the queue is shut.
  template <typename Ready>
  bool WaitFor(platform::UniqueLock<platform::Mutex>& lock, int timeoutMs, Ready&& ready);
  // Waits as TakeRecord does and copies the record first in line, leaving it there.
  Take CopyFirst(platform::UniqueLock<platform::Mutex>& lock, scanlink_record& out, int timeoutMs);
  void PopFirst();     // lock held
  void UpdateReady();  // lock held

  mutable platform::Mutex mutex_;
  platform::ConditionVariable changed_;
  platform::Event ready_;
  // Slots are allocated when first filled, so memory follows the most records ever waiting.
  std::vector<std::unique_ptr<scanlink_record>> ring_;
  size_t head_ = 0;
  size_t count_ = 0;
  uint64_t left_ = 0;  // records that have left the front: the ticket of the one first in line
  int events_[kEventCapacity] = {};
  size_t eventHead_ = 0;
  size_t eventCount_ = 0;
  uint64_t recordsDropped_ = 0;
  uint64_t eventsDropped_ = 0;
  uint64_t highWater_ = 0;
  int waiters_ = 0;  // pull calls under way (Call)
  bool shut_ = false;
  std::atomic<bool> on_{false};  // read without the lock on every record
};

template <typename Ready>
bool PullQueue::WaitFor(platform::UniqueLock<platform::Mutex>& lock, int timeoutMs, Ready&& ready) {
  if (ready() || timeoutMs <= 0 || shut_) return ready();
  // The caller is counted by its Call.
  changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return shut_ || ready(); });
  changed_.notify_all();  // Shut may wait for the last waiter
  return ready();
}

// Defined by the C interface: the record's JSON text, made through m (too large for a stack).
std::string RecordJsonText(const scanlink_record& record, bool stationsLoaded, CCmdManage& m);
// The queue of a session.
PullQueue& SessionQueue(scanlink_session* session);
// True when the session's station list is loaded (its TD cell verdicts mean something).
bool SessionStationsLoaded(scanlink_session* session);
// True on a thread running one of the session's handlers.
bool InSessionHandler(scanlink_session* session);
// True once scanlink_close has begun on the session.
bool SessionClosing(scanlink_session* session);
// True once the session was disconnected for good: nothing more arrives.
bool SessionDisconnected(scanlink_session* session);

}  // namespace scanlink::client
