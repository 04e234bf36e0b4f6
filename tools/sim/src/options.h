// Command-line settings of the simulator.
#pragma once

#include <cstdint>
#include <string>

#include "report_generator.h"
#include "scanner_model.h"

namespace scanlink::sim {

struct Options {
  std::string bind = "127.0.0.1";
  std::uint16_t port = 5000;  // 0 picks a free port; the "listening" event tells which
  std::uint16_t alarm_port = 8050;
  std::string log_path;     // JSON lines; "-" = stdout
  std::string record_path;  // raw copy of every byte sent on the data connection
  std::uint32_t family = 11;
  bool no_alarm = false;
  bool quiet = false;
  bool verbose = false;       // also print every report on stderr
  bool log_payloads = false;  // hex of report payloads in "sent" events (replies always have it)
  bool ignore_stdin = false;  // run until a signal instead of until stdin ends
  std::uint32_t rate = 10;    // report frames per second while scanning
  std::size_t chunk = 0;      // data connection written in pieces of this many bytes; 0 = as usual
  ReplyOrder reply_order = ReplyOrder::kDataFirst;
  std::string bs_list_path;
  std::string route_path;
  double start_lat = 39.9;
  double start_lon = 116.4;
  double speed_mps = 10;    // with a replay: how many times the recorded pace
  std::string replay_path;  // a recording to play back instead of the drive
  bool replay_loop = false;
  bool replay_exit = false;  // quit once the recording has been played, instead of staying open
  std::string replay_host;   // a capture of several scanners: the one to play
  int replay_port = 0;
  GeneratorConfig generator;
};

}  // namespace scanlink::sim
