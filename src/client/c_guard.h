// The C interface's calling convention, shared by its source files: the per-thread last error,
// and the wrappers every C function's body runs inside, so no exception unwinds into C.
#pragma once

#include <cstring>
#include <new>

#include "scanlink/scanlink_c.h"

namespace scanlink::client::capi {

// Why the thread's latest call refused or failed (scanlink_last_error).
inline thread_local int t_lastError = SCANLINK_OK;

// Records why a call refused or failed; returns the call's result.
inline int Fail(int error, int result) {
  t_lastError = error;
  return result;
}

// Refuses a call whose result is the error itself.
inline int Refuse(int error) { return Fail(error, error); }

// The error an exception in flight stands for (called inside a catch).
inline int CaughtError() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return SCANLINK_ERR_RESOURCES;
  } catch (...) {
    return SCANLINK_ERR_INTERNAL;
  }
}

// An escaped exception leaves the call's failure result, and the last error says what it was.
template <typename R, typename F>
R Guarded(R failed, F&& body) noexcept {
  try {
    t_lastError = SCANLINK_OK;
    return body();
  } catch (...) {
    t_lastError = CaughtError();
  }
  return failed;
}

// For the functions whose result is the error itself.
template <typename F>
int GuardedStatus(F&& body) noexcept {
  try {
    t_lastError = SCANLINK_OK;
    return body();
  } catch (...) {
    return t_lastError = CaughtError();
  }
}

// GuardedStatus for a function of a session: a null one is refused.
template <typename F>
int SessionStatus(scanlink_session* s, F&& body) noexcept {
  return GuardedStatus(
      [&]() -> int { return s == nullptr ? Refuse(SCANLINK_ERR_SESSION) : body(); });
}

// A caller built against an older header gets the fields its struct has, no byte more.
template <typename T>
void CopySized(void* out, const T& all, size_t size) {
  std::memcpy(out, &all, size < sizeof all ? size : sizeof all);
}

}  // namespace scanlink::client::capi
