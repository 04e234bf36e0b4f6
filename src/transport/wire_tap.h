// The wire tap: every byte exchanged with the scanner, handed to the application as it goes (a
// recorder). One relaxed load when no tap is set.
#pragma once

#include <cstddef>
#include <cstdint>

namespace scanlink::transport {

// kConnected / kClosed: a connection began or ended (no bytes); what follows a kConnected is a
// stream of its own.
enum class TapDirection { kReceived = 0, kSent = 1, kConnected = 2, kClosed = 3 };
enum class TapChannel { kData = 0, kAlarm = 1 };

bool WireTapEnabled();
void CallWireTap(TapDirection direction, TapChannel channel, const uint8_t* bytes, size_t length);

inline void Tap(TapDirection direction, TapChannel channel, const void* bytes, size_t length) {
  if (length > 0 && WireTapEnabled())
    CallWireTap(direction, channel, static_cast<const uint8_t*>(bytes), length);
}

inline void TapEvent(TapDirection event, TapChannel channel) {
  if (WireTapEnabled()) CallWireTap(event, channel, nullptr, 0);
}

}  // namespace scanlink::transport
