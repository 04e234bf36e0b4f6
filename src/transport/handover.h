// The hand-over of received frames from the listening thread to delivery: a bounded ring of
// entries over a ring of bytes, both allocated once per session. Entries leave in the order they
// came. Producers (the listening thread, and a reaped link's reclaim mark) hold producerMutex(),
// which is never held while waiting for the session lock; the consumer side is used only with
// the session lock held, so one consumer at a time. A full ring refuses an entry, it never
// overwrites one: the listening thread asks HasRoomForRead() before it reads.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/event.h"
#include "platform/sync.h"

namespace scanlink::transport {

class Handover {
 public:
  struct Entry {
    enum class Kind : uint8_t {
      kFrame,    // length bytes of one whole frame, from pos in the byte ring
      kReclaim,  // no frame: requests still open on links up to generation are freed
    };
    Kind kind;
    uint32_t length;
    uint32_t generation;
    uint64_t pos;  // byte position, counted from the start and never wrapped
  };

  static constexpr uint32_t kEntries = 4096;
  static constexpr uint32_t kBytes = 512 * 1024;

  Handover() = default;
  Handover(const Handover&) = delete;
  Handover& operator=(const Handover&) = delete;

  // Allocates the rings once and empties them; false when the memory was refused. Neither side
  // may be running.
  bool Init();
  bool Allocated() const { return entries_ && bytes_; }
  // Forgets every entry; neither side may be running.
  void Clear();

  // ---- producer side, under producerMutex() (Forget takes it itself) ----
  platform::Mutex& producerMutex() { return producerMutex_; }
  // Room for every frame one read of readSize bytes can complete (a frame begun by an earlier
  // read included).
  bool HasRoomForRead(size_t readSize) const;
  // False, nothing queued, when the ring is full or the frame is larger than a frame can be.
  bool PushFrame(const uint8_t* frame, size_t length);
  bool PushReclaim(uint32_t generation);
  // Makes the entries pushed so far visible to the consumer and rings unless a consumer is
  // already draining. Returns the number of entries waiting.
  uint32_t Publish();
  // True when there is room for a read; otherwise the consumer sets wake once the ring has
  // drained to half. Forget(wake) before wake is destroyed.
  bool HasRoomOrWake(platform::Event* wake, size_t readSize);
  void Forget(platform::Event* wake);

  // ---- consumer side, under the session lock ----
  bool Empty() const {
    return head_.load(std::memory_order_acquire) == tail_.load(std::memory_order_relaxed);
  }
  uint32_t Count() const;
  // The oldest entry, or null; stays valid until PopFront.
  const Entry* Front() const;
  const uint8_t* Bytes(const Entry& e) const { return bytes_.get() + e.pos % kBytes; }
  void PopFront();

  // ---- who delivers: one drainer at a time, the others sleep on the doorbell ----
  uint32_t Ticket() const { return bell_.Ticket(); }
  void Wait(uint32_t ticket) const { bell_.Wait(ticket); }
  bool TryStartDraining() { return !draining_.exchange(true, std::memory_order_acq_rel); }
  // After it, a drainer that sees entries left must drain again: a producer that published
  // while it drained did not ring.
  void StopDraining() { draining_.store(false, std::memory_order_seq_cst); }
  bool EmptyNow() const {
    return head_.load(std::memory_order_seq_cst) == tail_.load(std::memory_order_relaxed);
  }
  // Every sleeper wakes (to see its stop event).
  void WakeAll() { bell_.RingAll(); }

 private:
  uint64_t OldestPos(uint64_t tail) const;
  bool BelowHalf() const;

  std::unique_ptr<Entry[]> entries_;
  std::unique_ptr<uint8_t[]> bytes_;
  platform::Mutex producerMutex_;
  // Entries are numbered from the start; a number's slot is number % kEntries.
  std::atomic<uint64_t> head_{0};     // published entries
  std::atomic<uint64_t> tail_{0};     // entries delivered
  std::atomic<uint64_t> headPos_{0};  // byte position after the published entries
  uint64_t writeHead_ = 0;            // producer's: entries pushed, published or not
  uint64_t writePos_ = 0;             // producer's: byte position of the next frame
  std::atomic<bool> draining_{false};
  std::atomic<platform::Event*> roomWaiter_{nullptr};
  platform::Doorbell bell_;
};

}  // namespace scanlink::transport
