// Times on the output lines: UTC, milliseconds, ISO 8601.
#pragma once

#include <cstdint>
#include <string>

namespace scanlink::cli {

// Microseconds since 1970 UTC, now.
int64_t NowUs();
// "2026-12-09T19:20:31.123Z"; empty for a negative (unknown) time.
std::string IsoTime(int64_t timeUs);

}  // namespace scanlink::cli
