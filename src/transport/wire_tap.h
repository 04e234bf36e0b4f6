// The wire tap: every byte exchanged with the scanner, handed to the application as it goes (a
// recorder). One relaxed load when no tap is set.
#pragma once

#include <cstddef>
#include <cstdint>

#include "scanlink/scanlink.h"
#include "transport/library_state.h"

namespace scanlink::transport {

// kConnected / kClosed: a connection began or ended (no bytes); what follows a kConnected is a
// stream of its own.
enum class TapDirection { kReceived = 0, kSent = 1, kConnected = 2, kClosed = 3 };
enum class TapChannel { kData = 0, kAlarm = 1 };

// The process's tap (the first session's bytes); returns once no call to the one it replaces is
// under way. events: connection events too (kConnected, kClosed).
void SetWireTap(ScanlinkWireTap tap, void* context, bool events);

bool WireTapEnabled();
bool WireTapWantsEvents();
void CallWireTap(TapDirection direction, TapChannel channel, const uint8_t* bytes, size_t length);

inline void Tap(TapDirection direction, TapChannel channel, const void* bytes, size_t length) {
  if (length > 0 && WireTapEnabled())
    CallWireTap(direction, channel, static_cast<const uint8_t*>(bytes), length);
}

// A session's bytes: the first session's go to the process's tap, any other's to its own.
inline void Tap(LibraryState& lib, TapDirection direction, TapChannel channel, const void* bytes,
                size_t length) {
  if (lib.diag.first()) {
    Tap(direction, channel, bytes, length);
  } else if (length > 0 && lib.diag.TapWanted()) {
    lib.diag.Tap(static_cast<int>(direction), static_cast<int>(channel),
                 static_cast<const uint8_t*>(bytes), length);
  }
}

// A connection of a session began or ended: to the tap its bytes go to.
inline void TapEvent(LibraryState& lib, TapDirection event, TapChannel channel) {
  if (lib.diag.first()) {
    if (WireTapEnabled() && WireTapWantsEvents()) CallWireTap(event, channel, nullptr, 0);
  } else if (lib.diag.TapWanted()) {
    lib.diag.Tap(static_cast<int>(event), static_cast<int>(channel), nullptr, 0);
  }
}

}  // namespace scanlink::transport
