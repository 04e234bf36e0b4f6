#include "bs_list.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace scanlink::cli {
namespace {

bool ParseLine(const std::string& line, Station& out) {
  std::vector<std::string> cells;
  std::stringstream in(line);
  std::string cell;
  while (std::getline(in, cell, ',')) cells.push_back(cell);
  if (cells.size() != 5) return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long k1 = std::strtoul(cells[1].c_str(), &end, 0);
  if (*end != '\0' || cells[1].empty() || errno != 0 || k1 > 0xFFFFFFFFul) return false;
  const unsigned long k2 = std::strtoul(cells[2].c_str(), &end, 0);
  if (*end != '\0' || cells[2].empty() || errno != 0 || k2 > 0xFFFFFFFFul) return false;
  const double lon = std::strtod(cells[3].c_str(), &end);
  if (*end != '\0' || cells[3].empty() || !std::isfinite(lon)) return false;
  const double lat = std::strtod(cells[4].c_str(), &end);
  if (*end != '\0' || cells[4].empty() || !std::isfinite(lat)) return false;
  out = Station{cells[0], static_cast<uint32_t>(k1), static_cast<uint32_t>(k2), lon, lat};
  return true;
}

}  // namespace

std::vector<Station> LoadStations(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
  std::stringstream text;
  text << in.rdbuf();
  return ParseStations(text.str(), path);
}

std::vector<Station> ParseStations(const std::string& text, const std::string& path) {
  std::istringstream in(text);
  std::vector<Station> stations;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos || line[0] == '#') continue;
    Station s;
    if (ParseLine(line, s)) {
      // The library keeps a name in a field of its own size: a longer one would be cut.
      if (s.name.size() >= sizeof(_BSCellInfo::szName)) {
        throw std::runtime_error(path + ":" + std::to_string(number) +
                                 ": the name is longer than " +
                                 std::to_string(sizeof(_BSCellInfo::szName) - 1) + " bytes");
      }
      stations.push_back(s);
    } else if (number != 1) {
      throw std::runtime_error(path + ":" + std::to_string(number) +
                               ": expected name,key1,key2,longitude,latitude");
    }
  }
  return stations;
}

std::string StationsText(const std::vector<Station>& stations) {
  std::string out = "name,key1,key2,longitude,latitude\n";
  char line[96];
  for (const Station& s : stations) {
    std::snprintf(line, sizeof line, ",%u,%u,%.7f,%.7f\n", s.key1, s.key2, s.longitude, s.latitude);
    out += s.name + line;
  }
  return out;
}

void WriteStations(const std::string& path, const std::vector<Station>& stations) {
  std::ofstream out(path);
  out << StationsText(stations);
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<_BSCellInfo> ToCellInfo(const std::vector<Station>& stations) {
  std::vector<_BSCellInfo> list(stations.size());
  for (size_t i = 0; i < stations.size(); ++i) {
    _BSCellInfo& c = list[i];
    std::memset(&c, 0, sizeof c);
    std::snprintf(c.szName, sizeof c.szName, "%s", stations[i].name.c_str());
    c.nCellKey1 = stations[i].key1;
    c.nCellKey2 = stations[i].key2;
    c.dLongitude = stations[i].longitude;
    c.dLatitude = stations[i].latitude;
  }
  return list;
}

}  // namespace scanlink::cli
