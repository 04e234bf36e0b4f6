// The transport engine: sockets and bring-up, the worker threads, dispatch, the send path and
// link supervision. One exists at a time, created and destroyed by the client.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/event.h"
#include "platform/socket.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "scanlink/scanlink.h"
#include "transport/pools.h"

namespace scanlink::transport {

class CMyPcCommSocket {
 public:
  // The protocol's timings, and the bounds of the waits it leaves open. Tests that break the
  // link hundreds of times shorten them; applications keep the defaults.
  struct Timings {
    int retryPauseMs = 1000;      // before each delayed connect attempt
    int supervisionMs = 300;      // link supervision's poll
    int probeTimeoutMs = 500;     // each echo exchange
    int connectTimeoutMs = 3000;  // one connect attempt
    int sendWaitMs = 3000;        // a full send buffer before the link counts as lost
  };

  CMyPcCommSocket();
  virtual ~CMyPcCommSocket();
  CMyPcCommSocket(const CMyPcCommSocket&) = delete;
  CMyPcCommSocket& operator=(const CMyPcCommSocket&) = delete;

  // Bring-up and teardown.
  int InitPcComm();
  bool MyOpen();
  bool MyConnect();
  bool MyConnectAlarm();
  void MyClose();
  bool ReachabilityProbe();
  static uint16_t IcmpChecksum(const uint8_t* data, size_t size);
  // The 48-byte echo request of one probe exchange, checksum in bytes 4-5.
  static void BuildEchoRequest(uint8_t* packet, uint16_t processId, uint16_t sequence,
                               uint32_t tick);

  // Registration (callers hold the library lock).
  uint8_t RegisterModule(CMyPcCommInterface* module, uint8_t mode);
  void RegisterAlarmModule(CMyPcCommInterface* module, uint8_t mode);
  int SendAlarm(const char* data, int length);

  // Send path (callers hold the library lock).
  uint16_t MySendMessage(CMyPcCommMessage& message, uint8_t moduleId);
  int MySendAll(const uint8_t* data, int32_t count);

  // Dispatch of one whole frame (callers hold the library lock).
  void MyDispatchData(const uint8_t* frame, int32_t length);

  // Link supervision.
  void StartLinkMaintain();
  int ReInitPcComm();
  void SendLinkStatus(int status);
  void NotifyConnectMsg(bool connected);

  bool Closed() const { return cancel_.IsSet(); }
  void SetTimings(const Timings& timings) { timings_ = timings; }
  bool LinkMaintainRunning() const { return maintain_.Running(); }

  int nConnectOK = 0;
  int nConnectRetry = 0;

 private:
  struct Link;

  void ListenThreadProc(Link* link);
  void MsgProcThreadProc(platform::Event* stop);
  void LinkMaintainProc();
  // Takes the current link out of service: stop events signalled, sockets shut down. Its
  // threads are joined and its sockets closed by ReapRetired.
  void RetireLink();
  // Joins retired links' threads and destroys them; the caller holds bringUp_.
  void ReapRetired();
  Link* CurrentLink();
  void FinishLink(Link& link);
  bool MayJoinWorkers() const;
  void ReclaimTransactions(uint32_t generation);

  // Registered first and released last: every socket of the engine lives inside it.
  platform::SocketLibrary sockets_;
  std::unique_ptr<Link> link_;  // replaced under the library lock
  platform::Mutex retiredMutex_;
  std::vector<std::unique_ptr<Link>> retired_;
  // One bring-up at a time, whoever starts it.
  platform::Mutex bringUp_;
  uint32_t nextGeneration_ = 1;
  Timings timings_;

  platform::SocketLibrary probeSockets_;  // the probe's own registration, as long as sockIcmp
  platform::IcmpSocket sockIcmp;
  platform::Event cancel_;        // set by MyClose and the destructor
  platform::Event maintainStop_;  // ends the link maintain process
  platform::Thread maintain_;
};

}  // namespace scanlink::transport
