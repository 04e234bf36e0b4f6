// The process-wide settings the application changes: the trace sink and wire tap (which also
// carry the first session's texts and bytes) and the link timeout of connections to come.
#include "scanlink/scanlink.h"
#include "transport/link_timeout.h"
#include "transport/trace.h"
#include "transport/wire_tap.h"

void ScanlinkSetTraceSink(ScanlinkTraceSink sink, void* context) {
  scanlink::transport::InstallTraceSink(sink, context);
  scanlink::transport::WaitForReplacedTraceSinks();
}

void ScanlinkSetWireTap(ScanlinkWireTap tap, void* context) {
  ScanlinkSetWireTapEx(tap, context, 0);
}

void ScanlinkSetWireTapEx(ScanlinkWireTap tap, void* context, int flags) {
  scanlink::transport::SetWireTap(tap, context, (flags & SCANLINK_TAP_CONNECTIONS) != 0);
}

int ScanlinkSetLinkTimeout(int milliseconds) {
  using namespace scanlink::transport;
  // Below a second the keep-alive timers cannot follow; beyond minutes nothing is supervised.
  if (milliseconds < kMinLinkTimeoutMs || milliseconds > kMaxLinkTimeoutMs) {
    TraceF("ScanlinkSetLinkTimeout(): %d ms refused!", milliseconds);
    return 0;
  }
  SetLinkTimeoutMs(milliseconds);
  return 1;
}
