#include "transport/trace.h"

#include "platform/sync.h"
#include "scanlink/scanlink.h"

namespace scanlink::transport {
namespace {

struct Sink {
  ScanlinkTraceSink fn = nullptr;
  void* context = nullptr;
};

std::atomic<bool> g_enabled{false};
platform::Mutex g_sinkMutex;
Sink g_sink;

}  // namespace

bool TraceEnabled() { return g_enabled.load(std::memory_order_relaxed); }

void MyTrace(const char* text) {
  if (!TraceEnabled() || text == nullptr) return;
  Sink sink;
  {
    platform::LockGuard guard(g_sinkMutex);
    sink = g_sink;
  }
  if (sink.fn != nullptr) sink.fn(text, sink.context);
}

}  // namespace scanlink::transport

void ScanlinkSetTraceSink(ScanlinkTraceSink sink, void* context) {
  using namespace scanlink::transport;
  scanlink::platform::LockGuard guard(g_sinkMutex);
  g_sink.fn = sink;
  g_sink.context = context;
  g_enabled.store(sink != nullptr, std::memory_order_relaxed);
}
