// Random sequences of what an application does (bring-up, ExitConnection, destruction and
// re-creation, registration changes, sends; from its own thread or inside a callback; a client
// replaced on two threads at once) interleaved with what a scanner on a bad link does (close,
// reset, refuse, lost SYNs on either port, stall, vanishing without closing anything), while the
// scanner may stream reports. After every step the library must be in a state its flags
// describe, every module must have heard a well-formed sequence of notices, and the library must
// be back to the same descriptors and threads, without a spinning thread.
//
// SCANLINK_LIFECYCLE_SEQUENCES=N sets the number of client lifetimes (default 20);
// SCANLINK_LIFECYCLE_SEED=S replays a run (the seed is printed with every failure).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "client/first_session.h"
#include "integration/loopback_peer.h"
#include "integration/test_support.h"
#include "scanlink/scanlink.h"
#include "transport/engine.h"
#include "transport/library_state.h"

using namespace std::chrono_literals;
using scanlink::test::LoopbackPeer;
using scanlink::test::MakeFrame;
using scanlink::test::RecordingModule;
using scanlink::test::SegmentDrop;
using scanlink::test::SynDrop;
using scanlink::test::WaitUntil;
using scanlink::transport::CMyPcCommSocket;
using scanlink::transport::LoadGlobal;

namespace {

constexpr uint16_t kPort = 5000;
// The shortest link timeout the library takes: a vanished scanner is noticed within about 2 s.
constexpr int kLinkTimeoutMs = 1000;

// The library's last trace lines, for a failure's description.
std::mutex g_traceMutex;
std::deque<std::string> g_trace;
void KeepTrace(const char* text, void*) {
  std::lock_guard<std::mutex> lock(g_traceMutex);
  g_trace.emplace_back(text);
  if (g_trace.size() > 60) g_trace.pop_front();
}

unsigned EnvUnsigned(const char* name, unsigned fallback) {
  const char* v = std::getenv(name);
  return v != nullptr ? static_cast<unsigned>(std::strtoul(v, nullptr, 10)) : fallback;
}

// What the modules may hear: a loss, then attempts, each failed or the last one restored.
class NoticeGrammar {
 public:
  // For a module registered at any moment: its first notice may be any of them.
  static NoticeGrammar JoiningLate() {
    NoticeGrammar g;
    g.state_ = State::kAny;
    return g;
  }
  bool Feed(const std::string& e) {
    switch (state_) {
      case State::kAny:
        if (e == "status 1") return Go(true, State::kLost);
        if (e == "connect 0") return Go(true, State::kAttempt);
        if (e == "status 3") return Go(true, State::kWaiting);
        if (e == "status 2") return Go(true, State::kRestored);
        return Go(e == "connect 1", State::kWatching);
      case State::kWatching:
        return Go(e == "status 1", State::kLost);
      case State::kLost:
        return Go(e == "connect 0", State::kAttempt);
      case State::kAttempt:
        if (e == "status 3") return Go(true, State::kWaiting);
        return Go(e == "status 2", State::kRestored);
      case State::kWaiting:
        if (e == "connect 0") return Go(true, State::kAttempt);
        return Go(e == "status 2", State::kRestored);  // brought back by the application
      case State::kRestored:
        return Go(e == "connect 1", State::kWatching);
    }
    return false;
  }
  bool Watching() const { return state_ == State::kWatching || state_ == State::kAny; }

 private:
  enum class State { kAny, kWatching, kLost, kAttempt, kWaiting, kRestored };
  bool Go(bool ok, State next) {
    if (ok) state_ = next;
    return ok;
  }
  State state_ = State::kWatching;
};

// Records like RecordingModule and runs a one-shot action inside its next callback (a report, a
// notice or ConnectMsg), on the library's thread.
class HookedModule : public RecordingModule {
 public:
  void Arm(std::function<void()> action) {
    std::lock_guard<std::mutex> lock(mutex_);
    action_ = std::move(action);
    fired_ = false;
  }
  bool WaitFired(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return fired_changed_.wait_for(lock, timeout, [&] { return fired_; });
  }
  void ConnectMsg(bool connected) override {
    RecordingModule::ConnectMsg(connected);
    Fire();
  }
  void ProcPcCommMsg(CCmdManage& m) override {
    RecordingModule::ProcPcCommMsg(m);
    Fire();
  }

