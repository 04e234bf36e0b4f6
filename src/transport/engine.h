// The transport engine: sockets and bring-up, the worker threads, the send path, link
// supervision and teardown; its module registry (transport/modules.h) registers modules and
// delivers frames. One per session, built on that session's state and timings.
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
#include "transport/modules.h"
#include "transport/pools.h"
#include "transport/timings.h"

namespace scanlink::transport {

struct LibraryState;

class CMyPcCommSocket {
 public:
  using Timings = transport::Timings;

  // How a bring-up ended. A cancelled one (cut short by closing or destroying) publishes
  // nothing and leaves the flags as they were.
  enum class BringUpResult { kUp, kFailedOpen, kFailedConnect, kCancelled, kNoResources };
  // How InitPcComm ended, in its values; kNoResources (a socket, event or thread the system
  // refused) is 1 there, as the original client has no value of its own for it.
  enum class ConnectResult {
    kUp = 0,
    kFailed = 1,
    kFailedConnect = 2,
    kLinkDown = 6,
    kNoResources
  };
  // How one reconnection attempt of the supervision ended.
  enum class Attempt { kRestored, kFailed, kCancelled };

  // An engine on a session's state, which must outlive it and have been made ready for it
  // (LibraryState::ReadyForEngine). It keeps its timings for its whole life, so none of its
  // threads ever sees them change.
  CMyPcCommSocket(LibraryState& state, const Timings& timings);
  virtual ~CMyPcCommSocket();
  CMyPcCommSocket(const CMyPcCommSocket&) = delete;
  CMyPcCommSocket& operator=(const CMyPcCommSocket&) = delete;

  // False when the engine could not get its own events or socket library: every bring-up then
  // ends in kNoResources.
  bool Ready() const { return ready_; }

  // Bring-up.
  int InitPcComm();
  ConnectResult Connect();
  bool MyConnect();
  bool MyConnectAlarm();
  // Teardown, in the words docs/design.md ("Lifecycle") defines. Close: nothing is opened or
  // published any more, the link is retired and, when this thread may wait, reaped. Destroy
  // (the destructor): close, end supervision, reap every link, give queued frames back.
  void MyClose();
  // Abandon: close without waiting for anything, supervision told to end; for the last client
  // destroyed inside a callback. The engine is destroyed later, outside any callback.
  void Abandon();
  bool ReachabilityProbe();

  // Registration and delivery (callers hold the library lock).
  ModuleRegistry& modules() { return modules_; }
  // Delivery of one whole frame, as a Msg proc thread does it.
  void MyDispatchData(const uint8_t* frame, int32_t length) {
    modules_.MyDispatchData(frame, length);
  }

  int SendAlarm(const char* data, int length);

  // Send path. The transaction id and the link are taken under the library lock; the write,
  // and its wait for room in the socket, happen without it (unless a callback holds it), so the
  // listening thread can always queue what it reads. Writers of one link take turns.
  uint16_t MySendMessage(CMyPcCommMessage& message, uint8_t moduleId);
  // The same for a whole frame its caller has written (header and payload, length bytes at most
  // the largest frame): only the module id and the transaction id are filled in here.
  uint16_t MySendFrame(uint8_t* frame, size_t length, uint8_t moduleId);

  // Link supervision; false when its thread could not be started.
  bool StartLinkMaintain();
  // Both return false, having published nothing, once the engine is closing or being destroyed.
  bool SendLinkStatus(int status);
  bool NotifyConnectMsg(bool connected);

  // True once closed, abandoned or being destroyed: nothing is opened or published any more.
  bool Closed() const { return cancel_.IsSet(); }
  const Timings& timings() const { return timings_; }
  LibraryState& state() const { return lib_; }
  bool LinkMaintainRunning() const { return maintain_.Running(); }
  // Whether the current link's alarm connection is up (a bring-up answers UP without it); read
  // without the library lock, so a running callback does not hold it up.
  bool AlarmConnected() const;
  // The current bring-up's connect bookkeeping; written by the bring-up only.
  int nConnectOK() const { return connectOK_.load(std::memory_order_acquire); }
  int nConnectRetry() const { return connectRetry_.load(std::memory_order_acquire); }

 private:
  struct Link;
  class BringUpLock;
  static constexpr uint32_t kCurrentLink = 0;

  BringUpResult BringUp(const BringUpLock& held);
  // False when a socket, event or thread of the new link was refused: nothing of it is left.
  bool MyOpen(const BringUpLock& held, uint32_t* generation);
  Attempt ReInitPcComm(const BringUpLock& held);
  // Runs fn under the library lock unless the engine is closing or being destroyed; false
  // then. Every flag, notice and ConnectMsg of the engine goes through it.
  template <typename F>
  bool Publish(F&& fn);

  void ListenThreadProc(Link* link);
  void MsgProcThreadProc(platform::Event* stop);
  // Delivers queued entries until none is left (false) or stop is set (true).
  bool Drain(const platform::Event& stop);
  void LinkMaintainProc();
  // Retires a link (the one of that generation, or whichever is current) and, when this thread
  // may wait, reaps it and every link retired earlier. Holding the bring-up mutex is what makes
  // destroying links safe: a bring-up uses its link without the library lock.
  void RetireAndReap(const BringUpLock& held, uint32_t generation);
  // Retire: stop events signalled, sockets shut down, link moved to retired_; no waiting, no
  // lock but the library lock.
  void RetireLink(uint32_t generation);
  // Reap: every retired link whose threads are not this one is joined and released.
  void ReapRetired(const BringUpLock& held);
  void ReapLink(Link& link);
  // False inside a callback, where the workers may be waiting for this thread's library lock.
  bool MayReap() const;
  Link* CurrentLink();
  // Connects one of the link's sockets, non-blocking then; fresh: no connect attempt yet.
  bool ConnectSocket(platform::TcpSocket& socket, bool& fresh, uint16_t port);
  int MySendAll(Link* link, const uint8_t* data, int32_t count);
  std::optional<uint32_t> HostAddress() const;
  int SessionLinkTimeoutMs() const;
  // One connect attempt's bound: the timings', cut to what is left of the session's connect
  // bound when it has one; 0 once that is used up.
  int ConnectAttemptMs() const;

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
  uint64_t connectDeadline_ = 0;  // of the bring-up under way, 0: none; under bringUp_

  platform::SocketLibrary probeSockets_;  // the probe's own registration, as long as sockIcmp
  platform::IcmpSocket sockIcmp;
  platform::Event cancel_;            // set by closing, abandoning and destroying
  std::atomic<bool> alarmUp_{false};  // the current link's alarm connection, for the state
  platform::Event maintainStop_;      // ends the link maintain process
  platform::Thread maintain_;
  bool ready_ = false;  // written by the constructor only
  ModuleRegistry modules_{lib_, timings_.replyTimeoutMs, cancel_};
};

}  // namespace scanlink::transport
