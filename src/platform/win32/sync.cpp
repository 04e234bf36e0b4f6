#include "platform/sync.h"

#include <windows.h>

#include <new>

namespace scanlink::platform {

static_assert(sizeof(SRWLOCK) == sizeof(void*) && sizeof(CONDITION_VARIABLE) == sizeof(void*));

static SRWLOCK* Lock(unsigned char* storage) {
  return std::launder(reinterpret_cast<SRWLOCK*>(storage));
}
static CONDITION_VARIABLE* Cond(unsigned char* storage) {
  return std::launder(reinterpret_cast<CONDITION_VARIABLE*>(storage));
}

Doorbell::Doorbell() {
  new (lock_) SRWLOCK SRWLOCK_INIT;
  new (cond_) CONDITION_VARIABLE CONDITION_VARIABLE_INIT;
}

void Doorbell::Wait(uint32_t ticket) const {
  SRWLOCK* lock = Lock(lock_);
  AcquireSRWLockExclusive(lock);
  // A ring counts under the lock, so none falls between this check and the sleep.
  while (seq_.load(std::memory_order_acquire) == ticket) {
    SleepConditionVariableSRW(Cond(cond_), lock, INFINITE, 0);
  }
  ReleaseSRWLockExclusive(lock);
}

void Doorbell::Ring() {
  AcquireSRWLockExclusive(Lock(lock_));
  seq_.fetch_add(1, std::memory_order_release);
  ReleaseSRWLockExclusive(Lock(lock_));
  WakeConditionVariable(Cond(cond_));
}

void Doorbell::RingAll() {
  AcquireSRWLockExclusive(Lock(lock_));
  seq_.fetch_add(1, std::memory_order_release);
  ReleaseSRWLockExclusive(Lock(lock_));
  WakeAllConditionVariable(Cond(cond_));
}

}  // namespace scanlink::platform
