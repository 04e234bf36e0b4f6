#include "platform/clock.h"

#include <windows.h>

namespace scanlink::platform {

uint64_t TickMs() { return GetTickCount64(); }

uint32_t Tick32() { return GetTickCount(); }

void SleepMs(int ms) {
  if (ms > 0) Sleep(static_cast<DWORD>(ms));
}

LocalTime NowLocal() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  return {t.wYear, t.wMonth - 1, t.wDay, t.wHour, t.wMinute, t.wSecond};
}

}  // namespace scanlink::platform
