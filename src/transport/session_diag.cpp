#include "transport/session_diag.h"

#include <cstdio>

#include "transport/trace.h"

namespace scanlink::transport {
namespace {

std::atomic<int> g_nextSessionId{1};

}  // namespace

SessionDiagnostics::SessionDiagnostics() : id_(0) {}

SessionDiagnostics::SessionDiagnostics(bool first)
    : id_(first ? 0 : g_nextSessionId.fetch_add(1, std::memory_order_relaxed)) {}

void* SessionDiagnostics::SetTrace(SessionTraceFn fn, void* context, int level) {
  void* old = trace_.Replace(fn, context, [&] {
    traceLevel_.store(fn != nullptr ? level : 0, std::memory_order_relaxed);
  });
  trace_.WaitForReplaced();
  return old;
}

void* SessionDiagnostics::SetTap(SessionTapFn fn, void* context) {
  platform::LockGuard guard(tapMutex_);
  void* old = tapContext_;
  tapFn_ = fn;
  tapContext_ = context;
  tapSet_.store(fn != nullptr, std::memory_order_relaxed);
  return old;
}

bool SessionDiagnostics::TraceWanted(int level) const {
  const int own = traceLevel_.load(std::memory_order_relaxed);
  return own > 0 ? level <= own : TraceEnabled();
}

void SessionDiagnostics::Trace(int level, const char* text, const char* prefix) {
  if (text == nullptr || !TraceWanted(level)) return;
  if (trace_.Call([&](SessionTraceFn fn, void* context) {
        if (level <= traceLevel_.load(std::memory_order_relaxed)) fn(context, level, text);
      })) {
    return;
  }
  if (first() || prefix == nullptr) return MyTrace(text);
  char line[320];
  std::snprintf(line, sizeof line, "%s%s", prefix, text);
  MyTrace(line);
}

bool SessionDiagnostics::TapWanted() const { return tapSet_.load(std::memory_order_relaxed); }

void SessionDiagnostics::Tap(int direction, int channel, const uint8_t* bytes, size_t length) {
  platform::LockGuard guard(tapMutex_);
  if (tapFn_ == nullptr) return;
  // Reads are at most 4096 bytes and frames at most 2056: the length fits an int.
  tapFn_(tapContext_, direction, channel, bytes, static_cast<int>(length));
}

}  // namespace scanlink::transport
