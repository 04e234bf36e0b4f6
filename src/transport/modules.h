// The modules of one engine: who is registered, and the delivery of one received frame to them
// (transaction matching, broadcast, counters). The engine's threads call it with the library
// lock held; it opens nothing and waits for nothing.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/event.h"
#include "scanlink/scanlink.h"
#include "transport/library_state.h"
#include "transport/pools.h"

namespace scanlink::transport {

// Registered modules hear frames and notices only while their active flag is 1; the application
// may clear it from its own threads.
inline bool IsActiveModule(const CMyPcCommInterface* module) {
  return module != nullptr &&
         std::atomic_ref<const unsigned char>(module->bActive).load(std::memory_order_relaxed) == 1;
}

class ModuleRegistry {
 public:
  // closing is the engine's cancel event: once set, deliveries under way stop.
  ModuleRegistry(LibraryState& state, int replyTimeoutMs, const platform::Event& closing)
      : lib_(state), replyTimeoutMs_(replyTimeoutMs), closing_(closing) {}
  ModuleRegistry(const ModuleRegistry&) = delete;
  ModuleRegistry& operator=(const ModuleRegistry&) = delete;

  // Registration (callers hold the library lock).
  uint8_t RegisterModule(CMyPcCommInterface* module, uint8_t mode);
  void RegisterAlarmModule(CMyPcCommInterface* module, uint8_t mode);
  // A request goes out only on behalf of a module registered under that id and active.
  bool IsRegisteredActive(uint8_t moduleId) const;

  // Delivery of one whole frame (callers hold the library lock).
  void MyDispatchData(const uint8_t* frame, int32_t length);

  // Calls deliver(node) for every module registered and active when the broadcast started that
  // is still registered when its turn comes: a callback may change the registrations. Stops once
  // the engine is closing. Callers hold the library lock. True when a module was served.
  template <typename F>
  bool Broadcast(F&& deliver);

  // Gives back the ids of requests sent on links up to that generation, which no reply can
  // reach any more; callers hold the library lock.
  void ReclaimTransactions(uint32_t generation);
  // Frees the ids of requests unanswered for longer than the reply bound; callers hold the
  // library lock.
  void ReclaimExpired();
  // The session's reply bound, else the engine's.
  int ReplyTimeoutMs() const {
    const int session = lib_.replyTimeoutMs.load(std::memory_order_relaxed);
    return session > 0 ? session : replyTimeoutMs_;
  }

 private:
  bool Closing() const { return closing_.IsSet(); }
  // Takes a registered module off the list and frees its id.
  void Unregister(ObjectNode* node);

  LibraryState& lib_;
  const int replyTimeoutMs_;
  const platform::Event& closing_;
};

// Marks this thread, for a scope, as running an application callback of a session whose
// callbacks run under a lock other than the first session's (a C session's handlers).
class CallbackScope {
 public:
  CallbackScope();
  ~CallbackScope();
  CallbackScope(const CallbackScope&) = delete;
  CallbackScope& operator=(const CallbackScope&) = delete;
};

// True while this thread runs a callback opened with a CallbackScope (a C session's handlers).
// Such a thread must not wait for another engine's threads: they may be waiting for it. The
// first session's callbacks are known by its lock instead (client/first_session.h).
bool InsideAnyCallback();

template <typename F>
bool ModuleRegistry::Broadcast(F&& deliver) {
  ObjectTable& objects = lib_.objects;
  CMyPcCommInterface* targets[ObjectTable::kSize];
  int count = 0;
  for (ObjectNode* node = objects.Head(); node != nullptr && count < ObjectTable::kSize;
       node = node->pNext) {
    targets[count++] = node->pInterface;
  }
  bool served = false;
  for (int i = 0; i < count && !Closing(); ++i) {
    // Looked up again: the slot of a module that left may already hold another one.
    ObjectNode* node = objects.Find(targets[i]);
    if (node == nullptr) continue;
    served = deliver(node) || served;
  }
  return served;
}

}  // namespace scanlink::transport
