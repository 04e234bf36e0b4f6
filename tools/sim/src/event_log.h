// The simulator's output: one JSON line per event (for tests) and readable lines on stderr (for
// people).
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "command_table.h"
#include "layout.h"

namespace scanlink::sim {

class EventLog {
 public:
  // json_path: "" writes no JSON, "-" writes it to stdout. Throws std::runtime_error if it cannot
  // open.
  EventLog(const std::string& json_path, bool human);
  ~EventLog();
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  // {"event":name,"t":ms since start,...fields}; flushed at once so a reader never waits on a
  // buffer.
  void emit(std::string_view event, const Json& fields = Json::object());
  // A readable line on stderr, unless quiet.
  void say(const std::string& line);

 private:
  std::mutex mu_;
  std::FILE* out_ = nullptr;
  bool owns_out_ = false;
  bool human_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// "<- 0xF001 SetTDScanMode mode=1(cell list) fingerTest=1 ... (module 20, trans 7, 25 bytes)"
std::string describe_command(std::uint16_t code, std::uint8_t module, std::uint16_t trans,
                             std::size_t length, const DecodedCommand& command);

// "k=v k=v ..." with lists shortened after a few entries.
std::string describe_fields(const Json& fields);

}  // namespace scanlink::sim
