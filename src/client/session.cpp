#include "client/session.h"

#include <new>

#include "transport/engine.h"

namespace scanlink::client {

transport::CMyPcCommSocket* Session::BuildEngine(const transport::Timings& timings) {
  auto* engine = new (std::nothrow) transport::CMyPcCommSocket(state.ReadyForEngine(), timings);
  engine_.store(engine, std::memory_order_release);
  return engine;
}

void Session::DestroyEngine() {
  delete engine();
  engine_.store(nullptr, std::memory_order_release);
}

}  // namespace scanlink::client
