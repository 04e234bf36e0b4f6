#include "platform/event.h"

#include <windows.h>

#include "platform/fault.h"

namespace scanlink::platform {

// Manual reset, not signalled, unnamed.
Event::Event()
    : handle_(CreationRefused(Resource::kEvent) ? nullptr
                                                : CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

Event::~Event() {
  if (handle_ != nullptr) CloseHandle(handle_);
}

void Event::Set() {
  if (handle_ == nullptr) return;
  std::lock_guard<std::mutex> guard(change_);
  set_.store(true, std::memory_order_release);
  SetEvent(handle_);
}

void Event::Reset() {
  if (handle_ == nullptr) return;
  std::lock_guard<std::mutex> guard(change_);
  ResetEvent(handle_);
  set_.store(false, std::memory_order_release);
}

bool Event::Wait(int timeoutMs) const {
  if (handle_ == nullptr) return false;
  const DWORD wait = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
  return WaitForSingleObject(handle_, wait) == WAIT_OBJECT_0;
}

}  // namespace scanlink::platform
