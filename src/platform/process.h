// The host process: its id and the message a user sees when something needs their attention.
#pragma once

#include <cstdint>

namespace scanlink::platform {

uint32_t ProcessId();
// Shown to the user: a message box where the system can show one, else standard error. UTF-8.
void UserMessage(const char* text);
// One line on the standard error stream.
void ConsoleMessage(const char* text);

}  // namespace scanlink::platform
