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
  if (handle_ != nullptr) SetEvent(handle_);
}

void Event::Reset() {
  if (handle_ != nullptr) ResetEvent(handle_);
}

bool Event::Wait(int timeoutMs) const {
  if (handle_ == nullptr) return false;
  const DWORD wait = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
  return WaitForSingleObject(handle_, wait) == WAIT_OBJECT_0;
}

}  // namespace scanlink::platform
