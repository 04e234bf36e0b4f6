#include "transport/link_timeout.h"

#include <atomic>

#include "scanlink/scanlink.h"
#include "transport/trace.h"

namespace scanlink::transport {
namespace {

std::atomic<int> g_linkTimeoutMs{kDefaultLinkTimeoutMs};

}  // namespace

int LinkTimeoutMs() { return g_linkTimeoutMs.load(std::memory_order_relaxed); }

}  // namespace scanlink::transport

int ScanlinkSetLinkTimeout(int milliseconds) {
  using namespace scanlink::transport;
  // Below a second the keep-alive timers cannot follow; beyond minutes nothing is supervised.
  if (milliseconds < kMinLinkTimeoutMs || milliseconds > kMaxLinkTimeoutMs) {
    TraceF("ScanlinkSetLinkTimeout(): %d ms refused!", milliseconds);
    return 0;
  }
  g_linkTimeoutMs.store(milliseconds, std::memory_order_relaxed);
  return 1;
}
