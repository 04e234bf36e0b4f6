// The hand-over ring: arrival order over many wraps, room for any read whenever it says so, a
// full ring refusing rather than overwriting, and one producer against draining consumers.
#include "transport/handover.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "codec/frame_header.h"

namespace scanlink::transport {
namespace {

constexpr size_t kRead = 4096;

// A frame of length bytes whose bytes all carry n.
std::vector<uint8_t> FrameOf(size_t length, uint32_t n) {
  return std::vector<uint8_t>(length, static_cast<uint8_t>(n * 7 + 1));
}

// Pops one entry and checks it is frame n of length bytes.
void ExpectFront(Handover& h, size_t length, uint32_t n) {
  const Handover::Entry* e = h.Front();
  ASSERT_NE(e, nullptr);
  ASSERT_EQ(e->kind, Handover::Entry::Kind::kFrame);
  ASSERT_EQ(e->length, length);
  EXPECT_EQ(FrameOf(length, n), std::vector<uint8_t>(h.Bytes(*e), h.Bytes(*e) + length)) << n;
  h.PopFront();
}

// While it says there is room, every frame one read can complete fits, whatever their sizes:
// many smallest frames, or largest ones that leave the end of the byte ring unused.
TEST(HandoverTest, RoomForAReadHoldsEveryFrameOfItInOrderAcrossWraps) {
  const size_t patterns[] = {codec::kHeaderSize, codec::kMaxFrame, 588, 1333};
  Handover h;
  ASSERT_TRUE(h.Init());
  uint32_t pushed = 0;
  uint32_t popped = 0;
  size_t bytes = 0;
  std::vector<size_t> lengths;
  for (int round = 0; round < 400; ++round) {
    const size_t length = patterns[round % 4];
    while (h.HasRoomForRead(kRead)) {
      // What one read completes: its own bytes and the rest of a frame begun before it.
      for (size_t i = 0; i < (kRead + length - 1) / length; ++i) {
        const std::vector<uint8_t> f = FrameOf(length, pushed);
        ASSERT_TRUE(h.PushFrame(f.data(), f.size())) << "round " << round << " frame " << pushed;
        lengths.push_back(length);
        bytes += length;
        ++pushed;
      }
      if (round % 7 == 0) {
        ASSERT_TRUE(h.PushReclaim(static_cast<uint32_t>(round)));
      }
      h.Publish();
    }
    // Drain a part, so the next round starts at another place in the rings.
    const uint32_t keep = static_cast<uint32_t>(round % 5) * 40;
    while (h.Count() > keep) {
      if (h.Front()->kind == Handover::Entry::Kind::kReclaim) {
        EXPECT_EQ(h.Front()->generation % 7, 0u);
        h.PopFront();
        continue;
      }
      ASSERT_NO_FATAL_FAILURE(ExpectFront(h, lengths[popped], popped));
      ++popped;
    }
  }
  EXPECT_GT(bytes, 10u * Handover::kBytes);
}

TEST(HandoverTest, AFullRingRefusesAndKeepsWhatItHolds) {
  Handover h;
  ASSERT_TRUE(h.Init());
  const std::vector<uint8_t> big = FrameOf(codec::kMaxFrame, 1);
  uint32_t n = 0;
  while (h.PushFrame(big.data(), big.size())) ++n;
  EXPECT_EQ(n, Handover::kBytes / codec::kMaxFrame);
  EXPECT_FALSE(h.HasRoomForRead(kRead));
  const std::vector<uint8_t> tooLong = FrameOf(codec::kMaxFrame + 1, 1);
  h.Clear();
  EXPECT_FALSE(h.PushFrame(tooLong.data(), tooLong.size()));
  // Entries run out before bytes with the smallest frames; so do reclaim marks.
  const std::vector<uint8_t> small = FrameOf(codec::kHeaderSize, 2);
  n = 0;
  while (h.PushFrame(small.data(), small.size())) ++n;
  EXPECT_EQ(n, Handover::kEntries);
  EXPECT_FALSE(h.PushReclaim(1));
  EXPECT_EQ(h.Publish(), Handover::kEntries);
  for (uint32_t i = 0; i < Handover::kEntries; ++i) {
    ASSERT_NO_FATAL_FAILURE(ExpectFront(h, small.size(), 2));
  }
  EXPECT_TRUE(h.Empty());
}

// The listening thread's and the Msg proc threads' protocol: the producer waits for room on its
// event, two consumers take turns draining under one lock and sleep on the doorbell; every frame
// arrives once, in order.
TEST(HandoverTest, OneProducerAndTwoDrainersLoseNothingAndKeepTheOrder) {
  constexpr uint32_t kFrames = 200000;
  Handover h;
  ASSERT_TRUE(h.Init());
  platform::Mutex session;
  platform::Event stop;
  platform::Event wake;
  uint32_t next = 0;  // under session
  bool inOrder = true;
  auto consumer = [&] {
    for (;;) {
      const uint32_t ticket = h.Ticket();
      if (stop.IsSet()) return;
      if (h.TryStartDraining()) {
        for (bool more = true; more;) {
          platform::LockGuard lock(session);
          const Handover::Entry* e = h.Front();
          more = e != nullptr;
          if (!more) break;
          uint32_t n;
          std::memcpy(&n, h.Bytes(*e), sizeof n);
          inOrder = inOrder && n == next && e->length == 8 + n % 2000;
          ++next;
          h.PopFront();
        }
        h.StopDraining();
        if (!h.EmptyNow()) continue;
      }
      h.Wait(ticket);
    }
  };
  std::thread c1(consumer);
  std::thread c2(consumer);
  std::vector<uint8_t> frame(codec::kMaxFrame);
  bool failed = false;
  for (uint32_t n = 0; n < kFrames && !failed;) {
    wake.Reset();
    bool room;
    {
      platform::LockGuard producer(h.producerMutex());
      room = h.HasRoomOrWake(&wake, kRead);
    }
    if (!room) {
      failed = !wake.Wait(5000);
      EXPECT_FALSE(failed) << "not woken for room at frame " << n;
      continue;
    }
    platform::LockGuard producer(h.producerMutex());
    // As much as one read completes.
    for (size_t bytes = 0; bytes < kRead && n < kFrames && !failed; bytes += 8 + n % 2000, ++n) {
      std::memcpy(frame.data(), &n, sizeof n);
      failed = !h.PushFrame(frame.data(), 8 + n % 2000);
      EXPECT_FALSE(failed) << "refused frame " << n;
    }
    h.Publish();
  }
  h.Forget(&wake);
  for (int i = 0; i < 500 && !h.EmptyNow(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  stop.Set();
  h.WakeAll();
  c1.join();
  c2.join();
  platform::LockGuard lock(session);
  EXPECT_EQ(next, kFrames);
  EXPECT_TRUE(inOrder);
}

}  // namespace
}  // namespace scanlink::transport
