// The C interface without callbacks: records and link events taken from the session's queue,
// and a handle for the application's event loop.
#include <cstring>
#include <new>
#include <string>

#include "client/pull_queue.h"
#include "codec/codec.h"
#include "codec/record_json.h"
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

PullQueue::Take PullQueue::TakeEvent(int& event, int timeoutMs) {
  platform::UniqueLock<platform::Mutex> lock(mutex_);
  if (ring_.empty()) return Take::kOff;
  if (!WaitFor(lock, timeoutMs, [&] { return eventCount_ > 0; })) return Take::kNone;
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

namespace {

// Timeouts are milliseconds, 0 (no wait) up to ten minutes: every wait has an end.
constexpr int kMaxTimeoutMs = 600000;

bool ValidTimeout(int timeoutMs) { return timeoutMs >= 0 && timeoutMs <= kMaxTimeoutMs; }

int Result(PullQueue::Take take) {
  switch (take) {
    case PullQueue::Take::kTaken:
      return 1;
    case PullQueue::Take::kNone:
      return 0;
    default:
      return SCANLINK_ERR_ARGUMENT;
  }
}

}  // namespace

extern "C" {

int scanlink_set_queue(scanlink_session* s, int capacity) {
  if (s == nullptr) return SCANLINK_ERR_SESSION;
  if (capacity < 0 || capacity > PullQueue::kMaxRecords) return SCANLINK_ERR_ARGUMENT;
  try {
    if (!scanlink::client::SessionQueue(s).SetCapacity(capacity)) return SCANLINK_ERR_RESOURCES;
  } catch (const std::bad_alloc&) {
    return SCANLINK_ERR_RESOURCES;
  }
  return SCANLINK_OK;
}

int scanlink_next_record(scanlink_session* s, scanlink_record* record, int timeout_ms) {
  if (s == nullptr) return SCANLINK_ERR_SESSION;
  if (record == nullptr || !ValidTimeout(timeout_ms)) return SCANLINK_ERR_ARGUMENT;
  // A handler waiting here would hold up the very deliveries it waits for.
  if (timeout_ms > 0 && scanlink::client::InSessionHandler(s)) return SCANLINK_ERR_IN_HANDLER;
  return Result(scanlink::client::SessionQueue(s).TakeRecord(
      *record, timeout_ms, [](const scanlink_record&) { return true; }));
}

int scanlink_next_record_json(scanlink_session* s, char* buffer, size_t size, int timeout_ms) {
  if (s == nullptr) return SCANLINK_ERR_SESSION;
  if ((buffer == nullptr && size > 0) || !ValidTimeout(timeout_ms)) return SCANLINK_ERR_ARGUMENT;
  if (timeout_ms > 0 && scanlink::client::InSessionHandler(s)) return SCANLINK_ERR_IN_HANDLER;
  const bool stations = scanlink::client::SessionStationsLoaded(s);
  std::string text;
  std::unique_ptr<scanlink_record> record(new (std::nothrow) scanlink_record);
  std::unique_ptr<CCmdManage> m(new (std::nothrow) CCmdManage);
  if (!record || !m) return SCANLINK_ERR_RESOURCES;
  try {
    // Rendered while first in line, so a buffer too small leaves the record where it is.
    const PullQueue::Take take = scanlink::client::SessionQueue(s).TakeRecord(
        *record, timeout_ms, [&](const scanlink_record& first) {
          m->nCode = first.code;
          m->nTransID = first.trans_id;
          m->nLength = first.length;
          std::memcpy(&m->body, &first.body, sizeof m->body);
          text = scanlink::codec::RecordJson(*m, stations);
          return text.size() < size;
        });
    if (take == PullQueue::Take::kTooSmall) return static_cast<int>(text.size());
    if (take != PullQueue::Take::kTaken) return Result(take);
  } catch (const std::bad_alloc&) {
    return SCANLINK_ERR_RESOURCES;
  }
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  return static_cast<int>(text.size());
}

int scanlink_next_link_event(scanlink_session* s, int timeout_ms) {
  if (s == nullptr) return SCANLINK_ERR_SESSION;
  if (!ValidTimeout(timeout_ms)) return SCANLINK_ERR_ARGUMENT;
  if (timeout_ms > 0 && scanlink::client::InSessionHandler(s)) return SCANLINK_ERR_IN_HANDLER;
  int event = 0;
  const PullQueue::Take take = scanlink::client::SessionQueue(s).TakeEvent(event, timeout_ms);
  return take == PullQueue::Take::kTaken ? event : Result(take);
}

int scanlink_read_queue_stats(scanlink_session* s, scanlink_queue_stats* stats) {
  if (s == nullptr) return SCANLINK_ERR_SESSION;
  if (stats == nullptr) return SCANLINK_ERR_ARGUMENT;
  scanlink::client::SessionQueue(s).Stats(*stats);
  return SCANLINK_OK;
}

intptr_t scanlink_wait_handle(scanlink_session* s) {
  if (s == nullptr) return -1;
  return scanlink::client::SessionQueue(s).WaitHandle();
}

}  // extern "C"
