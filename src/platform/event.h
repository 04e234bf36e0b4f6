// Manual-reset events. Each one can be waited on alone, or together with sockets through a
// Poller, so a thread blocked on its sockets still wakes the moment it is told to stop.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace scanlink::platform {

class Event {
 public:
  Event();
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  // True when set within timeoutMs (negative: wait without bound).
  bool Wait(int timeoutMs) const;
  // Read from a flag, not from the handle: asking the system is a kernel call (under Wine a
  // round trip to its server), and threads ask once per frame.
  bool IsSet() const { return set_.load(std::memory_order_acquire); }
#if defined(_WIN32)
  // A native manual-reset event, for waits beside sockets and for the application's own waits.
  bool Valid() const { return handle_ != nullptr; }
  void* Handle() const { return handle_; }
  intptr_t Native() const { return reinterpret_cast<intptr_t>(handle_); }

 private:
  void* handle_ = nullptr;
#else
  bool Valid() const { return fd_ >= 0; }
  int Handle() const { return fd_; }
  intptr_t Native() const { return fd_; }

 private:
  int fd_ = -1;
#endif
  // Set and Reset change the flag and the handle's readiness together: a Reset between the two
  // halves of a Set would leave the handle readable while the event reads as reset.
  std::mutex change_;
  std::atomic<bool> set_{false};
};

}  // namespace scanlink::platform
