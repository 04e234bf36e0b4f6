#include "transport/wire_tap.h"

#include <atomic>

#include "platform/sync.h"
#include "scanlink/scanlink.h"

namespace scanlink::transport {
namespace {

std::atomic<bool> g_enabled{false};
// Connection events only for a tap installed asking for them: a tap written before they existed
// may index by direction.
std::atomic<bool> g_events{false};
// Held during each call, so a replacing call returns only once no call to the old tap is under
// way: the application may then free what the old tap writes to.
platform::Mutex g_tapMutex;
ScanlinkWireTap g_tap = nullptr;
void* g_context = nullptr;

}  // namespace

bool WireTapEnabled() { return g_enabled.load(std::memory_order_relaxed); }
bool WireTapWantsEvents() { return g_events.load(std::memory_order_relaxed); }

void CallWireTap(TapDirection direction, TapChannel channel, const uint8_t* bytes, size_t length) {
  platform::LockGuard guard(g_tapMutex);
  if (g_tap == nullptr) return;
  // Reads are at most 4096 bytes and frames at most 2056: the length fits an int.
  g_tap(static_cast<int>(direction), static_cast<int>(channel), bytes, static_cast<int>(length),
        g_context);
}

void SetWireTap(ScanlinkWireTap tap, void* context, bool events) {
  platform::LockGuard guard(g_tapMutex);
  g_tap = tap;
  g_context = context;
  g_events.store(tap != nullptr && events, std::memory_order_relaxed);
  g_enabled.store(tap != nullptr, std::memory_order_relaxed);
}

}  // namespace scanlink::transport
