#include "platform/process.h"

#include <windows.h>

namespace scanlink::platform {

uint32_t ProcessId() { return GetCurrentProcessId(); }

}  // namespace scanlink::platform
