// Events: whatever order Set and Reset race in, the event's state and its handle's readiness
// agree, so a thread polling the handle neither sleeps through a set event nor wakes for ever
// on a reset one.
#include "platform/event.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>

#include "platform/fault.h"

namespace {

using scanlink::platform::Event;

// Keeps the calling thread on one core, so the two racing threads run side by side rather than
// taking turns on the same core.
void PinToCore(int core) {
  if (std::thread::hardware_concurrency() < 2) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(core, &set);
  pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

bool HandleReadable(const Event& e) {
  pollfd p{e.Handle(), POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

TEST(Event, StartsResetAndFollowsSetAndReset) {
  Event e;
  ASSERT_TRUE(e.Valid());
  EXPECT_FALSE(e.IsSet());
  EXPECT_FALSE(HandleReadable(e));
  EXPECT_FALSE(e.Wait(0));
  e.Set();
  e.Set();
  EXPECT_TRUE(e.IsSet());
  EXPECT_TRUE(HandleReadable(e));
  EXPECT_TRUE(e.Wait(-1));
  e.Reset();
  EXPECT_FALSE(e.IsSet());
  EXPECT_FALSE(HandleReadable(e)) << "one Reset undoes any number of Sets";
  e.Reset();
  EXPECT_FALSE(e.Wait(5));
}

TEST(Event, WaitWakesWhenAnotherThreadSets) {
  Event e;
  std::thread setter([&] { e.Set(); });
  EXPECT_TRUE(e.Wait(5000));
  setter.join();
}

// An event the system gave no descriptor: a wait neither spins nor sleeps through a Set.
TEST(Event, WithoutADescriptorAWaitNapsAndStillWakes) {
  using namespace std::chrono;
  scanlink::platform::RefuseCreations(scanlink::platform::Resource::kEvent, 0, 1);
  Event e;
  ASSERT_FALSE(e.Valid());
  const auto cpu0 = std::clock();
  const auto start = steady_clock::now();
  EXPECT_FALSE(e.Wait(200));
  EXPECT_GE(steady_clock::now() - start, milliseconds(190));  // the clock counts whole ms
  EXPECT_LT(std::clock() - cpu0, CLOCKS_PER_SEC / 20) << "the wait spun";
  std::thread setter([&] {
    std::this_thread::sleep_for(milliseconds(50));
    e.Set();
  });
  EXPECT_TRUE(e.Wait(-1));
  setter.join();
}

// A Reset that follows a Set as closely as possible: the resetting thread spins until the
// event reads as set and resets it at once, which lands inside the Set whenever the flag and
// the handle are not changed together. Rounds go on for a fixed time, as many as fit.
TEST(Event, ResetRacingSetLeavesStateAndHandleInAgreement) {
  constexpr int kMaxRounds = 1000000;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  std::atomic<int> rounds{kMaxRounds};
  Event e;
  std::atomic<int> go{0};
  std::atomic<int> ready{0};
  std::atomic<int> done{0};
  std::thread resetter([&] {
    PinToCore(1);
    for (int r = 1; r <= rounds.load(std::memory_order_acquire); ++r) {
      while (go.load(std::memory_order_acquire) < r) std::this_thread::yield();
      if (r > rounds.load(std::memory_order_acquire)) break;
      ready.store(r, std::memory_order_release);
      for (int spin = 0; spin < 1000000 && !e.IsSet(); ++spin) {
      }
      e.Reset();
      done.store(r, std::memory_order_release);
    }
  });
  cpu_set_t before;
  pthread_getaffinity_np(pthread_self(), sizeof before, &before);
  PinToCore(0);
  int disagreements = 0;
  int r = 1;
  for (; r <= kMaxRounds && std::chrono::steady_clock::now() < until; ++r) {
    go.store(r, std::memory_order_release);
    while (ready.load(std::memory_order_acquire) < r) std::this_thread::yield();
    e.Set();
    while (done.load(std::memory_order_acquire) < r) std::this_thread::yield();
    if (e.IsSet() != HandleReadable(e)) ++disagreements;
    e.Reset();
    if (HandleReadable(e)) ++disagreements;
  }
  rounds.store(r - 1, std::memory_order_release);
  go.store(r, std::memory_order_release);
  resetter.join();
  pthread_setaffinity_np(pthread_self(), sizeof before, &before);
  EXPECT_EQ(disagreements, 0) << "of " << r - 1 << " rounds";
}

}  // namespace
