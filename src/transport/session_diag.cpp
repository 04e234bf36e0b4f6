#include "transport/session_diag.h"

#include <cstdio>

#include "transport/trace.h"

namespace scanlink::transport {
namespace {

std::atomic<int> g_nextSessionId{1};

// The session sinks this thread is calling, innermost first: a sink that replaces its own
// session's sink must not wait for its own call.
struct CallMark {
  const SessionDiagnostics* owner;
  CallMark* outer;
};
thread_local CallMark* t_calls = nullptr;

uint64_t CallsHere(const SessionDiagnostics* owner) {
  uint64_t n = 0;
  for (const CallMark* m = t_calls; m != nullptr; m = m->outer) n += m->owner == owner ? 1 : 0;
  return n;
}

}  // namespace

SessionDiagnostics::SessionDiagnostics() : id_(0) {}

SessionDiagnostics::SessionDiagnostics(bool first)
    : id_(first ? 0 : g_nextSessionId.fetch_add(1, std::memory_order_relaxed)) {}

void* SessionDiagnostics::SetTrace(SessionTraceFn fn, void* context, int level) {
  platform::UniqueLock<platform::Mutex> lock(traceMutex_);
  void* old = traceContext_;
  traceFn_ = fn;
  traceContext_ = context;
  traceLevel_.store(fn != nullptr ? level : 0, std::memory_order_relaxed);
  ++installation_;
  olderCalls_ += currentCalls_;
  currentCalls_ = 0;
  const uint64_t mine = CallsHere(this);
  traceIdle_.wait(lock, [&] { return olderCalls_ <= mine; });
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
  SessionTraceFn fn;
  void* context;
  uint64_t installation;
  {
    platform::LockGuard guard(traceMutex_);
    fn = traceFn_;
    context = traceContext_;
    installation = installation_;
    if (fn != nullptr) ++currentCalls_;
  }
  if (fn == nullptr) {
    if (first() || prefix == nullptr) {
      MyTrace(text);
      return;
    }
    char line[320];
    std::snprintf(line, sizeof line, "%s%s", prefix, text);
    MyTrace(line);
    return;
  }
  if (level <= traceLevel_.load(std::memory_order_relaxed)) {
    CallMark mark{this, t_calls};
    t_calls = &mark;
    fn(context, level, text);
    t_calls = mark.outer;
  }
  platform::LockGuard guard(traceMutex_);
  if (installation == installation_) {
    --currentCalls_;
  } else {
    --olderCalls_;
  }
  traceIdle_.notify_all();
}

bool SessionDiagnostics::TapWanted() const { return tapSet_.load(std::memory_order_relaxed); }

void SessionDiagnostics::Tap(int direction, int channel, const uint8_t* bytes, size_t length) {
  platform::LockGuard guard(tapMutex_);
  if (tapFn_ == nullptr) return;
  // Reads are at most 4096 bytes and frames at most 2056: the length fits an int.
  tapFn_(tapContext_, direction, channel, bytes, static_cast<int>(length));
}

}  // namespace scanlink::transport
