#include "bs_list.h"

#include <charconv>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <type_traits>

namespace scanlink::sim {
namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

std::vector<std::string_view> split(std::string_view line) {
  std::vector<std::string_view> out;
  std::size_t from = 0;
  while (true) {
    std::size_t comma = line.find(',', from);
    out.push_back(trim(line.substr(
        from, comma == std::string_view::npos ? std::string_view::npos : comma - from)));
    if (comma == std::string_view::npos) return out;
    from = comma + 1;
  }
}

template <typename T>
bool parse_number(std::string_view s, T& out) {
  if (s.empty()) return false;
  if constexpr (std::is_floating_point_v<T>) {
    // from_chars for double is not in every standard library we build with; strtod on a copy is.
    std::string copy(s);
    char* end = nullptr;
    out = std::strtod(copy.c_str(), &end);
    return end == copy.c_str() + copy.size();
  } else {
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && ptr == s.data() + s.size();
  }
}

}  // namespace

std::vector<BaseStation> parse_bs_list(std::string_view csv) {
  std::vector<BaseStation> stations;
  int number = 0;
  bool first_entry = true;
  std::size_t from = 0;
  while (from < csv.size()) {
    std::size_t nl = csv.find('\n', from);
    std::string_view line =
        trim(csv.substr(from, nl == std::string_view::npos ? std::string_view::npos : nl - from));
    from = nl == std::string_view::npos ? csv.size() : nl + 1;
    ++number;
    if (line.empty() || line.front() == '#') continue;
    auto fields = split(line);
    bool may_be_header = first_entry;
    first_entry = false;
    BaseStation bs;
    bool ok = fields.size() == 5 && parse_number(fields[1], bs.key1) &&
              parse_number(fields[2], bs.key2) && parse_number(fields[3], bs.position.lon) &&
              parse_number(fields[4], bs.position.lat);
    if (!ok) {
      bool header = may_be_header && fields.size() == 5 && !parse_number(fields[1], bs.key1);
      if (header) continue;
      throw std::runtime_error("base-station list line " + std::to_string(number) +
                               ": expected name,key1,key2,longitude,latitude");
    }
    bs.name = std::string(fields[0]);
    stations.push_back(std::move(bs));
  }
  return stations;
}

std::vector<BaseStation> load_bs_list(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot open base-station list " + path);
  std::stringstream text;
  text << in.rdbuf();
  return parse_bs_list(text.str());
}

}  // namespace scanlink::sim
