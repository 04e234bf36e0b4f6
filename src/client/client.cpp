// The client object: lifecycle, registration, alarm module, sends, trace and verify.
#include <atomic>
#include <utility>
#include <vector>

#include "codec/codec.h"
#include "codec/gps_check.h"
#include "scanlink/scanlink.h"
#include "transport/engine.h"
#include "transport/library_state.h"
#include "transport/trace.h"

using scanlink::platform::RecursiveMutex;
using scanlink::platform::ScopedLock;
using scanlink::transport::CMyPcCommSocket;
using scanlink::transport::Library;

namespace {

// Clients and their copies share the one engine; the last one gone destroys it. Counting and
// taking the engine happen under g_lifecycle; creating and deleting it happen outside, with
// g_busy raised (both take the library lock, which a callback that creates or destroys a
// client holds while it waits for g_lifecycle).
scanlink::platform::Mutex g_lifecycle;
scanlink::platform::ConditionVariable g_lifecycleIdle;
int g_clients = 0;
bool g_busy = false;  // an engine is being created or deleted
// Engines whose last client went inside one of their callbacks: closed, threads ending, to be
// deleted by the next client created outside a callback.
std::vector<CMyPcCommSocket*> g_abandoned;

CMyPcCommSocket* Engine() { return Library().engine.load(std::memory_order_acquire); }

// A callback runs with the library lock held, on one of the library's threads.
bool InsideCallback() { return Library().lock.held_by_me(); }

void ClearFlagsOfAnEngineGone() {
  scanlink::transport::StoreGlobal(gInitFinishFlag, 0);
  scanlink::transport::StoreGlobal(gFirstConnFlag, 0);
}

// Deletes `engines` with g_busy raised; `lock` is released meanwhile.
void DeleteEngines(std::vector<CMyPcCommSocket*> engines,
                   scanlink::platform::UniqueLock<scanlink::platform::Mutex>& lock) {
  if (engines.empty()) return;
  g_busy = true;
  lock.unlock();
  // The engine's work ends first, publishing nothing; only then are the flags cleared, so no
  // bring-up or reconnection still running can set them again.
  for (CMyPcCommSocket* engine : engines) delete engine;
  ClearFlagsOfAnEngineGone();
  lock.lock();
  g_busy = false;
  g_lifecycleIdle.notify_all();
}

}  // namespace

CMyPcCommSocketClient::CMyPcCommSocketClient() : nModuleID(0) {
  auto& lib = Library();
  const bool inCallback = InsideCallback();
  scanlink::platform::UniqueLock<scanlink::platform::Mutex> lock(g_lifecycle);
  ++g_clients;
  if (!inCallback) {
    // An engine still being deleted is waited for: its teardown clears the flags.
    g_lifecycleIdle.wait(lock, [] { return !g_busy; });
    DeleteEngines(std::exchange(g_abandoned, {}), lock);
    g_lifecycleIdle.wait(lock, [] { return !g_busy; });
  }
  if (lib.engine.load() != nullptr) return;
  if (g_busy || !g_abandoned.empty()) {
    // Inside a callback of the engine going away: no second engine beside it.
    scanlink::transport::MyTrace(
        "CMyPcCommSocketClient(): The last engine is still being released, this client has no "
        "connection!");
    return;
  }
  g_busy = true;
  lock.unlock();
  CMyPcCommSocket* engine = new CMyPcCommSocket;
  lock.lock();
  lib.engine.store(engine, std::memory_order_release);
  g_busy = false;
  g_lifecycleIdle.notify_all();
}

CMyPcCommSocketClient::CMyPcCommSocketClient(const CMyPcCommSocketClient& other)
    : nModuleID(other.nModuleID) {
  scanlink::platform::LockGuard guard(g_lifecycle);
  ++g_clients;
}

CMyPcCommSocketClient& CMyPcCommSocketClient::operator=(const CMyPcCommSocketClient& other) {
  nModuleID = other.nModuleID;
  return *this;
}

