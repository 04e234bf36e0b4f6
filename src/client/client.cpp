// The client object: lifecycle, registration, alarm module, sends, trace and verify.
#include <atomic>
#include <utility>
#include <vector>

#include "client/first_session.h"
#include "client/operations.h"
#include "codec/codec.h"
#include "codec/gps_check.h"
#include "scanlink/scanlink.h"
#include "transport/engine.h"
#include "transport/library_state.h"
#include "transport/trace.h"

using scanlink::client::FirstSession;
using scanlink::client::FirstState;
using scanlink::platform::RecursiveMutex;
using scanlink::platform::ScopedLock;
using scanlink::transport::CMyPcCommSocket;

namespace {

using scanlink::client::FirstSessionClients;
FirstSessionClients& Clients() { return scanlink::client::FirstClients(); }

CMyPcCommSocket* Engine() { return FirstSession().engine(); }

// The operations of this client: the first session, under the client's module id.
scanlink::client::Operations OperationsOf(const CMyPcCommSocketClient& client) {
  return scanlink::client::Operations(Engine(), FirstState(), client.nModuleID);
}

// A callback runs with the library lock held, on one of the library's threads.
bool InsideCallback() { return scanlink::client::InsideFirstSessionCallback(); }

void ClearFlagsOfAnEngineGone() {
  scanlink::transport::StoreGlobal(gInitFinishFlag, 0);
  scanlink::transport::StoreGlobal(gFirstConnFlag, 0);
}

// Destroys `engines` with `busy` raised; `lock` (Clients().lock) is released meanwhile.
void DestroyEngines(std::vector<CMyPcCommSocket*> engines,
                    scanlink::platform::UniqueLock<scanlink::platform::Mutex>& lock) {
  if (engines.empty()) return;
  FirstSessionClients& clients = Clients();
  clients.busy = true;
  lock.unlock();
  // The engine's work ends first, publishing nothing; only then are the flags cleared, so no
  // bring-up or reconnection still running can set them again.
  for (CMyPcCommSocket* engine : engines) delete engine;
  ClearFlagsOfAnEngineGone();
  lock.lock();
  clients.busy = false;
  clients.idle.notify_all();
}

}  // namespace

CMyPcCommSocketClient::CMyPcCommSocketClient() : nModuleID(0) {
  FirstSessionClients& clients = Clients();
  const bool inCallback = InsideCallback();
  scanlink::platform::UniqueLock<scanlink::platform::Mutex> lock(clients.lock);
  ++clients.count;
  if (!inCallback) {
    // An engine still being destroyed is waited for: its teardown clears the flags.
    clients.idle.wait(lock, [&] { return !clients.busy; });
    DestroyEngines(std::exchange(clients.abandoned, {}), lock);
    clients.idle.wait(lock, [&] { return !clients.busy; });
  }
  if (Engine() != nullptr) return;
  if (clients.busy || !clients.abandoned.empty()) {
    // Inside a callback of the engine going away: no second engine beside it.
    scanlink::transport::MyTrace(
        FirstState(), scanlink::transport::kTraceError,
        "CMyPcCommSocketClient(): The last engine is still being released, this client has no "
        "connection!");
    return;
  }
  clients.busy = true;
  lock.unlock();
  FirstSession().BuildEngine(scanlink::client::FirstSessionTimings());
  lock.lock();
  clients.busy = false;
  clients.idle.notify_all();
}

CMyPcCommSocketClient::CMyPcCommSocketClient(const CMyPcCommSocketClient& other)
    : nModuleID(other.nModuleID) {
  FirstSessionClients& clients = Clients();
  scanlink::platform::LockGuard guard(clients.lock);
  ++clients.count;
}

CMyPcCommSocketClient& CMyPcCommSocketClient::operator=(const CMyPcCommSocketClient& other) {
  nModuleID = other.nModuleID;
  return *this;
}

CMyPcCommSocketClient::~CMyPcCommSocketClient() {
  FirstSessionClients& clients = Clients();
  const bool inCallback = InsideCallback();
  scanlink::platform::UniqueLock<scanlink::platform::Mutex> lock(clients.lock);
  if (--clients.count != 0) return;
  CMyPcCommSocket* engine = FirstSession().TakeEngine();
  if (engine == nullptr) return;
  if (inCallback) {
    // Destroying here would wait for the library's threads, this one among them, or free what
    // the callback's caller still uses: the engine is abandoned (closed now), the rest waits for
    // the next client.
    scanlink::transport::MyTrace(
        FirstState(), scanlink::transport::kTraceWarning,
        "~CMyPcCommSocketClient(): The last client is destroyed inside a callback, the connection "
        "is closed and the engine released by the next client!");
    engine->Abandon();
    clients.abandoned.push_back(engine);
    ClearFlagsOfAnEngineGone();
    return;
  }
  DestroyEngines({engine}, lock);
}

