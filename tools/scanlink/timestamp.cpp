#include "timestamp.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace scanlink::cli {

int64_t NowUs() {
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

std::string IsoTime(int64_t timeUs) {
  if (timeUs < 0) return {};
  const std::time_t seconds = static_cast<std::time_t>(timeUs / 1000000);
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(timeUs / 1000 % 1000));
  return text;
}

}  // namespace scanlink::cli
