// The host process: its id and the message a user sees when something needs their attention.
#pragma once

#include <cstdint>

namespace scanlink::platform {

uint32_t ProcessId();
// Shown to the user (standard error here; a message box on a desktop build).
void UserMessage(const char* text);

}  // namespace scanlink::platform
