// Position out of the scanner's GPS text (a GGA or RMC sentence), for display and maps.
#pragma once

#include <optional>
#include <string>

#include "scanlink/scanlink.h"

namespace scanlink::cli {

struct Position {
  double latitude;   // degrees, north positive
  double longitude;  // degrees, east positive
};

// The position of a "$GPGGA,time,ddmm.mmmm,N,dddmm.mmmm,E,..." or
// "$GPRMC,time,A,ddmm.mmmm,N,dddmm.mmmm,E,..." text (any talker); nothing when the text holds no
// such sentence, its numbers do not parse, or it says the receiver has no fix.
std::optional<Position> ParseGpsText(const char* text, size_t size);
// The GPS text a record carries: a report's (whatever its kind) or the GPS text reply's; nothing
// for a record without one.
std::optional<std::string> GpsTextOf(const CCmdManage& m);
// "39.900000N 116.400000E"
std::string FormatPosition(const Position& p);

}  // namespace scanlink::cli
