#include "platform/event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/clock.h"
#include "platform/fault.h"

namespace scanlink::platform {

Event::Event() {
  if (!CreationRefused(Resource::kEvent)) fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

Event::~Event() {
  if (fd_ >= 0) close(fd_);
}

void Event::Set() {
  std::lock_guard<std::mutex> guard(change_);
  if (set_.load(std::memory_order_relaxed)) return;
  // Set before the handle wakes anyone, so a woken waiter finds it set.
  set_.store(true, std::memory_order_release);
  if (fd_ >= 0) {
    uint64_t one = 1;
    ssize_t r = write(fd_, &one, sizeof one);
    (void)r;
  }
}

void Event::Reset() {
  std::lock_guard<std::mutex> guard(change_);
  if (!set_.load(std::memory_order_relaxed)) return;
  set_.store(false, std::memory_order_release);
  if (fd_ >= 0) {
    uint64_t value;
    ssize_t r = read(fd_, &value, sizeof value);
    (void)r;
  }
}

bool Event::Wait(int timeoutMs) const {
  if (IsSet()) return true;
  const uint64_t deadline = TickMs() + static_cast<uint64_t>(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    int left = -1;
    if (timeoutMs >= 0) {
      const uint64_t now = TickMs();
      if (now >= deadline) return IsSet();
      left = static_cast<int>(deadline - now);
    }
    // Without a descriptor (the system refused one) the flag is looked at in short naps, so a
    // wait on such an event never spins.
    constexpr int kNapMs = 10;
    pollfd p{fd_, POLLIN, 0};
    int r =
        fd_ >= 0 ? poll(&p, 1, left) : poll(nullptr, 0, left < 0 || left > kNapMs ? kNapMs : left);
    if (IsSet()) return true;
    if (r < 0 && errno != EINTR) return false;
  }
}

}  // namespace scanlink::platform
