// The client object: lifecycle, registration, alarm module, sends, trace and verify.
#include <atomic>

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

// Clients and their copies share the one engine; the last one gone destroys it.
std::atomic<int> g_clients{0};

CMyPcCommSocket* Engine() { return Library().engine.load(std::memory_order_acquire); }

}  // namespace

CMyPcCommSocketClient::CMyPcCommSocketClient() : nModuleID(0) {
  auto& lib = Library();
  if (g_clients.fetch_add(1) == 0 || lib.engine.load() == nullptr) {
    lib.engine.store(new CMyPcCommSocket, std::memory_order_release);
  }
}

CMyPcCommSocketClient::CMyPcCommSocketClient(const CMyPcCommSocketClient& other)
    : nModuleID(other.nModuleID) {
  g_clients.fetch_add(1);
}

CMyPcCommSocketClient& CMyPcCommSocketClient::operator=(const CMyPcCommSocketClient& other) {
  nModuleID = other.nModuleID;
  return *this;
}

CMyPcCommSocketClient::~CMyPcCommSocketClient() {
  if (g_clients.fetch_sub(1) != 1) return;
  // The engine's work ends first, publishing nothing; only then are the flags cleared, so no
  // bring-up or reconnection still running can set them again.
  delete Library().engine.exchange(nullptr, std::memory_order_acq_rel);
  scanlink::transport::StoreGlobal(gInitFinishFlag, 0);
  scanlink::transport::StoreGlobal(gFirstConnFlag, 0);
}

int CMyPcCommSocketClient::ClientInitPcComm() {
  CMyPcCommSocket* engine = Engine();
  return engine != nullptr ? engine->InitPcComm() : 1;
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
