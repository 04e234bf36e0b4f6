// The C interface without callbacks: records and link events taken from the session's queue,
// and a handle for the application's event loop.
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "client/c_guard.h"
#include "client/pull_queue.h"
#include "codec/codec.h"
#include "platform/clock.h"
#include "scanlink/scanlink_c.h"

namespace scanlink::client {

bool PullQueue::SetCapacity(int capacity) {
  if (capacity > 0 && !ready_.Valid()) return false;
  std::vector<std::unique_ptr<scanlink_record>> ring;
  ring.resize(static_cast<size_t>(capacity));
  platform::LockGuard guard(mutex_);
  // What waits moves over, oldest first, as far as it fits; the rest counts as dropped.
  size_t kept = 0;
  for (; kept < count_ && kept < ring.size(); ++kept) {
    ring[kept] = std::move(ring_[(head_ + kept) % ring_.size()]);
  }
  recordsDropped_ += count_ - kept;
  if (kept == 0) left_ += count_;  // the first in line went too
  ring_.swap(ring);
  head_ = 0;
  count_ = kept;
  if (ring_.empty()) eventCount_ = 0;
  on_.store(!ring_.empty(), std::memory_order_relaxed);
  UpdateReady();
  changed_.notify_all();
  return true;
}

bool PullQueue::On() const { return on_.load(std::memory_order_relaxed); }

void PullQueue::PutRecord(const scanlink_record& record) {
  if (!On()) return;
  platform::LockGuard guard(mutex_);
  if (ring_.empty()) return;
  if (count_ == ring_.size()) {
    ++recordsDropped_;
    return;
  }
  std::unique_ptr<scanlink_record>& slot = ring_[(head_ + count_) % ring_.size()];
  if (!slot) slot.reset(new (std::nothrow) scanlink_record);
  if (!slot) {
    ++recordsDropped_;
    return;
  }
  *slot = record;
  ++count_;
  if (count_ > highWater_) highWater_ = count_;
  UpdateReady();
  changed_.notify_all();
}

void PullQueue::PutEvent(int event) {
  if (!On()) return;
  platform::LockGuard guard(mutex_);
  if (ring_.empty()) return;
  if (eventCount_ == kEventCapacity) {
    ++eventsDropped_;
    return;
  }
  events_[(eventHead_ + eventCount_) % kEventCapacity] = event;
  ++eventCount_;
  UpdateReady();
  changed_.notify_all();
}

PullQueue::Take PullQueue::CopyFirst(platform::UniqueLock<platform::Mutex>& lock,
                                     scanlink_record& out, int timeoutMs) {
  if (ring_.empty()) return Take::kOff;
  if (!WaitFor(lock, timeoutMs, [&] { return count_ > 0; })) {
    return shut_ ? Take::kShut : Take::kNone;
  }
  if (ring_.empty()) return Take::kOff;
  out = *ring_[head_];
  return Take::kTaken;
}

void PullQueue::PopFirst() {
  head_ = (head_ + 1) % ring_.size();
  --count_;
  ++left_;
  UpdateReady();
}

PullQueue::Take PullQueue::TakeRecord(scanlink_record& out, int timeoutMs) {
  platform::UniqueLock<platform::Mutex> lock(mutex_);
  const Take take = CopyFirst(lock, out, timeoutMs);
  if (take == Take::kTaken) PopFirst();
  return take;
}

PullQueue::Take PullQueue::PeekRecord(scanlink_record& out, uint64_t& ticket, int timeoutMs) {
  platform::UniqueLock<platform::Mutex> lock(mutex_);
  const Take take = CopyFirst(lock, out, timeoutMs);
  if (take == Take::kTaken) ticket = left_;
  return take;
}

bool PullQueue::TakeIfFirst(uint64_t ticket) {
  platform::LockGuard guard(mutex_);
  if (ring_.empty() || count_ == 0 || left_ != ticket) return false;
  PopFirst();
  return true;
}

PullQueue::Take PullQueue::TakeEvent(int& event, int timeoutMs) {
  platform::UniqueLock<platform::Mutex> lock(mutex_);
  if (ring_.empty()) return Take::kOff;
  if (!WaitFor(lock, timeoutMs, [&] { return eventCount_ > 0; })) {
    return shut_ ? Take::kShut : Take::kNone;
  }
  event = events_[eventHead_];
  eventHead_ = (eventHead_ + 1) % kEventCapacity;
  --eventCount_;
  UpdateReady();
  return Take::kTaken;
}

void PullQueue::Stats(scanlink_queue_stats& out) {
  platform::LockGuard guard(mutex_);
  out.records_waiting = count_;
  out.records_dropped = recordsDropped_;
  out.events_waiting = eventCount_;
  out.events_dropped = eventsDropped_;
  out.records_high_water = highWater_;
}

intptr_t PullQueue::WaitHandle() { return ready_.Valid() ? ready_.Native() : -1; }

void PullQueue::UpdateReady() {
  if (count_ > 0 || eventCount_ > 0) {
    ready_.Set();
  } else {
    ready_.Reset();
  }
}

void PullQueue::Shut() {
  platform::UniqueLock<platform::Mutex> lock(mutex_);
  shut_ = true;
  changed_.notify_all();
  changed_.wait(lock, [&] { return waiters_ == 0; });
}

}  // namespace scanlink::client

