// A session's own trace sink and wire tap, and the identity its texts carry. The first session
// (the original classes) has none of its own: its texts and bytes go to the process's sink and
// tap. Any other session's go to its own sink and tap; without a sink of its own its texts go to
// the process's sink, prefixed with the session, so a reader can tell the scanners apart.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/sync.h"

namespace scanlink::transport {

// How much a trace text matters; a sink set with a level hears that level and the ones above.
enum TraceLevel : int { kTraceError = 1, kTraceWarning = 2, kTraceInfo = 3, kTraceDebug = 4 };

// A call of this thread into a replaceable sink, while it runs; innermost first.
struct SinkCallMark {
  const void* sink;
  SinkCallMark* outer;
};
inline thread_local SinkCallMark* t_sinkCalls = nullptr;

// A sink that may be replaced while calls into it run. Each call counts under the installation
// it started with, so a replacement can wait for the calls into the sinks it replaced: their
// context may be released once that wait returns.
template <typename Fn>
class ReplaceableSink {
 public:
  // Calls call(fn, context) with the sink installed now; false, and no call, when none is.
  template <typename F>
  bool Call(F&& call) {
    Fn fn;
    void* context;
    uint64_t installation;
    {
      platform::LockGuard guard(mutex_);
      if (fn_ == nullptr) return false;
      fn = fn_, context = context_, installation = installation_;
      ++current_;
    }
    SinkCallMark mark{this, t_sinkCalls};
    t_sinkCalls = &mark;
    call(fn, context);
    t_sinkCalls = mark.outer;
    platform::LockGuard guard(mutex_);
    --(installation == installation_ ? current_ : older_);
    idle_.notify_all();
    return true;
  }
  // Installs the sink, with alsoLocked() run under the same lock; returns the old context.
  template <typename F>
  void* Replace(Fn fn, void* context, F&& alsoLocked) {
    platform::LockGuard guard(mutex_);
    void* old = context_;
    fn_ = fn, context_ = context;
    alsoLocked();
    ++installation_;
    older_ += current_;
    current_ = 0;
    return old;
  }
  // Waits for the calls into the sinks replaced, but for calls of this thread (a sink may
  // replace itself); calls into a later replacement's predecessors may be waited for too.
  void WaitForReplaced() {
    platform::UniqueLock<platform::Mutex> lock(mutex_);
    uint64_t mine = 0;
    for (const SinkCallMark* m = t_sinkCalls; m != nullptr; m = m->outer) mine += m->sink == this;
    idle_.wait(lock, [&] { return older_ <= mine; });
  }

 private:
  platform::Mutex mutex_;
  platform::ConditionVariable idle_;
  Fn fn_ = nullptr;
  void* context_ = nullptr;
  uint64_t installation_ = 0;
  uint64_t current_ = 0;  // calls started under the latest installation
  uint64_t older_ = 0;    // calls started before it
};

using SessionTraceFn = void (*)(void* context, int level, const char* text);
using SessionTapFn = void (*)(void* context, int direction, int channel, const uint8_t* bytes,
                              int length);

class SessionDiagnostics {
 public:
  SessionDiagnostics();  // the first session's
  explicit SessionDiagnostics(bool first);
  SessionDiagnostics(const SessionDiagnostics&) = delete;
  SessionDiagnostics& operator=(const SessionDiagnostics&) = delete;

  // 0 for the first session, then 1, 2, ... in the order sessions are made.
  int id() const { return id_; }
  bool first() const { return id_ == 0; }

  // Replace the session's sink (null: none, back to the process's sink) and return the context
  // of the one replaced once no call to it is under way, but for calls of this thread (a sink
  // may replace itself). level 1..4.
  void* SetTrace(SessionTraceFn fn, void* context, int level);
  // Replace the session's tap; returns the old context once no call to it is under way. A tap
  // must not call the library: its calls hold the tap's lock, one at a time.
  void* SetTap(SessionTapFn fn, void* context);

  // Whether a text of that level goes anywhere (nothing is formatted otherwise).
  bool TraceWanted(int level) const;
  // prefix: how the process's sink names the session (ignored for the first session).
  void Trace(int level, const char* text, const char* prefix);
  bool TapWanted() const;
  void Tap(int direction, int channel, const uint8_t* bytes, size_t length);

 private:
  const int id_;
  std::atomic<int> traceLevel_{0};  // 0 without a sink of the session's own
  std::atomic<bool> tapSet_{false};

  ReplaceableSink<SessionTraceFn> trace_;

  platform::Mutex tapMutex_;  // held during each call
  SessionTapFn tapFn_ = nullptr;
  void* tapContext_ = nullptr;
};

}  // namespace scanlink::transport
