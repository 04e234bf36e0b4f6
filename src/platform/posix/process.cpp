#include "platform/process.h"

#include <unistd.h>

#include <cstdio>

namespace scanlink::platform {

uint32_t ProcessId() { return static_cast<uint32_t>(getpid()); }

void UserMessage(const char* text) { ConsoleMessage(text); }

void ConsoleMessage(const char* text) { std::fprintf(stderr, "%s\n", text); }

}  // namespace scanlink::platform
