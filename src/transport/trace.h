// The trace sink: every diagnostic text of the library goes through MyTrace. Nothing is
// formatted unless the application installed a sink.
#pragma once

#include <atomic>
#include <cstdio>

namespace scanlink::transport {

bool TraceEnabled();
void MyTrace(const char* text);

// printf-style trace, formatted only when a sink is installed.
template <typename... Args>
void TraceF(const char* format, Args... args) {
  if (!TraceEnabled()) return;
  char text[256];
  std::snprintf(text, sizeof text, format, args...);
  MyTrace(text);
}

}  // namespace scanlink::transport
