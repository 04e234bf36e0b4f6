// The trace sink: every diagnostic text of the library goes through MyTrace. Nothing is
// formatted unless the application installed a sink.
#pragma once

#include <atomic>
#include <cstdio>

#include "scanlink/scanlink.h"

namespace scanlink::transport {

bool TraceEnabled();
void MyTrace(const char* text);

// ScanlinkSetTraceSink in its two halves, for a caller that must not hold its own lock across
// the wait: the install (no waiting), then the wait for every call of the sinks it replaced,
// but those running on this thread.
void InstallTraceSink(ScanlinkTraceSink sink, void* context);
void WaitForReplacedTraceSinks();

// printf-style trace, formatted only when a sink is installed.
template <typename... Args>
void TraceF(const char* format, Args... args) {
  if (!TraceEnabled()) return;
  char text[256];
  std::snprintf(text, sizeof text, format, args...);
  MyTrace(text);
}

}  // namespace scanlink::transport
