#include "transport/trace.h"

#include "platform/sync.h"
#include "scanlink/scanlink.h"
#include "transport/library_state.h"

namespace scanlink::transport {
namespace {

std::atomic<bool> g_enabled{false};
ReplaceableSink<ScanlinkTraceSink> g_sink;

}  // namespace

bool TraceEnabled() { return g_enabled.load(std::memory_order_relaxed); }

void MyTrace(const char* text) {
  if (!TraceEnabled() || text == nullptr) return;
  g_sink.Call([&](ScanlinkTraceSink fn, void* context) { fn(text, context); });
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
  g_sink.Replace(sink, context,
                 [&] { g_enabled.store(sink != nullptr, std::memory_order_relaxed); });
}

void WaitForReplacedTraceSinks() { g_sink.WaitForReplaced(); }

}  // namespace scanlink::transport
