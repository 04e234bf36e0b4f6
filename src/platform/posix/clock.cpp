#include "platform/clock.h"

#include <chrono>
#include <ctime>
#include <thread>

namespace scanlink::platform {

uint64_t TickMs() {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

uint32_t Tick32() { return static_cast<uint32_t>(TickMs()); }

void SleepMs(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

LocalTime NowLocal() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  return {tm.tm_year + 1900, tm.tm_mon, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

}  // namespace scanlink::platform
