#include "transport/trace.h"

#include <cstdint>

#include "platform/sync.h"
#include "scanlink/scanlink.h"
#include "transport/library_state.h"

namespace scanlink::transport {
namespace {

struct Sink {
  ScanlinkTraceSink fn = nullptr;
  void* context = nullptr;
};

std::atomic<bool> g_enabled{false};
platform::Mutex g_sinkMutex;
platform::ConditionVariable g_sinkIdle;
Sink g_sink;
// Sink calls in progress, by the installation they started under: replacing the sink waits for
// the calls of the ones before, so their context may be released as soon as it returns.
uint64_t g_installation = 0;
uint64_t g_olderCalls = 0;         // calls started before the latest installation
uint64_t g_currentCalls = 0;       // calls started under it
thread_local int t_callsHere = 0;  // calls in progress on this thread (a sink may trace)

}  // namespace

bool TraceEnabled() { return g_enabled.load(std::memory_order_relaxed); }

void MyTrace(const char* text) {
  if (!TraceEnabled() || text == nullptr) return;
  Sink sink;
  uint64_t installation;
  {
    platform::LockGuard guard(g_sinkMutex);
    sink = g_sink;
    if (sink.fn == nullptr) return;
    installation = g_installation;
    ++g_currentCalls;
  }
  ++t_callsHere;
  sink.fn(text, sink.context);
  --t_callsHere;
  platform::LockGuard guard(g_sinkMutex);
  if (installation == g_installation) {
    --g_currentCalls;
  } else {
    --g_olderCalls;
  }
  g_sinkIdle.notify_all();
}

bool TraceWanted(const LibraryState& lib, int level) { return lib.diag.TraceWanted(level); }

void MyTrace(LibraryState& lib, int level, const char* text) {
  if (!lib.diag.TraceWanted(level)) return;
  if (lib.diag.first()) {
    lib.diag.Trace(level, text, nullptr);
    return;
  }
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, "session %d (%.31s:%d): ", lib.diag.id(),
                lib.values.hostAddr, LoadGlobal(*lib.values.tcpPort));
  lib.diag.Trace(level, text, prefix);
}

void InstallTraceSink(ScanlinkTraceSink sink, void* context) {
  platform::LockGuard guard(g_sinkMutex);
  g_sink.fn = sink;
  g_sink.context = context;
  g_enabled.store(sink != nullptr, std::memory_order_relaxed);
  ++g_installation;
  g_olderCalls += g_currentCalls;
  g_currentCalls = 0;
}

void WaitForReplacedTraceSinks() {
  platform::UniqueLock<platform::Mutex> lock(g_sinkMutex);
  // Calls of this thread (a sink replacing itself) cannot end while it waits here; a later
  // installation on another thread may also wait for calls of the one made here, which is fine.
  const uint64_t mine = static_cast<uint64_t>(t_callsHere);
  g_sinkIdle.wait(lock, [&] { return g_olderCalls <= mine; });
}

}  // namespace scanlink::transport
