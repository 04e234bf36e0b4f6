// The trace sink: every diagnostic text of the library goes through MyTrace. Nothing is
// formatted unless the application installed a sink.
#pragma once

#include <cstdio>

#include "scanlink/scanlink.h"
#include "transport/session_diag.h"

namespace scanlink::transport {

struct LibraryState;

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

// A session's trace: its own sink, or the process's naming the session (see session_diag.h).
bool TraceWanted(const LibraryState& lib, int level);
void MyTrace(LibraryState& lib, int level, const char* text);

template <typename... Args>
void TraceF(LibraryState& lib, int level, const char* format, Args... args) {
  if (!TraceWanted(lib, level)) return;
  char text[256];
  std::snprintf(text, sizeof text, format, args...);
  MyTrace(lib, level, text);
}

}  // namespace scanlink::transport
