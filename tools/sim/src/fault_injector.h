// Faults a test can switch on to see how a client copes: stalls, refusals, resets, muteness.
#pragma once

#include <chrono>
#include <optional>

#include "bytes.h"
#include "net.h"

namespace scanlink::sim {

class FaultInjector {
 public:
  using Clock = std::chrono::steady_clock;

  // Data socket not read: the client's writes pile up in the kernel buffers.
  bool stall() const { return stall_; }
  void set_stall(bool on) { stall_ = on; }

  // Alarm port closed, so alarm connects are refused.
  bool refuse_alarm() const { return refuse_alarm_; }
  void set_refuse_alarm(bool on) { refuse_alarm_ = on; }

  // Commands are read and logged but get no reply.
  bool answer() const { return answer_; }
  void set_answer(bool on) { answer_ = on; }

  // Both ports closed until the deadline.
  bool listeners_down(Clock::time_point now) const { return down_until_ && now < *down_until_; }
  std::optional<Clock::time_point> down_until() const { return down_until_; }
  void take_listeners_down(Clock::duration d) { down_until_ = Clock::now() + d; }
  void listeners_back() { down_until_.reset(); }

  // Writes the first half of a frame, waits (bounded) until the peer has taken it, then resets the
  // connection, so the peer sees a frame cut off by RST rather than by a lost buffer.
  static void reset_mid_frame(Connection& c, ByteView frame);

 private:
  bool stall_ = false;
  bool refuse_alarm_ = false;
  bool answer_ = true;
  std::optional<Clock::time_point> down_until_;
};

}  // namespace scanlink::sim