 private:
  void Fire() {
    std::function<void()> action;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      action = std::move(action_);
      action_ = nullptr;
    }
    if (!action) return;
    action();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      fired_ = true;
    }
    fired_changed_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable fired_changed_;
  std::function<void()> action_;
  bool fired_ = false;
};

enum class Fault {
  kNone,
  kClose,
  kCloseAlarm,
  kReset,
  kRefuse,
  kDropData,
  kDropAlarm,
  kStall,
  kVanish
};
const char* const kFaultNames[] = {"none",   "close",          "close alarm",     "reset",
                                   "refuse", "lost data SYNs", "lost alarm SYNs", "stall",
                                   "vanish"};
enum class Action {
  kNone,
  kInit,
  kExit,
  kDestroy,
  kRegistration,
  kSend,
  kReplace,  // one thread destroys the client while another creates the next
  kExitInCallback,
  kDestroyInCallback,
  kUnregisterInCallback,
  kReregisterInCallback,
  kSendInCallback,
};
const char* const kActionNames[] = {"none",
                                    "init",
                                    "exit",
                                    "destroy",
                                    "registration",
                                    "send",
                                    "replace on two threads",
                                    "exit in a callback",
                                    "destroy in a callback",
                                    "unregister in a callback",
                                    "re-register in a callback",
                                    "send in a callback"};

class RandomLifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    scanlink::test::AimAtLocalPeer(kPort);
    ASSERT_TRUE(scanlink::test::LimitTcpBuffers());
    CMyPcCommSocket::Timings fast;
    fast.retryPauseMs = 20;
    fast.supervisionMs = 20;
    fast.probeTimeoutMs = 100;
    fast.connectTimeoutMs = 300;
    fast.sendWaitMs = 200;
    scanlink::client::SetFirstSessionTimings(fast);
    ASSERT_EQ(ScanlinkSetLinkTimeout(kLinkTimeoutMs), 1);
    ASSERT_TRUE(peer.Start(kPort));
    peer.EchoReplies();
  }
  void TearDown() override {
    StopReports();
    if (client) {
      client->ClientRegisterModule(&a, 0);
      client->ClientRegisterModule(&b, 0);
    }
    client.reset();
    scanlink::client::SetFirstSessionTimings({});
    ScanlinkSetLinkTimeout(10000);
    ScanlinkSetTraceSink(nullptr, nullptr);
  }

  int LibraryDescriptors() { return scanlink::test::OpenDescriptors() - peer.OpenDescriptors(); }
  int Accepts() { return peer.DataAccepts() + peer.AlarmAccepts(); }
  static bool HeardLoss(RecordingModule& m, size_t from) {
    const auto events = m.Events();
    for (size_t i = from; i < events.size(); ++i) {
      if (events[i] == "status 1") return true;
    }
    return false;
  }

  // Feeds the notices each module heard since the last call to its grammar.
  bool NoticesWellFormed() {
    return WellFormed(a, grammar, seen) && WellFormed(b, grammarB, seenB);
  }
  bool WellFormed(RecordingModule& m, NoticeGrammar& g, size_t& done) {
    const auto events = m.Events();
    for (; done < events.size(); ++done) {
      if (!g.Feed(events[done])) {
        ADD_FAILURE() << "notice out of order at module " << (&m == &a ? "a" : "b") << ": "
                      << events[done];
        return false;
      }
    }
    return true;
  }
  // A module (or both) may join a link in any state from now on.
  void JoinLate(bool both) {
    NoticesWellFormed();
    grammarB = NoticeGrammar::JoiningLate();
    if (both) grammar = NoticeGrammar::JoiningLate();
  }

  // The scanner streams reports while a step runs.
  void StartReports() {
    reporting = true;
    reporter = std::thread([this] {
      while (reporting) {
        peer.SendData(MakeFrame(37, 0xFFFF, {0, 1}));
        std::this_thread::sleep_for(2ms);
      }
    });
  }
  void StopReports() {
    reporting = false;
    if (reporter.joinable()) reporter.join();
  }

  std::string Describe() {
    ScanlinkCounters c;
    ScanlinkReadCounters(&c);
    std::string text = "flags " + std::to_string(LoadGlobal(gInitFinishFlag)) +
                       std::to_string(LoadGlobal(gFirstConnFlag)) +
                       std::to_string(LoadGlobal(gLinkDownFlag)) + ", peer accepts " +
                       std::to_string(peer.DataAccepts()) + "/" +
                       std::to_string(peer.AlarmAccepts()) + ", frames at the peer " +
                       std::to_string(peer.Frames().size()) + ", sends " + std::to_string(c.sends) +
                       " failed " + std::to_string(c.sendsFailed) + ", delivered " +
                       std::to_string(c.framesDelivered) + ", notices: ";
    for (const auto& e : a.Events()) text += e + ", ";
    std::lock_guard<std::mutex> lock(g_traceMutex);
    text += "\nlast trace lines:\n";
    for (const auto& line : g_trace) text += "  " + line + "\n";
    return text;
  }

  // A busy thread shows as CPU time while nothing happens.
  void ExpectIdle() {
    const long before = scanlink::test::ProcessCpuMs();
    std::this_thread::sleep_for(150ms);
    EXPECT_LT(scanlink::test::ProcessCpuMs() - before, 75) << "a thread spins while idle";
  }

  void ExpectCounts(int descriptors, int threads) {
    EXPECT_TRUE(WaitUntil(
        [&] { return LibraryDescriptors() == descriptors && scanlink::test::Threads() == threads; },
        3s))
        << "descriptors " << LibraryDescriptors() << " (want " << descriptors << "), threads "
        << scanlink::test::Threads() << " (want " << threads << ")";
  }

  LoopbackPeer peer;
  std::unique_ptr<CMyPcCommSocketClient> client;
  HookedModule a;
  RecordingModule b;
  NoticeGrammar grammar, grammarB;
  size_t seen = 0, seenB = 0;
  std::atomic<bool> reporting{false};
  std::thread reporter;
};

