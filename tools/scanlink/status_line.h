// The one-line status monitor keeps at the bottom of a terminal: link state, time running,
// frames, rate, the last GPS position and its age, the battery. Drawn on stderr, and only when
// stderr is a terminal.
#pragma once

#include <chrono>
#include <string>

#include "record_output.h"

namespace scanlink::cli {

class StatusLine {
 public:
  StatusLine();
  bool enabled() const { return enabled_; }
  // Erases the line so a record can be printed in its place.
  void Clear();
  // Redraws at most a few times a second.
  void Draw(bool linkUp, const Tally& tally);

 private:
  bool enabled_;
  bool shown_ = false;
  std::chrono::steady_clock::time_point lastDraw_{};
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point rateSince_ = std::chrono::steady_clock::now();
  uint64_t rateFrames_ = 0;
  double rate_ = 0;
};

}  // namespace scanlink::cli
