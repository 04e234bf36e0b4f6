#include "transport/handover.h"

#include <cstring>
#include <new>

#include "codec/frame_header.h"

namespace scanlink::transport {
namespace {

constexpr size_t kMaxFrame = codec::kMaxFrame;
static_assert((Handover::kEntries & (Handover::kEntries - 1)) == 0, "entries wrap by mask");

}  // namespace

bool Handover::Init() {
  if (!entries_) entries_.reset(new (std::nothrow) Entry[kEntries]);
  if (!bytes_) bytes_.reset(new (std::nothrow) uint8_t[kBytes]);
  Clear();
  return entries_ && bytes_;
}

void Handover::Clear() {
  tail_.store(writeHead_, std::memory_order_relaxed);
  head_.store(writeHead_, std::memory_order_relaxed);
  headPos_.store(writePos_, std::memory_order_relaxed);
  draining_.store(false, std::memory_order_relaxed);
  roomWaiter_.store(nullptr, std::memory_order_relaxed);
}

uint64_t Handover::OldestPos(uint64_t tail) const {
  // An entry's bytes and everything after them are in use until it is delivered; with nothing
  // queued, nothing is.
  return tail == writeHead_ ? writePos_ : entries_[tail % kEntries].pos;
}

bool Handover::HasRoomForRead(size_t readSize) const {
  if (!entries_) return false;
  const uint64_t tail = tail_.load(std::memory_order_seq_cst);
  // A read completes at most one frame per header's worth of its bytes, plus one begun before
  // it; a frame that does not fit before the end of the byte ring starts over at its beginning,
  // leaving less than one frame unused.
  const uint64_t entries = readSize / codec::kHeaderSize + 1;
  const uint64_t bytes = readSize + 2 * kMaxFrame;
  return kEntries - (writeHead_ - tail) >= entries &&
         kBytes - (writePos_ - OldestPos(tail)) >= bytes;
}

bool Handover::PushFrame(const uint8_t* frame, size_t length) {
  if (!entries_ || length == 0 || length > kMaxFrame) return false;
  const uint64_t tail = tail_.load(std::memory_order_acquire);
  if (writeHead_ - tail >= kEntries) return false;
  uint64_t pos = writePos_;
  const uint64_t offset = pos % kBytes;
  if (offset + length > kBytes) pos += kBytes - offset;  // frames never wrap
  if (pos + length - OldestPos(tail) > kBytes) return false;
  std::memcpy(bytes_.get() + pos % kBytes, frame, length);
  entries_[writeHead_ % kEntries] = {Entry::Kind::kFrame, static_cast<uint32_t>(length), 0, pos};
  ++writeHead_;
  writePos_ = pos + length;
  return true;
}

bool Handover::PushReclaim(uint32_t generation) {
  if (!entries_ || writeHead_ - tail_.load(std::memory_order_acquire) >= kEntries) return false;
  entries_[writeHead_ % kEntries] = {Entry::Kind::kReclaim, 0, generation, writePos_};
  ++writeHead_;
  return true;
}

uint32_t Handover::Publish() {
  const uint64_t published = head_.load(std::memory_order_relaxed);
  if (writeHead_ != published) {
    headPos_.store(writePos_, std::memory_order_relaxed);
    // Paired with StopDraining and the re-check after it: either the drainer sees these entries,
    // or this sees that nobody drains and rings.
    head_.store(writeHead_, std::memory_order_seq_cst);
    if (!draining_.load(std::memory_order_seq_cst)) bell_.Ring();
  }
  return static_cast<uint32_t>(writeHead_ - tail_.load(std::memory_order_acquire));
}

bool Handover::HasRoomOrWake(platform::Event* wake, size_t readSize) {
  if (HasRoomForRead(readSize)) return true;
  roomWaiter_.store(wake, std::memory_order_seq_cst);
  // Paired with PopFront: either the consumer sees the waiter, or this sees what it delivered.
  if (!HasRoomForRead(readSize)) return false;
  platform::Event* expected = wake;
  roomWaiter_.compare_exchange_strong(expected, nullptr);
  return true;
}

void Handover::Forget(platform::Event* wake) {
  platform::LockGuard guard(producerMutex_);
  platform::Event* expected = wake;
  roomWaiter_.compare_exchange_strong(expected, nullptr);
}

uint32_t Handover::Count() const {
  return static_cast<uint32_t>(head_.load(std::memory_order_acquire) -
                               tail_.load(std::memory_order_acquire));
}

const Handover::Entry* Handover::Front() const {
  const uint64_t tail = tail_.load(std::memory_order_relaxed);
  if (tail == head_.load(std::memory_order_acquire)) return nullptr;
  return &entries_[tail % kEntries];
}

bool Handover::BelowHalf() const {
  const uint64_t head = head_.load(std::memory_order_acquire);
  const uint64_t tail = tail_.load(std::memory_order_relaxed);
  if (head == tail) return true;
  const uint64_t used = headPos_.load(std::memory_order_acquire) - entries_[tail % kEntries].pos;
  return head - tail <= kEntries / 2 && used <= kBytes / 2;
}

void Handover::PopFront() {
  tail_.store(tail_.load(std::memory_order_relaxed) + 1, std::memory_order_seq_cst);
  if (roomWaiter_.load(std::memory_order_seq_cst) == nullptr || !BelowHalf()) return;
  // Under the producers' mutex, so the listening thread cannot forget its event and end while
  // it is being set.
  platform::LockGuard guard(producerMutex_);
  if (platform::Event* wake = roomWaiter_.exchange(nullptr)) wake->Set();
}

}  // namespace scanlink::transport
