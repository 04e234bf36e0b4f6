// The transport engine: sockets and bring-up, the worker threads, dispatch, the send path and
// link supervision. One per session: the original client's engine works on the first session's
// state (Library()), every other session's on its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/event.h"
#include "platform/socket.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "scanlink/scanlink.h"
#include "transport/pools.h"

namespace scanlink::transport {

struct LibraryState;

class CMyPcCommSocket {
 public:
  // The protocol's timings, and the bounds of the waits it leaves open. Tests that break the
  // link hundreds of times shorten them; applications keep the defaults.
  struct Timings {
    int retryPauseMs = 1000;   // before each delayed connect attempt
    int supervisionMs = 300;   // link supervision's poll
    int probeTimeoutMs = 500;  // each echo exchange
    // One connect attempt: long enough for the SYN retransmissions of a lossy link (the third
    // SYN leaves after 3 s on Linux and 9 s on Windows), and cancellable, so teardown stays
    // prompt all the same.
    int connectTimeoutMs = 10000;
    int sendWaitMs = 3000;  // a full send buffer before the link counts as lost
    // A request without a reply for this long gives its transaction id back; a later reply is
    // then an unknown transaction.
    int replyTimeoutMs = 60000;
  };
  // Timings of the first session's engines created from now on (other sessions give theirs
  // when they are opened); an engine keeps its own for its whole life, so none of its threads
  // ever sees them change.
  static void SetTimingsForNewEngines(const Timings& timings);
  static Timings TimingsForNewEngines();

  // How a bring-up ended. A cancelled one (cut short by MyClose or the destructor) publishes
  // nothing and leaves the flags as they were.
  enum class BringUpResult { kUp, kFailedOpen, kFailedConnect, kCancelled };
  // How one reconnection attempt of the supervision ended.
  enum class Attempt { kRestored, kFailed, kCancelled };

  // The first session's engine.
  CMyPcCommSocket();
  // An engine on a session's own state, which must outlive it.
  CMyPcCommSocket(LibraryState& state, const Timings& timings);
  virtual ~CMyPcCommSocket();
  CMyPcCommSocket(const CMyPcCommSocket&) = delete;
  CMyPcCommSocket& operator=(const CMyPcCommSocket&) = delete;

  // Bring-up and teardown.
  int InitPcComm();
  bool MyConnect();
  bool MyConnectAlarm();
  void MyClose();
  // For the last client destroyed inside a callback, where nothing may be waited for: the
  // connection is closed and supervision told to end, without joining a thread. The engine is
  // deleted later, outside any callback.
  void Abandon();
  bool ReachabilityProbe();

  // Registration (callers hold the library lock).
  uint8_t RegisterModule(CMyPcCommInterface* module, uint8_t mode);
  void RegisterAlarmModule(CMyPcCommInterface* module, uint8_t mode);
  int SendAlarm(const char* data, int length);

  // Send path. The transaction id and the link are taken under the library lock; the write,
  // and its wait for room in the socket, happen without it (unless a callback holds it), so the
  // listening thread can always queue what it reads. Writers of one link take turns.
  uint16_t MySendMessage(CMyPcCommMessage& message, uint8_t moduleId);
  // The same for a whole frame its caller has written (header and payload, length bytes at most
  // the largest frame): only the module id and the transaction id are filled in here.
  uint16_t MySendFrame(uint8_t* frame, size_t length, uint8_t moduleId);

  // Dispatch of one whole frame (callers hold the library lock).
  void MyDispatchData(const uint8_t* frame, int32_t length);

  // Link supervision.
  void StartLinkMaintain();
  // Both return false, having published nothing, once the engine is closing or being destroyed.
  bool SendLinkStatus(int status);
  bool NotifyConnectMsg(bool connected);

  // True from MyClose or the start of destruction on: nothing is opened or published any more.
  bool Closed() const { return cancel_.IsSet(); }
  const Timings& timings() const { return timings_; }
  LibraryState& state() const { return lib_; }
  bool LinkMaintainRunning() const { return maintain_.Running(); }
  // The current bring-up's connect bookkeeping; written by the bring-up only.
  int nConnectOK() const { return connectOK_.load(std::memory_order_acquire); }
  int nConnectRetry() const { return connectRetry_.load(std::memory_order_acquire); }

 private:
  struct Link;
  class BringUpLock;
  static constexpr uint32_t kCurrentLink = 0;

  BringUpResult BringUp(const BringUpLock& held);
  bool MyOpen(const BringUpLock& held, uint32_t* generation);
  Attempt ReInitPcComm(const BringUpLock& held);
  // Runs fn under the library lock unless the engine is closing or being destroyed; false
  // then. Every flag, notice and ConnectMsg of the engine goes through it.
  template <typename F>
  bool Publish(F&& fn);
  // Calls deliver(node) for every module registered and active when the broadcast started that
  // is still registered when its turn comes: a callback may change the registrations. Stops once
  // the engine is closing. Callers hold the library lock. True when a module was served.
  template <typename F>
  bool Broadcast(F&& deliver);

  void ListenThreadProc(Link* link);
  void MsgProcThreadProc(platform::Event* stop);
  void LinkMaintainProc();
  // Takes a link out of service (the one of that generation, or whichever is current) and, when
  // this thread may wait for its workers, joins and destroys it and every link retired earlier.
  // Holding the bring-up mutex is what makes destroying links safe: a bring-up uses its link
  // without the library lock.
  void TakeDown(const BringUpLock& held, uint32_t generation);
  // Stop events signalled, sockets shut down, link moved to retired_: no waiting, no lock
  // but the library lock. Only TakeDown and MyClose inside a callback use it.
  void RetireLink(uint32_t generation);
  void ReapRetired(const BringUpLock& held);
  Link* CurrentLink();
  void FinishLink(Link& link);
  bool MayJoinWorkers() const;
  void ReclaimTransactions(uint32_t generation);
  // Frees the ids of requests unanswered for longer than the reply bound; callers hold the
  // library lock.
  void ReclaimExpired();
  int MySendAll(Link* link, const uint8_t* data, int32_t count);
  std::optional<uint32_t> HostAddress() const;
  int SessionLinkTimeoutMs() const;

  LibraryState& lib_;
  // Registered first and released last: every socket of the engine lives inside it.
  platform::SocketLibrary sockets_;
  const Timings timings_;
  std::atomic<int> connectOK_{0};
  std::atomic<int> connectRetry_{0};
  // Replaced under the library lock. Shared with the sends under way on it: a link outlives its
  // last write, whoever drops it last.
  std::shared_ptr<Link> link_;
  platform::Mutex retiredMutex_;
  std::vector<std::shared_ptr<Link>> retired_;
  // One bring-up or teardown at a time, whoever starts it. Re-entrant only so that a callback
  // can be told it runs inside one.
  platform::RecursiveMutex bringUp_;
  uint32_t nextGeneration_ = 1;

  platform::SocketLibrary probeSockets_;  // the probe's own registration, as long as sockIcmp
  platform::IcmpSocket sockIcmp;
  platform::Event cancel_;        // set by MyClose and the destructor
  platform::Event maintainStop_;  // ends the link maintain process
  platform::Thread maintain_;
};

}  // namespace scanlink::transport
