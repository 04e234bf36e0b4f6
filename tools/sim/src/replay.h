// A recorded session played back as the scanner: its replies to each command code, and the stream
// of reports, status frames and alarm bytes at the recorded pace. Pure bookkeeping: the server
// does the sending.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "frame.h"

namespace scanlink::sim {

// One packet of a recording, in file order.
struct RecordedPacket {
  std::int64_t time_us = -1;  // -1: unknown
  bool to_scanner = false;
  bool alarm = false;
  Bytes bytes;
  // Frames are cut from one connection's bytes only: a connection that ended inside a frame
  // never completes it with the next one's bytes.
  std::uint32_t connection = 0;
  // Not bytes but what the recording noted here ("link lost"...): told in the log at its time.
  std::string note{};
};

struct ReplaySettings {
  double speed = 1;          // recorded pace times this
  bool loop = false;         // start over at the end instead of ending
  double untimed_rate = 10;  // frames per second for a recording without times
};

class Replay {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Replay(const std::vector<RecordedPacket>& packets, ReplaySettings settings = {});

  // The replies recorded for the next request of this code (the n-th request gets the replies to
  // the n-th recorded one, the last recorded again after that), rewritten to the new request's
  // module and transaction ids. Nothing when the recording never saw the code.
  std::optional<std::vector<Frame>> replies(std::uint16_t code, std::uint8_t module,
                                            std::uint16_t trans);

  // The recording's scan began with a start command: the stream waits for the client's.
  bool waits_for_start() const { return waits_for_start_; }
  void start(Clock::time_point now);
  void stop() { started_.reset(); }
  bool running() const { return started_.has_value(); }

  struct Unit {
    bool alarm = false;
    Bytes bytes;         // as recorded: a whole frame, or bytes that were not one
    std::string note{};  // a recorded event instead of bytes
  };
  // What is due by now, in recorded order.
  std::vector<Unit> due(Clock::time_point now);
  std::optional<Clock::time_point> next_due() const;
  // Every unit of the stream went out (never when looping).
  bool finished() const { return finished_; }

  std::size_t stream_units() const { return stream_.size(); }
  std::size_t reply_codes() const { return replies_.size(); }

 private:
  struct Timed {
    double at_s;  // seconds after the scan's start in the recording
    Unit unit;
  };
  std::map<std::uint16_t, std::vector<std::vector<Frame>>> replies_;
  std::map<std::uint16_t, std::size_t> asked_;
  std::vector<Timed> stream_;
  ReplaySettings settings_;
  bool waits_for_start_ = false;
  std::optional<Clock::time_point> started_;
  std::size_t next_ = 0;
  bool finished_ = false;
};

}  // namespace scanlink::sim
