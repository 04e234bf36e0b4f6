#include "transport/link_timeout.h"

#include <atomic>

namespace scanlink::transport {
namespace {

std::atomic<int> g_linkTimeoutMs{kDefaultLinkTimeoutMs};

}  // namespace

int LinkTimeoutMs() { return g_linkTimeoutMs.load(std::memory_order_relaxed); }

void SetLinkTimeoutMs(int milliseconds) {
  g_linkTimeoutMs.store(milliseconds, std::memory_order_relaxed);
}

}  // namespace scanlink::transport
