// Base stations the scanner can see, with the positions its delay measurements agree with.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "gps.h"

namespace scanlink::sim {

struct BaseStation {
  std::string name;
  std::uint32_t key1 = 0;
  std::uint32_t key2 = 0;
  Position position;
};

// CSV "name,key1,key2,longitude,latitude"; blank lines, '#' comments and a header line whose key1
// is not a number are skipped. Throws std::runtime_error naming the line of a malformed entry.
std::vector<BaseStation> parse_bs_list(std::string_view csv);
std::vector<BaseStation> load_bs_list(const std::string& path);

}  // namespace scanlink::sim