CMyPcCommSocketClient::~CMyPcCommSocketClient() {
  const bool inCallback = InsideCallback();
  scanlink::platform::UniqueLock<scanlink::platform::Mutex> lock(g_lifecycle);
  if (--g_clients != 0) return;
  CMyPcCommSocket* engine = Library().engine.exchange(nullptr, std::memory_order_acq_rel);
  if (engine == nullptr) return;
  if (inCallback) {
    // Deleting here would wait for the library's threads, this one among them, or free what the
    // callback's caller still uses: the connection closes now, the rest waits for the next
    // client.
    scanlink::transport::MyTrace(
        "~CMyPcCommSocketClient(): The last client is destroyed inside a callback, the connection "
        "is closed and the engine released by the next client!");
    engine->Abandon();
    g_abandoned.push_back(engine);
    ClearFlagsOfAnEngineGone();
    return;
  }
  DeleteEngines({engine}, lock);
}

int CMyPcCommSocketClient::ClientInitPcComm() {
  CMyPcCommSocket* engine = Engine();
  if (engine == nullptr) {
    scanlink::transport::MyTrace("ClientInitPcComm(): This client has no engine!");
    return 1;
  }
  return engine->InitPcComm();
}

bool CMyPcCommSocketClient::ExitConnection() {
  if (CMyPcCommSocket* engine = Engine()) engine->MyClose();
  return true;
}

bool CMyPcCommSocketClient::ClientRegisterModule(CMyPcCommInterface* module, unsigned char mode) {
  CMyPcCommSocket* engine = Engine();
  if (engine == nullptr) return false;
  uint8_t result;
  {
    ScopedLock<RecursiveMutex> guard(Library().lock);
    result = engine->RegisterModule(module, mode);
  }
  if (result == 0) return false;
  nModuleID = result;
  return true;
}

bool CMyPcCommSocketClient::ClientRegisterModuleAlarm(CMyPcCommInterface* module,
                                                      unsigned char mode) {
  CMyPcCommSocket* engine = Engine();
  if (engine == nullptr) return true;
  ScopedLock<RecursiveMutex> guard(Library().lock);
  engine->RegisterAlarmModule(module, mode);
  return true;
}

int CMyPcCommSocketClient::ClientSendMessage(CMyPcCommMessage& message) {
  CMyPcCommSocket* engine = Engine();
  if (engine == nullptr) return 0;
  // Not under the library lock: a send waiting for room must not hold up the listening thread.
  return engine->MySendMessage(message, nModuleID);
}

int CMyPcCommSocketClient::SendMessageW(CCmdManage* command) {
  if (command == nullptr) return 0;
  unsigned char frame[scanlink::codec::kCommandFrameSize] = {};
  const size_t total = scanlink::codec::encode_command(*command, frame, sizeof frame);
  if (total < scanlink::codec::kHeaderSize) {
    scanlink::transport::MyTrace("SendMessageW(): The command does not fit a frame!");
    return 0;
  }
  CMyPcCommMessage message(command->nCode, static_cast<uint16_t>(total - 8), command->nTransID,
                           frame + 8);
  return ClientSendMessage(message);
}

int CMyPcCommSocketClient::ClientSendAlarmMessage(char* data, int length) {
  CMyPcCommSocket* engine = Engine();
  if (engine == nullptr) return -1;
  ScopedLock<RecursiveMutex> guard(Library().lock);
  return engine->SendAlarm(data, length);
}

void CMyPcCommSocketClient::ClientTrace(char* text) {
  ScopedLock<RecursiveMutex> guard(Library().lock);
  scanlink::transport::MyTrace(text);
}

bool CMyPcCommSocketClient::ClientVerifyProc() { return true; }

int CMyPcCommSocketClient::SetBSList(_BSCellInfo* list, int count) {
  return scanlink::codec::library_stations().SetList(list, count);
}

int CMyPcCommSocketClient::SetGpsMismatchLimit(int limit) {
  return scanlink::codec::library_stations().SetMismatchLimit(limit);
}
