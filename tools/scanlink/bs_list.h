// The base-station list file: CSV name,key1,key2,longitude,latitude (the simulator's format).
#pragma once

#include <scanlink/scanlink.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace scanlink::cli {

struct Station {
  std::string name;
  uint32_t key1;
  uint32_t key2;
  double longitude;
  double latitude;
};

// Blank lines, '#' comments and a first line that is not numeric (a header) are skipped.
// Throws std::runtime_error naming the file and line on anything else that does not parse.
std::vector<Station> LoadStations(const std::string& path);
// The same from the list's text; `name` names it in errors.
std::vector<Station> ParseStations(const std::string& text, const std::string& name);
// The list as CSV text, as LoadStations reads it.
std::string StationsText(const std::vector<Station>& stations);
void WriteStations(const std::string& path, const std::vector<Station>& stations);
// The records SetBSList takes (names cut to 63 characters).
std::vector<_BSCellInfo> ToCellInfo(const std::vector<Station>& stations);

}  // namespace scanlink::cli
