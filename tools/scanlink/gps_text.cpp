#include "gps_text.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

namespace scanlink::cli {
namespace {

// "ddmm.mmmm" (degree digits = degreeDigits) to degrees.
std::optional<double> Degrees(std::string_view field, size_t degreeDigits) {
  if (field.size() <= degreeDigits) return std::nullopt;
  const std::string text(field);
  char* end = nullptr;
  const double raw = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(raw) || raw < 0) return std::nullopt;
  const double degrees = std::floor(raw / 100);
  const double minutes = raw - degrees * 100;
  if (minutes >= 60) return std::nullopt;
  return degrees + minutes / 60;
}

}  // namespace

std::optional<Position> ParseGpsText(const char* text, size_t size) {
  std::string_view all(text, size);
  all = all.substr(0, all.find('\0'));
  // "$ttGGA,time,lat,N,lon,E,quality" or "$ttRMC,time,status,lat,N,lon,E,...", any talker.
  size_t start = std::string_view::npos, latField = 0;
  for (size_t at = all.find('$'); at != std::string_view::npos && at + 7 <= all.size();
       at = all.find('$', at + 1)) {
    const std::string_view type = all.substr(at + 3, 4);
    if (type == "GGA," || type == "RMC,") {
      start = at;
      latField = type == "GGA," ? 2 : 3;
      break;
    }
  }
  if (start == std::string_view::npos) return std::nullopt;
  std::vector<std::string_view> fields;
  std::string_view rest = all.substr(start);
  while (fields.size() < latField + 5) {
    const size_t comma = rest.find(',');
    fields.push_back(rest.substr(0, comma));
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  if (fields.size() < latField + 4) return std::nullopt;
  // A receiver without a fix says so: GGA quality 0, RMC status V.
  if (latField == 3 && fields[2] != "A") return std::nullopt;
  if (latField == 2 && fields.size() > 6 && fields[6] == "0") return std::nullopt;
  const auto lat = Degrees(fields[latField], 2);
  const auto lon = Degrees(fields[latField + 2], 3);
  if (!lat || !lon || *lat > 90 || *lon > 180) return std::nullopt;
  const std::string_view ns = fields[latField + 1], ew = fields[latField + 3];
  const bool south = ns == "S", west = ew == "W";
  if (!(south || ns == "N") || !(west || ew == "E")) return std::nullopt;
  return Position{south ? -*lat : *lat, west ? -*lon : *lon};
}

std::string FormatPosition(const Position& p) {
  char text[64];
  std::snprintf(text, sizeof text, "%.6f%c %.6f%c", std::fabs(p.latitude),
                p.latitude < 0 ? 'S' : 'N', std::fabs(p.longitude), p.longitude < 0 ? 'W' : 'E');
  return text;
}

namespace {

template <typename Body>
std::string TextOf(const Body& b) {
  return std::string(b.szGpsText, strnlen(b.szGpsText, sizeof b.szGpsText));
}

}  // namespace

std::optional<std::string> GpsTextOf(const CCmdManage& m) {
  switch (m.nCode) {
    case 36:
      return TextOf(m.body.valueList);
    case 0xF027:
      return TextOf(m.body.tdValueList);
    case 40:
    case 41:
    case 257:
    case 259:
      return TextOf(m.body.cellRecords);
    case 0xF025:
      return TextOf(m.body.tdCells);
    case 0xF100:
      return TextOf(m.body.tdProfile);
    case 0xF102:
      return TextOf(m.body.tdShortProfile);
    case 0xF02A:
      return TextOf(m.body.gpsText);
    default:
      return std::nullopt;
  }
}

}  // namespace scanlink::cli
