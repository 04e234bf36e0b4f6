// A short busy wait for work another thread is about to hand over. Waking a sleeping thread
// can cost tens of microseconds when its CPU has gone idle; looking again for a moment is
// cheaper when the work follows within that time. Whether it does is judged from how long the
// last pauses lasted, so a thread that mostly waits long never spins.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
#include <intrin.h>
#endif

namespace scanlink::platform {

// Tells the CPU that this is a spin: it saves power and lets the other hardware thread run.
inline void CpuRelax() {
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
  __builtin_ia32_pause();
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
  _mm_pause();
#elif (defined(__GNUC__) || defined(__clang__)) && (defined(__aarch64__) || defined(__arm__))
  __asm__ __volatile__("yield");
#endif
}

// Used by one thread at a time.
class AdaptiveSpin {
 public:
  explicit AdaptiveSpin(uint32_t windowUs) : window_(std::chrono::microseconds(windowUs)) {}

  // Around each pause in the work: a pause shorter than the window would have been caught by
  // a spin, so the next few waits spin first.
  void Pausing() { pausedAt_ = Clock::now(); }
  void Resuming() {
    if (Clock::now() - pausedAt_ < window_) credit_ = kCredit;
  }

  // Looks for ready() until it holds or the window has passed; false at once when recent
  // pauses were long. Each spin that comes back empty-handed uses up credit, one that finds
  // work renews it. ready() must also hold when the thread is told to stop.
  template <typename Ready>
  bool Spin(Ready&& ready) {
    if (credit_ == 0) return false;
    const Clock::time_point end = Clock::now() + window_;
    for (;;) {
      for (int i = 0; i < kLooksPerYield; ++i) {
        if (ready()) {
          credit_ = kCredit;
          return true;
        }
        CpuRelax();
      }
      if (Clock::now() >= end) break;
      // On a machine with few CPUs the thread that hands over the work may be waiting for this one.
      std::this_thread::yield();
    }
    --credit_;
    return ready();
  }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr int kCredit = 4;
  static constexpr int kLooksPerYield = 8;

  Clock::duration window_;
  Clock::time_point pausedAt_{};
  int credit_ = 0;
};

}  // namespace scanlink::platform
