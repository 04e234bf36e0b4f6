// The control channel: one command per line on stdin, parsed here without any I/O.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "frame.h"
#include "scanner_model.h"

namespace scanlink::sim {

struct ControlCommand {
  enum class Kind {
    kCloseData,      // close-data
    kCloseAlarm,     // close-alarm
    kResetData,      // reset-data
    kResetMidFrame,  // reset-mid-frame
    kStopListening,  // stop-listening MS
    kRefuseAlarm,    // refuse-alarm on|off
    kStall,          // stall on|off
    kAnswer,         // answer on|off
    kRestart,        // restart
    kSend,           // send HEX...
    kFrame,          // frame CODE TRANS HEXPAYLOAD [MODULE]
    kAlarm,          // alarm HEX...
    kStart,          // start [wcdma|td]
    kStop,           // stop
    kRate,           // rate N
    kFamily,         // family N
    kQuit,           // quit
  };
  Kind kind = Kind::kQuit;
  bool on = false;
  std::uint32_t number = 0;
  std::optional<Family> family;
  Frame frame;
  Bytes bytes;
};

struct ControlParse {
  std::optional<ControlCommand> command;  // nullopt: blank line or error
  std::string error;                      // empty for a blank line
};

ControlParse parse_control(std::string_view line);

}  // namespace scanlink::sim
