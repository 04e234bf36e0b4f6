#include "capture_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "exit_codes.h"

namespace scanlink::cli {

Capture ReadCapture(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw CliError(kExitFile, "cannot read " + path + ": " + std::strerror(errno));
  std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
  if (in.bad()) throw CliError(kExitFile, "cannot read " + path + ": " + std::strerror(errno));
  Capture c;
  size_t at = 0;
  while (at < bytes.size() && bytes[at] == '#') {
    size_t end = at;
    while (end < bytes.size() && bytes[end] != '\n') ++end;
    std::string line(bytes.begin() + at + 1, bytes.begin() + end);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t colon = line.find(':');
    if (colon != std::string::npos) {
      auto trim = [](std::string s) {
        s.erase(0, s.find_first_not_of(" \t"));
        s.erase(s.find_last_not_of(" \t") + 1);
        return s;
      };
      c.header[trim(line.substr(0, colon))] = trim(line.substr(colon + 1));
    }
    at = end < bytes.size() ? end + 1 : end;
  }
  c.stream.assign(bytes.begin() + at, bytes.end());
  return c;
}

}  // namespace scanlink::cli
