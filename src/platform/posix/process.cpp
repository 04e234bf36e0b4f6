#include "platform/process.h"

#include <unistd.h>

namespace scanlink::platform {

uint32_t ProcessId() { return static_cast<uint32_t>(getpid()); }

}  // namespace scanlink::platform
