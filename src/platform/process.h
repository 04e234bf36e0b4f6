// The host process.
#pragma once

#include <cstdint>

namespace scanlink::platform {

uint32_t ProcessId();

}  // namespace scanlink::platform
