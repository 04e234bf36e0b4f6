// The stateless decoder of the C interface on the regression captures: every record, rendered by
// scanlink_record_json, is the line the command line printed when the capture was accepted.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "scanlink/scanlink_c.h"

namespace {

struct Capture {
  std::vector<unsigned char> stream;
  scanlink_decode_options options{};
  std::vector<scanlink_station> stations;
};

// "# key: value" lines, then the bytes the scanner sent.
Capture Load(const std::filesystem::path& path) {
  Capture c;
  c.options.mismatch_limit = -1;
  std::ifstream in(path, std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t at = 0;
  while (at < all.size() && all[at] == '#') {
    const size_t end = all.find('\n', at);
    const std::string line = all.substr(at, end - at);
    at = end + 1;
    const size_t colon = line.find(": ");
    if (colon == std::string::npos) continue;
    const std::string key = line.substr(2, colon - 2), value = line.substr(colon + 2);
    if (key == "finger-test") c.options.finger_test = std::atoi(value.c_str());
    if (key == "gps-limit") c.options.mismatch_limit = std::atoi(value.c_str());
    if (key == "bs-list") {
      std::ifstream csv(path.parent_path() / value);
      std::string row;
      std::getline(csv, row);  // the column names
      while (std::getline(csv, row)) {
        scanlink_station s{};
        std::stringstream fields(row);
        std::string name, key1, key2, lon, lat;
        std::getline(fields, name, ',');
        std::getline(fields, key1, ',');
        std::getline(fields, key2, ',');
        std::getline(fields, lon, ',');
        std::getline(fields, lat, ',');
        std::strncpy(s.name, name.c_str(), sizeof s.name - 1);
        s.cell_key1 = static_cast<uint32_t>(std::stoul(key1));
        s.cell_key2 = static_cast<uint32_t>(std::stoul(key2));
        s.longitude = std::stod(lon);
        s.latitude = std::stod(lat);
        c.stations.push_back(s);
      }
    }
  }
  c.stream.assign(all.begin() + static_cast<std::ptrdiff_t>(at), all.end());
  c.options.stations = c.stations.data();
  c.options.station_count = static_cast<int>(c.stations.size());
  return c;
}

struct Rendered {
  bool stationsLoaded;
  std::vector<std::string> lines;
  static void SCANLINK_CALL OnRecord(void* context, const scanlink_record* record) {
    auto* self = static_cast<Rendered*>(context);
    const int n = scanlink_record_json(record, self->stationsLoaded, nullptr, 0);
    std::string text(static_cast<size_t>(n) + 1, '\0');
    scanlink_record_json(record, self->stationsLoaded, text.data(), text.size());
    text.resize(static_cast<size_t>(n));
    self->lines.push_back(text);
  }
};

// The command line's line without the levels it converts under the capture's level convention
// (the library renders raw fields only).
std::string WithoutLevels(const std::string& line) {
  static const std::regex levels(
      R"(,"levels":\[[^\]]*\]|,"level":(-?[0-9.e+]+|null)|,"levelUnit":"[^"]*"|,"levelOffset":-?[0-9.e+]+)");
  return std::regex_replace(line, levels, "");
}

TEST(CDecode, EveryCaptureDecodesToTheLinesTheCommandLinePrinted) {
  int captures = 0;
  for (const auto& entry : std::filesystem::directory_iterator(SCANLINK_CAPTURES_DIR)) {
    if (entry.path().extension() != ".scl") continue;
    ++captures;
    SCOPED_TRACE(entry.path().filename().string());
    const Capture capture = Load(entry.path());
    Rendered rendered{!capture.stations.empty(), {}};
    scanlink_decode_stats stats{};
    const int records = scanlink_decode(capture.stream.data(), capture.stream.size(),
                                        &capture.options, Rendered::OnRecord, &rendered, &stats);
    std::ifstream expected(std::filesystem::path(entry.path()).replace_extension(".jsonl"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(expected, line);) lines.push_back(WithoutLevels(line));
    EXPECT_EQ(records, static_cast<int>(lines.size()));
    EXPECT_EQ(stats.frames, lines.size());
    EXPECT_EQ(rendered.lines, lines);
  }
  EXPECT_GE(captures, 7);
  EXPECT_EQ(scanlink_decode(nullptr, 1, nullptr, nullptr, nullptr, nullptr), SCANLINK_ERR_ARGUMENT);
}

}  // namespace
