#include "fault_injector.h"

#include <poll.h>

namespace scanlink::sim {

void FaultInjector::reset_mid_frame(Connection& c, ByteView frame) {
  c.send(frame.first(frame.size() / 2));
  // Loopback peers take queued bytes within microseconds; 500 ms bounds a peer that has stopped
  // reading.
  for (int i = 0; i < 100 && (c.queued() > 0 || c.kernel_queued() > 0); ++i) {
    ::poll(nullptr, 0, 5);
    c.flush();
  }
  c.reset();
}

}  // namespace scanlink::sim
