// The calendar time a scan start carries, as the transport passes it on from the platform layer
// to the client.
#pragma once

#include "platform/clock.h"

namespace scanlink::transport {

using platform::LocalTime;
using platform::NowLocal;

}  // namespace scanlink::transport