int CMyPcCommSocketClient::ClientInitPcComm() {
  CMyPcCommSocket* engine = Engine();
  if (engine == nullptr) {
    scanlink::transport::MyTrace(FirstState(), scanlink::transport::kTraceError,
                                 "ClientInitPcComm(): This client has no engine!");
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
    ScopedLock<RecursiveMutex> guard(FirstState().lock);
    result = engine->modules().RegisterModule(module, mode);
  }
  if (result == 0) return false;
  nModuleID = result;
  return true;
}

bool CMyPcCommSocketClient::ClientRegisterModuleAlarm(CMyPcCommInterface* module,
                                                      unsigned char mode) {
  CMyPcCommSocket* engine = Engine();
  if (engine == nullptr) return true;
  ScopedLock<RecursiveMutex> guard(FirstState().lock);
  engine->modules().RegisterAlarmModule(module, mode);
  return true;
}

int CMyPcCommSocketClient::ClientSendMessage(CMyPcCommMessage& message) {
  return OperationsOf(*this).ClientSendMessage(message);
}

int CMyPcCommSocketClient::SendMessageW(CCmdManage* command) {
  return OperationsOf(*this).SendMessageW(command);
}

int CMyPcCommSocketClient::ClientSendAlarmMessage(char* data, int length) {
  CMyPcCommSocket* engine = Engine();
  if (engine == nullptr) return -1;
  ScopedLock<RecursiveMutex> guard(FirstState().lock);
  return engine->SendAlarm(data, length);
}

void CMyPcCommSocketClient::ClientTrace(char* text) {
  ScopedLock<RecursiveMutex> guard(FirstState().lock);
  scanlink::transport::MyTrace(FirstState(), scanlink::transport::kTraceInfo, text);
}

bool CMyPcCommSocketClient::ClientVerifyProc() { return true; }

int CMyPcCommSocketClient::SetBSList(_BSCellInfo* list, int count) {
  return scanlink::client::FirstStations().SetList(list, count);
}

int CMyPcCommSocketClient::SetGpsMismatchLimit(int limit) {
  return scanlink::client::FirstStations().SetMismatchLimit(limit);
}

