// The resources of one bring-up: the two sockets, the three stop events and the three worker
// threads. A link is retired as a whole and destroyed only once it is reaped (its threads
// joined), so no socket is ever closed under a thread that may still use it.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <utility>

#include "platform/event.h"
#include "platform/socket.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "transport/engine.h"
#include "transport/library_state.h"

namespace scanlink::transport {

struct CMyPcCommSocket::Link {
  uint32_t generation = 0;
  platform::TcpSocket sockData;
  platform::TcpSocket sockAlarm;
  platform::Event hStopListen;
  platform::Event hStopProcOne;
  platform::Event hStopProcTwo;
  // Wakes the listening thread when a socket has been connected.
  platform::Event wake;
  // The listening thread reads a socket only once it is connected; the send path writes only
  // to a connected data socket.
  std::atomic<bool> dataConnected{false};
  std::atomic<bool> alarmConnected{false};
  // One writer at a time on the data socket; never held while waiting for the library lock.
  platform::Mutex sendMutex;
  bool dataFresh = true;  // the data socket has not seen a connect attempt yet
  bool alarmFresh = true;
  platform::Thread hThreadListen;
  platform::Thread hThreadProcOne;
  platform::Thread hThreadProcTwo;
  bool reaped = false;
};

// Holding one is the proof reaping asks for: the bring-up mutex is held by this thread.
class CMyPcCommSocket::BringUpLock {
 public:
  explicit BringUpLock(CMyPcCommSocket& engine) : lock_(engine.bringUp_) {}
  // From inside a callback: never wait for a bring-up that may be waiting for this thread.
  static std::optional<BringUpLock> Try(CMyPcCommSocket& engine) {
    platform::UniqueLock<platform::RecursiveMutex> lock(engine.bringUp_, std::try_to_lock);
    if (!lock.owns_lock()) return std::nullopt;
    return BringUpLock(std::move(lock));
  }

 private:
  explicit BringUpLock(platform::UniqueLock<platform::RecursiveMutex> lock)
      : lock_(std::move(lock)) {}
  platform::UniqueLock<platform::RecursiveMutex> lock_;
};

template <typename F>
bool CMyPcCommSocket::Publish(F&& fn) {
  platform::ScopedLock<platform::RecursiveMutex> guard(lib_.lock);
  if (Closed()) return false;
  fn();
  return true;
}

}  // namespace scanlink::transport