using scanlink::client::PullQueue;
using scanlink::client::capi::Fail;
using scanlink::client::capi::Guarded;
using scanlink::client::capi::GuardedStatus;
using scanlink::client::capi::Refuse;
using scanlink::client::capi::SessionStatus;

namespace {

// Timeouts are milliseconds, 0 (no wait) up to ten minutes: every wait has an end.
constexpr int kMaxTimeoutMs = 600000;

bool ValidTimeout(int timeoutMs) { return timeoutMs >= 0 && timeoutMs <= kMaxTimeoutMs; }

// The fields scanlink_read_queue_stats had when it was added: it writes no more than those.
constexpr size_t kQueueStatsFirstSize =
    offsetof(scanlink_queue_stats, records_high_water) + sizeof(uint64_t);

// The refusals every pull function shares (SCANLINK_OK: go ahead), and the wait it may do.
// ended: the session was disconnected before the take, so nothing more will arrive.
int Refusal(scanlink_session* s, int& timeoutMs, bool& ended) {
  if (s == nullptr) return SCANLINK_ERR_SESSION;
  if (!ValidTimeout(timeoutMs)) return SCANLINK_ERR_ARGUMENT;
  // The queue is shut: its close has begun.
  if (scanlink::client::SessionClosing(s)) return SCANLINK_ERR_CLOSED;
  // A handler waiting here would hold up the very deliveries it waits for.
  if (timeoutMs > 0 && scanlink::client::InSessionHandler(s)) return SCANLINK_ERR_IN_HANDLER;
  // What waits is still taken, and an empty queue says so at once.
  ended = scanlink::client::SessionDisconnected(s);
  if (ended) timeoutMs = 0;
  return SCANLINK_OK;
}

// The result of a take: 1 taken, 0 none. It must not touch the session: once a wait has ended,
// a close it woke may already have freed it.
int Result(PullQueue::Take take, bool ended) {
  switch (take) {
    case PullQueue::Take::kTaken:
      return 1;
    case PullQueue::Take::kNone:
      return ended ? Fail(SCANLINK_ERR_CLOSED, 0) : 0;
    case PullQueue::Take::kShut:
      return Fail(SCANLINK_ERR_CLOSED, 0);
    default:
      return Refuse(SCANLINK_ERR_ARGUMENT);  // no queue
  }
}

// One pull call: counted while it runs, refused as Refusal says, then take(timeout, ended).
template <typename Take>
int Pull(scanlink_session* s, int timeoutMs, Take&& take) {
  return SessionStatus(s, [&]() -> int {
    const PullQueue::Call call(scanlink::client::SessionQueue(s));
    if (!call.Admitted()) return Refuse(SCANLINK_ERR_CLOSED);
    bool ended = false;
    if (const int refused = Refusal(s, timeoutMs, ended)) return Fail(refused, refused);
    return take(timeoutMs, ended);
  });
}

int ReadQueueStats(scanlink_session* s, scanlink_queue_stats* stats, size_t size) {
  if (stats == nullptr || size < kQueueStatsFirstSize) return Refuse(SCANLINK_ERR_ARGUMENT);
  scanlink_queue_stats all{};
  scanlink::client::SessionQueue(s).Stats(all);
  scanlink::client::capi::CopySized(stats, all, size);
  return SCANLINK_OK;
}

}  // namespace

