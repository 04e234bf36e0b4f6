// How long a silent scanner is given before its connections count as broken; applications
// change it with ScanlinkSetLinkTimeout (client/process_settings.cpp).
#pragma once

namespace scanlink::transport {

constexpr int kDefaultLinkTimeoutMs = 10000;
constexpr int kMinLinkTimeoutMs = 1000;
constexpr int kMaxLinkTimeoutMs = 600000;

// The bound for connections made from now on; set within the limits above.
int LinkTimeoutMs();
void SetLinkTimeoutMs(int milliseconds);

}  // namespace scanlink::transport