// The scanner commands, on the first session.
int CMyPcCommSocketClient::LoginScaner(char* text1, char* text2) {
  return OperationsOf(*this).LoginScaner(text1, text2);
}
int CMyPcCommSocketClient::ChangePassword(char* text2, char* text1) {
  return OperationsOf(*this).ChangePassword(text2, text1);
}
int CMyPcCommSocketClient::SetWFreqListScanMode(unsigned int listValue1, unsigned int listValue2,
                                                unsigned int listValue3, unsigned int count,
                                                unsigned int* const freqs) {
  return OperationsOf(*this).SetWFreqListScanMode(listValue1, listValue2, listValue3, count, freqs);
}
int CMyPcCommSocketClient::SetWCellListScanMode(unsigned int listValue1, unsigned int listValue2,
                                                unsigned int listValue3, unsigned int count,
                                                unsigned int* const firsts,
                                                unsigned int* const seconds) {
  return OperationsOf(*this).SetWCellListScanMode(listValue1, listValue2, listValue3, count, firsts,
                                                  seconds);
}
int CMyPcCommSocketClient::SetWCDMAScanMode(unsigned int mode, unsigned int value1,
                                            unsigned int value2, unsigned int value3,
                                            unsigned int value4, unsigned int value5,
                                            unsigned int value6, unsigned int value7,
                                            unsigned int value8, bool flag, short int value11,
                                            unsigned int value9, unsigned int value10,
                                            unsigned int value12, unsigned int value13) {
  return OperationsOf(*this).SetWCDMAScanMode(mode, value1, value2, value3, value4, value5, value6,
                                              value7, value8, flag, value11, value9, value10,
                                              value12, value13);
}
int CMyPcCommSocketClient::SetTDSAScanMode(unsigned int sa1, unsigned int sa2,
                                           unsigned int selectorValue, unsigned int sa3,
                                           bool saFlag, short int sa5, unsigned int sa4,
                                           unsigned int selector) {
  return OperationsOf(*this).SetTDSAScanMode(sa1, sa2, selectorValue, sa3, saFlag, sa5, sa4,
                                             selector);
}
int CMyPcCommSocketClient::SetTDCellListScanMode(unsigned int selectorValue,
                                                 unsigned int* const firsts,
                                                 unsigned int* const seconds, unsigned int count,
                                                 unsigned int selector, bool fingerTest,
                                                 unsigned int trailing) {
  return OperationsOf(*this).SetTDCellListScanMode(selectorValue, firsts, seconds, count, selector,
                                                   fingerTest, trailing);
}
int CMyPcCommSocketClient::SetTDFreqListScanMode(unsigned int selectorValue,
                                                 unsigned int* const freqs, unsigned int count,
                                                 unsigned int selector, bool fingerTest,
                                                 unsigned int trailing) {
  return OperationsOf(*this).SetTDFreqListScanMode(selectorValue, freqs, count, selector,
                                                   fingerTest, trailing);
}
int CMyPcCommSocketClient::SetTDCellSearchScanMode(unsigned int search3, unsigned int search4,
                                                   unsigned int selectorValue, unsigned int search2,
                                                   unsigned int search1, unsigned int selector,
                                                   bool fingerTest) {
  return OperationsOf(*this).SetTDCellSearchScanMode(search3, search4, selectorValue, search2,
                                                     search1, selector, fingerTest);
}
int CMyPcCommSocketClient::SetTDCWScanMode(unsigned int cw1, unsigned int selectorValue,
                                           unsigned int cw2, unsigned int selector) {
  return OperationsOf(*this).SetTDCWScanMode(cw1, selectorValue, cw2, selector);
}
int CMyPcCommSocketClient::SetDpchScanMode(unsigned int selectorValue, unsigned int selector,
                                           unsigned int channel1, unsigned int channel2,
                                           unsigned int channel3, unsigned int channel4,
                                           unsigned int channel5, unsigned int channel6,
                                           unsigned char* const block1,
                                           unsigned char* const block2) {
  return OperationsOf(*this).SetDpchScanMode(selectorValue, selector, channel1, channel2, channel3,
                                             channel4, channel5, channel6, block1, block2);
}
int CMyPcCommSocketClient::SetHsdpaScanMode(unsigned int selectorValue, unsigned int selector,
                                            unsigned int channel1, unsigned int channel2,
                                            unsigned int channel3, unsigned int channel4,
                                            unsigned int channel5, unsigned int channel6,
                                            unsigned char* const block1,
                                            unsigned char* const block2) {
  return OperationsOf(*this).SetDpchScanMode(selectorValue, selector, channel1, channel2, channel3,
                                             channel4, channel5, channel6, block1, block2);
}
int CMyPcCommSocketClient::SetHsupaScanMode(unsigned int selectorValue, unsigned int selector,
                                            unsigned int channel1, unsigned int channel2,
                                            unsigned int channel3, unsigned int channel4,
                                            unsigned int channel5, unsigned int channel6,
                                            unsigned char* const block1,
                                            unsigned char* const block2) {
  return OperationsOf(*this).SetDpchScanMode(selectorValue, selector, channel1, channel2, channel3,
                                             channel4, channel5, channel6, block1, block2);
}
int CMyPcCommSocketClient::SetMbmsScanMode(unsigned int selectorValue, unsigned int selector,
                                           unsigned int channel12, unsigned int channel3,
                                           unsigned int channel4, unsigned int channel5,
                                           unsigned int channel6, unsigned char* const block1,
                                           unsigned char* const block2) {
  return OperationsOf(*this).SetDpchScanMode(selectorValue, selector, channel12, channel12,
                                             channel3, channel4, channel5, channel6, block1,
                                             block2);
}
int CMyPcCommSocketClient::GetScanMode(void) { return OperationsOf(*this).GetScanMode(); }
int CMyPcCommSocketClient::GetScanerVersion(void) { return OperationsOf(*this).GetScanerVersion(); }
int CMyPcCommSocketClient::ResetScaner(void) { return OperationsOf(*this).ResetScaner(); }
int CMyPcCommSocketClient::StopScanData(void) { return OperationsOf(*this).StopScanData(); }
int CMyPcCommSocketClient::StartScanData(void) { return OperationsOf(*this).StartScanData(); }
int CMyPcCommSocketClient::SetScanerMACAddress(char* text) {
  return OperationsOf(*this).SetScanerMACAddress(text);
}
int CMyPcCommSocketClient::SetScanerIPAddress(char* text) {
  return OperationsOf(*this).SetScanerIPAddress(text);
}
int CMyPcCommSocketClient::QueryBattery(void) { return OperationsOf(*this).QueryBattery(); }
int CMyPcCommSocketClient::SetGpsInfoFormat(int value1, int value2) {
  return OperationsOf(*this).SetGpsInfoFormat(value1, value2);
}