TEST_F(RandomLifecycle, EveryStepEndsInAStateTheFlagsDescribe) {
  const unsigned seed = EnvUnsigned("SCANLINK_LIFECYCLE_SEED", 20261208);
  const unsigned sequences = EnvUnsigned("SCANLINK_LIFECYCLE_SEQUENCES", 20);
  SCOPED_TRACE("SCANLINK_LIFECYCLE_SEED=" + std::to_string(seed));
  ScanlinkSetTraceSink(KeepTrace, nullptr);
  std::mt19937 rng(seed);
  auto chance = [&](unsigned percent) { return rng() % 100 < percent; };

  const int idleDescriptors = LibraryDescriptors();
  const int idleThreads = scanlink::test::Threads();
  int upDescriptors = -1;
  std::map<std::string, int> figures;
  int steps = 0;
  bool bRegistered = false;

  // Registers the modules with a (new) client, a last so that requests go out for it, and brings
  // the link up: a failed reconnection of the client before is reported with 6 until the
  // application writes 0 into gLinkDownFlag.
  auto bringUp = [&] {
    EXPECT_TRUE(client->ClientRegisterModule(&a, 1));
    if (bRegistered) {
      EXPECT_TRUE(client->ClientRegisterModule(&b, 1));
      EXPECT_TRUE(client->ClientRegisterModule(&a, 1));
    }
    int r = client->ClientInitPcComm();
    if (r == 6) {
      ++figures["link down carried over"];
      gLinkDownFlag = 0;
      r = client->ClientInitPcComm();
    }
    return r;
  };

  for (unsigned sequence = 0; sequence < sequences && !HasFailure(); ++sequence) {
    SCOPED_TRACE("sequence " + std::to_string(sequence));
    // A new client always brings a working link up.
    client = std::make_unique<CMyPcCommSocketClient>();
    bRegistered = chance(50);
    ASSERT_EQ(bringUp(), 0);
    ASSERT_TRUE(scanlink::test::RoundTrip(*client, a, 2s)) << Describe();
    grammar = NoticeGrammar();
    grammarB = NoticeGrammar();
    seen = a.Events().size();
    seenB = b.Events().size();
    if (upDescriptors < 0) upDescriptors = LibraryDescriptors();
    bool closed = false;
    bool closedInCallback = false;  // its link is joined and closed by the destructor
    bool abandoned = false;         // the last client went inside a callback
    int acceptsAtClose = 0;

    const unsigned length = 4 + rng() % 8;
    for (unsigned step = 0; step < length && client && !HasFailure(); ++step) {
      ++steps;
      // A vanished scanner takes a link timeout to notice: half as often as the other faults.
      const unsigned drawn = rng() % 17;
      const auto fault = drawn == 16 ? Fault::kVanish : static_cast<Fault>(drawn / 2);
      // Exit and destruction end what a sequence can test: rarer than the rest.
      static constexpr Action kActions[] = {Action::kNone,
                                            Action::kNone,
                                            Action::kInit,
                                            Action::kInit,
                                            Action::kExit,
                                            Action::kDestroy,
                                            Action::kRegistration,
                                            Action::kRegistration,
                                            Action::kSend,
                                            Action::kSend,
                                            Action::kReplace,
                                            Action::kExitInCallback,
                                            Action::kDestroyInCallback,
                                            Action::kUnregisterInCallback,
                                            Action::kReregisterInCallback,
                                            Action::kSendInCallback};
      Action action = kActions[rng() % std::size(kActions)];
      // A closed engine calls no callback, and replacing its client proves nothing more.
      if (closed && action >= Action::kReplace) action = Action::kNone;
      // (The peer's Stop and Start are not made for another thread's sends, and its sends would
      // wait in the drop of a vanished scanner.)
      const bool reports = chance(50) && fault != Fault::kRefuse && fault != Fault::kVanish;
      bool replaced = false;
      const bool closedBefore = closed;
      SCOPED_TRACE("step " + std::to_string(step) + ": " + kFaultNames[int(fault)] + ", then " +
                   kActionNames[int(action)] + (reports ? ", reports streaming" : ""));
      ++figures[std::string("fault: ") + kFaultNames[int(fault)]];
      ++figures[std::string("action: ") + kActionNames[int(action)]];
      if (reports) {
        ++figures["steps with reports streaming"];
        StartReports();
      }

      std::unique_ptr<SynDrop> drop;
      std::unique_ptr<SegmentDrop> vanishData, vanishAlarm;
      const size_t eventsA = a.Events().size(), eventsB = b.Events().size();
      const bool bAtStart = bRegistered;
      switch (fault) {
        case Fault::kNone:
          break;
        case Fault::kClose:
          peer.CloseData();
          break;
        case Fault::kCloseAlarm:
          peer.CloseAlarm();
          break;
        case Fault::kReset:
          peer.ResetData();
          break;
        case Fault::kRefuse:
          peer.Stop();
          break;
        case Fault::kDropData:
        case Fault::kDropAlarm:
          drop = std::make_unique<SynDrop>(fault == Fault::kDropData ? kPort : 8050);
          ASSERT_TRUE(drop->Ok()) << "nft is needed";
          peer.CloseData();
          break;
        case Fault::kStall:
          peer.SetStalled(true);
          for (int i = 0; i < 300; ++i) client->GetScanMode();
          break;
        case Fault::kVanish:
          // Nothing is closed: every segment of both connections is lost until the scanner is back.
          vanishData = std::make_unique<SegmentDrop>(kPort);
          vanishAlarm = std::make_unique<SegmentDrop>(8050);
          ASSERT_TRUE(vanishData->Ok() && vanishAlarm->Ok()) << "nft is needed";
          break;
      }
      // The fault lasts a while: the action may meet the loss, the attempt or the wait.
      std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 200));

      // An action inside a's next callback: a report, a notice or ConnectMsg, whichever the
      // link brings first (a report is asked for, the link may be down).
      auto inCallback = [&](std::function<void()> inside) {
        a.Arm(std::move(inside));
        peer.SendData(MakeFrame(37, 0xFFFF, {0, 2}));
        // Into a vanished scanner's drop the report is lost: the loss notice comes first.
        const bool fired = a.WaitFired(fault == Fault::kVanish ? 10s : 3s);
        if (!fired) a.Arm(nullptr);
        return fired;
      };
      switch (action) {
        case Action::kNone:
          break;
        case Action::kInit: {
          const int result = client->ClientInitPcComm();
          if (closed) {
            EXPECT_EQ(result, 1);
          } else {
            EXPECT_TRUE(result == 0 || result == 6) << result;
          }
          break;
        }
        case Action::kExit:
          client->ExitConnection();
          if (!closed) acceptsAtClose = Accepts();
          closed = true;
          break;
        case Action::kDestroy:
          client.reset();  // the modules stay registered: they would hear a late notice
          break;
        case Action::kRegistration:
          if (bRegistered) {
            EXPECT_TRUE(client->ClientRegisterModule(&b, 0));
            bRegistered = false;
            JoinLate(false);  // b's notices end wherever they were
          } else {
            JoinLate(false);
            bRegistered = client->ClientRegisterModule(&b, 1);
            EXPECT_TRUE(bRegistered);
          }
          // Requests go out for the module registered last: a again, at the tail of the list.
          EXPECT_EQ(client->ClientRegisterModule(&a, 1), true);
          break;
        case Action::kSend:
          for (int i = 0; i < 5; ++i) client->GetScanMode();
          break;
        case Action::kReplace: {
          // Whichever thread is first: the engine is shared or a new one is made, never lost.
          auto old = std::move(client);
          std::thread destroyer([&] { old.reset(); });
          client = std::make_unique<CMyPcCommSocketClient>();
          destroyer.join();
          JoinLate(true);
          replaced = true;  // brought up once the scanner behaves again
          break;
        }
        case Action::kExitInCallback:
          if (inCallback([&] { client->ExitConnection(); })) {
            if (!closed) acceptsAtClose = Accepts();
            closedInCallback = !closed;
            closed = true;
          }
          break;
        case Action::kDestroyInCallback:
          if (inCallback([&] { client.reset(); })) abandoned = true;
          break;
        case Action::kUnregisterInCallback:
          if (bRegistered) {
            const bool fired = inCallback([&] {
              EXPECT_TRUE(client->ClientRegisterModule(&b, 0));
              EXPECT_TRUE(client->ClientRegisterModule(&a, 1));
            });
            if (fired) bRegistered = false;
            JoinLate(false);  // b's notices end wherever they were
          }
          break;
        case Action::kReregisterInCallback:
          inCallback([&] { EXPECT_TRUE(client->ClientRegisterModule(&a, 1)); });
          break;
        case Action::kSendInCallback:
          inCallback([&] {
            for (int i = 0; i < 3; ++i) client->GetScanMode();
          });
          break;
      }

      // A vanished scanner is noticed by the link timeout alone, and by every module.
      if (fault == Fault::kVanish && client && !closed && !replaced) {
        const auto bound = std::chrono::milliseconds(kLinkTimeoutMs + 5000);
        EXPECT_TRUE(WaitUntil([&] { return HeardLoss(a, eventsA); }, bound))
            << "a vanished scanner was not noticed; " << Describe();
        ++figures["vanished scanner noticed"];
        if (bAtStart && bRegistered) {
          EXPECT_TRUE(WaitUntil([&] { return HeardLoss(b, eventsB); }, 1s))
              << "module b did not hear the loss";
        }
      }

      // The scanner behaves again.
      StopReports();
      drop.reset();
      vanishData.reset();
      vanishAlarm.reset();
      if (fault == Fault::kRefuse) {
        ASSERT_TRUE(peer.Start(kPort));
        peer.EchoReplies();
      }
      if (fault == Fault::kStall) peer.SetStalled(false);
      if (replaced) {
        EXPECT_EQ(bringUp(), 0) << Describe();
      }

      if (!client) {
        // Destroyed: nothing runs, nothing is up, and the next client starts afresh. An engine
        // left inside a callback keeps its closed sockets until the next client releases it.
        EXPECT_TRUE(NoticesWellFormed());
        EXPECT_EQ(LoadGlobal(gInitFinishFlag), 0);
        EXPECT_EQ(LoadGlobal(gFirstConnFlag), 0);
        EXPECT_EQ(scanlink::client::FirstSession().engine(), nullptr);
        if (abandoned) {
          EXPECT_TRUE(WaitUntil([&] { return scanlink::test::Threads() == idleThreads; }, 3s))
              << "threads " << scanlink::test::Threads() << " (want " << idleThreads << ")";
        } else {
          ExpectCounts(idleDescriptors, idleThreads);
        }
        const int accepts = Accepts();
        const size_t events = a.Events().size();
        ExpectIdle();
        EXPECT_EQ(Accepts(), accepts) << "a connection opened after destruction";
        EXPECT_EQ(a.Events().size(), events) << "a notice after destruction";
        break;
      }
      if (closed) {
        // Closed: nothing is reopened or published, whatever the scanner does.
        const size_t events = a.Events().size();
        EXPECT_TRUE(NoticesWellFormed());
        if (closedInCallback) {
          EXPECT_TRUE(WaitUntil([&] { return scanlink::test::Threads() == idleThreads + 1; }, 3s));
        } else {
          ExpectCounts(idleDescriptors + 2, idleThreads + 1);  // its events and supervision
        }
        if (!closedBefore) {
          // A connect begun before the close may complete; the peer counts it once it gets to
          // accept it. From here on nothing may be opened.
          for (int settled = Accepts(), i = 0; i < 20; ++i) {
            std::this_thread::sleep_for(50ms);
            if (Accepts() == settled) break;
            settled = Accepts();
          }
          acceptsAtClose = Accepts();
        }
        EXPECT_EQ(client->ClientInitPcComm(), 1);
        EXPECT_EQ(client->GetScanMode(), 0);
        ExpectIdle();
        EXPECT_EQ(Accepts(), acceptsAtClose) << "a connection opened after ExitConnection";
        EXPECT_EQ(a.Events().size(), events) << "a notice after ExitConnection";
        continue;
      }
      // Otherwise the link comes back on its own, and the flags say so.
      EXPECT_TRUE(scanlink::test::RoundTrip(*client, a, 5s))
          << "the link did not come back; " << Describe();
      EXPECT_TRUE(WaitUntil(
          [&] {
            return LoadGlobal(gInitFinishFlag) == 1 && LoadGlobal(gLinkDownFlag) == 0 &&
                   scanlink::client::FirstState().linkLost.load() == 0 && NoticesWellFormed() &&
                   grammar.Watching() && grammarB.Watching();
          },
          3s))
          << "flags " << LoadGlobal(gInitFinishFlag) << LoadGlobal(gFirstConnFlag)
          << LoadGlobal(gLinkDownFlag) << ", link lost "
          << scanlink::client::FirstState().linkLost.load();
      EXPECT_EQ(LoadGlobal(gFirstConnFlag), 1);
      // Reports reach every registered module.
      const size_t reportsA = a.Messages().size(), reportsB = b.Messages().size();
      peer.SendData(MakeFrame(37, 0xFFFF, {0, 3}));
      EXPECT_TRUE(a.WaitMessages(reportsA + 1, 2s));
      if (bRegistered) {
        EXPECT_TRUE(b.WaitMessages(reportsB + 1, 2s));
      }
      ExpectCounts(upDescriptors, idleThreads + 4);  // three workers and supervision
      ExpectIdle();
    }
    if (client) {
      client->ClientRegisterModule(&a, 0);
      if (bRegistered) client->ClientRegisterModule(&b, 0);
      client.reset();
      ++figures["destroy at the end of a sequence"];
    }
  }
  // A client created outside any callback releases an engine left inside one.
  client = std::make_unique<CMyPcCommSocketClient>();
  client.reset();
  ExpectCounts(idleDescriptors, idleThreads);

  std::printf("lifecycle: seed %u, %u sequences, %d steps\n", seed, sequences, steps);
  for (const auto& [name, count] : figures)
    std::printf("lifecycle:   %s: %d\n", name.c_str(), count);
}

}  // namespace
