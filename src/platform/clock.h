// Time: the millisecond tick, sleeping and the local calendar time.
#pragma once

#include <cstdint>

namespace scanlink::platform {

// Milliseconds from an arbitrary start, never going backwards.
uint64_t TickMs();
// The system's 32-bit millisecond tick, as the echo request carries it.
uint32_t Tick32();
void SleepMs(int ms);

struct LocalTime {
  int year;    // e.g. 2009
  int month;   // 0..11
  int day;     // 1..31
  int hour;    // 0..23
  int minute;  // 0..59
  int second;  // 0..60
};
LocalTime NowLocal();

}  // namespace scanlink::platform
