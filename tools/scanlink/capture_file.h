// A recorded byte stream, optionally preceded by a text header of '#' lines ("# key: value"),
// which a raw stream can never start with (a frame starts with 0x55).
#pragma once

#include <map>
#include <string>
#include <vector>

namespace scanlink::cli {

struct Capture {
  std::map<std::string, std::string> header;  // "finger-test", "bs-list", "gps-limit", notes...
  std::vector<unsigned char> stream;
};

// Throws CliError(kExitFile) when the file cannot be read.
Capture ReadCapture(const std::string& path);

}  // namespace scanlink::cli