extern "C" {

int scanlink_set_queue(scanlink_session* s, int capacity) {
  return SessionStatus(s, [&]() -> int {
    if (scanlink::client::SessionClosing(s)) return Refuse(SCANLINK_ERR_CLOSED);
    if (capacity < 0 || capacity > PullQueue::kMaxRecords) {
      return Refuse(SCANLINK_ERR_ARGUMENT);
    }
    if (!scanlink::client::SessionQueue(s).SetCapacity(capacity)) {
      return Refuse(SCANLINK_ERR_RESOURCES);
    }
    return SCANLINK_OK;
  });
}

int scanlink_next_record(scanlink_session* s, scanlink_record* record, int timeout_ms) {
  return Pull(s, timeout_ms, [&](int wait_ms, bool ended) -> int {
    if (record == nullptr) return Refuse(SCANLINK_ERR_ARGUMENT);
    return Result(scanlink::client::SessionQueue(s).TakeRecord(*record, wait_ms), ended);
  });
}

int scanlink_next_record_json(scanlink_session* s, char* buffer, size_t size, int timeout_ms) {
  return Pull(s, timeout_ms, [&](int wait_ms, bool ended) -> int {
    if (buffer == nullptr && size > 0) return Refuse(SCANLINK_ERR_ARGUMENT);
    const bool stations = scanlink::client::SessionStationsLoaded(s);
    PullQueue& queue = scanlink::client::SessionQueue(s);
    auto record = std::make_unique<scanlink_record>();
    auto m = std::make_unique<CCmdManage>();
    const uint64_t deadline = scanlink::platform::TickMs() + static_cast<uint64_t>(wait_ms);
    for (;;) {
      // Rendered from a copy outside the queue's lock, so the session's threads never wait for
      // it; taken only if it fits, so a buffer too small leaves the record where it is.
      uint64_t ticket = 0;
      const PullQueue::Take take = queue.PeekRecord(*record, ticket, wait_ms);
      if (take != PullQueue::Take::kTaken) return Result(take, ended);
      const std::string text = scanlink::client::RecordJsonText(*record, stations, *m);
      if (text.size() >= size) return static_cast<int>(text.size());
      if (queue.TakeIfFirst(ticket)) {
        std::memcpy(buffer, text.data(), text.size());
        buffer[text.size()] = '\0';
        return static_cast<int>(text.size());
      }
      // Another caller took it meanwhile: the next one, in what is left of the wait.
      const uint64_t now = scanlink::platform::TickMs();
      wait_ms = now < deadline ? static_cast<int>(deadline - now) : 0;
    }
  });
}

int scanlink_next_link_event(scanlink_session* s, int timeout_ms) {
  return Pull(s, timeout_ms, [&](int wait_ms, bool ended) -> int {
    int event = 0;
    const PullQueue::Take take = scanlink::client::SessionQueue(s).TakeEvent(event, wait_ms);
    return take == PullQueue::Take::kTaken ? event : Result(take, ended);
  });
}

int scanlink_read_queue_stats(scanlink_session* s, scanlink_queue_stats* stats) {
  return SessionStatus(s, [&] { return ReadQueueStats(s, stats, kQueueStatsFirstSize); });
}

int scanlink_read_queue_stats_sized(scanlink_session* s, scanlink_queue_stats* stats, size_t size) {
  return SessionStatus(s, [&] { return ReadQueueStats(s, stats, size); });
}

intptr_t scanlink_wait_handle(scanlink_session* s) {
  return Guarded<intptr_t>(-1, [&]() -> intptr_t {
    if (s == nullptr) return Fail(SCANLINK_ERR_SESSION, -1);
    const intptr_t handle = scanlink::client::SessionQueue(s).WaitHandle();
    return handle != -1 ? handle : Fail(SCANLINK_ERR_RESOURCES, -1);
  });
}

}  // extern "C"
