// Random sequences of what an application does (bring-up, ExitConnection, destruction and
// re-creation, registration changes, sends) interleaved with what a scanner on a bad link does
// (close, reset, refuse, lost SYNs on either port, stall). After every step the library must be
// in a state its flags describe, and back to the same descriptors and threads, without a
// spinning thread.
//
// SCANLINK_LIFECYCLE_SEQUENCES=N sets the number of client lifetimes (default 20);
// SCANLINK_LIFECYCLE_SEED=S replays a run (the seed is printed with every failure).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "integration/loopback_peer.h"
#include "integration/test_support.h"
#include "scanlink/scanlink.h"
#include "transport/engine.h"
#include "transport/library_state.h"

using namespace std::chrono_literals;
using scanlink::test::LoopbackPeer;
using scanlink::test::RecordingModule;
using scanlink::test::SynDrop;
using scanlink::test::WaitUntil;
using scanlink::transport::CMyPcCommSocket;
using scanlink::transport::Library;
using scanlink::transport::LoadGlobal;

namespace {

constexpr uint16_t kPort = 5000;

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
  bool Feed(const std::string& e) {
    switch (state_) {
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
  bool Watching() const { return state_ == State::kWatching; }

 private:
  enum class State { kWatching, kLost, kAttempt, kWaiting, kRestored };
  bool Go(bool ok, State next) {
    if (ok) state_ = next;
    return ok;
  }
  State state_ = State::kWatching;
};

enum class Fault { kNone, kClose, kCloseAlarm, kReset, kRefuse, kDropData, kDropAlarm, kStall };
const char* const kFaultNames[] = {"none",   "close",          "close alarm",     "reset",
                                   "refuse", "lost data SYNs", "lost alarm SYNs", "stall"};
enum class Action { kNone, kInit, kExit, kDestroy, kRegistration, kSend };
const char* const kActionNames[] = {"none", "init", "exit", "destroy", "registration", "send"};

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
    CMyPcCommSocket::SetTimingsForNewEngines(fast);
    ASSERT_TRUE(peer.Start(kPort));
    peer.EchoReplies();
  }
  void TearDown() override {
    if (client) {
      client->ClientRegisterModule(&a, 0);
      client->ClientRegisterModule(&b, 0);
    }
    client.reset();
    CMyPcCommSocket::SetTimingsForNewEngines({});
    ScanlinkSetTraceSink(nullptr, nullptr);
  }

  int LibraryDescriptors() { return scanlink::test::OpenDescriptors() - peer.OpenDescriptors(); }
  int Accepts() { return peer.DataAccepts() + peer.AlarmAccepts(); }

  // Feeds the notices module a heard since the last call to the grammar.
  bool NoticesWellFormed() {
    const auto events = a.Events();
    for (; seen < events.size(); ++seen) {
      if (!grammar.Feed(events[seen])) {
        ADD_FAILURE() << "notice out of order: " << events[seen];
        return false;
      }
    }
    return true;
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
  RecordingModule a, b;
  NoticeGrammar grammar;
  size_t seen = 0;
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

  for (unsigned sequence = 0; sequence < sequences && !HasFailure(); ++sequence) {
    SCOPED_TRACE("sequence " + std::to_string(sequence));
    // A new client always brings a working link up; a failed reconnection of the client before
    // is reported with 6 until the application writes 0 into gLinkDownFlag.
    client = std::make_unique<CMyPcCommSocketClient>();
    ASSERT_TRUE(client->ClientRegisterModule(&a, 1));
    bool bRegistered = chance(50) && client->ClientRegisterModule(&b, 1);
    if (bRegistered) {
      ASSERT_TRUE(client->ClientRegisterModule(&a, 1));
    }
    int r = client->ClientInitPcComm();
    if (r == 6) {
      ++figures["link down carried over"];
      gLinkDownFlag = 0;
      r = client->ClientInitPcComm();
    }
    ASSERT_EQ(r, 0);
    ASSERT_TRUE(scanlink::test::RoundTrip(*client, a, 2s)) << Describe();
    grammar = NoticeGrammar();
    seen = a.Events().size();
    if (upDescriptors < 0) upDescriptors = LibraryDescriptors();
    bool closed = false;
    int acceptsAtClose = 0;

    const unsigned length = 4 + rng() % 8;
    for (unsigned step = 0; step < length && client && !HasFailure(); ++step) {
      ++steps;
      const auto fault = static_cast<Fault>(rng() % 8);
      // Exit and destruction end what a sequence can test: rarer than the rest.
      static constexpr Action kActions[] = {
          Action::kNone, Action::kNone,    Action::kInit,         Action::kInit,
          Action::kExit, Action::kDestroy, Action::kRegistration, Action::kRegistration,
          Action::kSend, Action::kSend};
      const Action action = kActions[rng() % std::size(kActions)];
      SCOPED_TRACE("step " + std::to_string(step) + ": " + kFaultNames[int(fault)] + ", then " +
                   kActionNames[int(action)]);
      ++figures[std::string("fault: ") + kFaultNames[int(fault)]];
      ++figures[std::string("action: ") + kActionNames[int(action)]];

      std::unique_ptr<SynDrop> drop;
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
      }
      // The fault lasts a while: the action may meet the loss, the attempt or the wait.
      std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 200));

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
          } else {
            bRegistered = client->ClientRegisterModule(&b, 1);
            EXPECT_TRUE(bRegistered);
          }
          // Requests go out for the module registered last: a again, at the tail of the list.
          EXPECT_EQ(client->ClientRegisterModule(&a, 1), true);
          break;
        case Action::kSend:
          for (int i = 0; i < 5; ++i) client->GetScanMode();
          break;
      }

      // The scanner behaves again.
      drop.reset();
      if (fault == Fault::kRefuse) {
        ASSERT_TRUE(peer.Start(kPort));
        peer.EchoReplies();
      }
      if (fault == Fault::kStall) peer.SetStalled(false);

      if (!client) {
        // Destroyed: nothing runs, nothing is up, and the next client starts afresh.
        EXPECT_TRUE(NoticesWellFormed());
        EXPECT_EQ(LoadGlobal(gInitFinishFlag), 0);
        EXPECT_EQ(LoadGlobal(gFirstConnFlag), 0);
        EXPECT_EQ(Library().engine.load(), nullptr);
        ExpectCounts(idleDescriptors, idleThreads);
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
        EXPECT_EQ(client->ClientInitPcComm(), 1);
        EXPECT_EQ(client->GetScanMode(), 0);
        ExpectCounts(idleDescriptors + 2, idleThreads + 1);  // its events and supervision
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
                   Library().linkLost.load() == 0 && NoticesWellFormed() && grammar.Watching();
          },
          3s))
          << "flags " << LoadGlobal(gInitFinishFlag) << LoadGlobal(gFirstConnFlag)
          << LoadGlobal(gLinkDownFlag) << ", link lost " << Library().linkLost.load();
      EXPECT_EQ(LoadGlobal(gFirstConnFlag), 1);
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

  std::printf("lifecycle: seed %u, %u sequences, %d steps\n", seed, sequences, steps);
  for (const auto& [name, count] : figures)
    std::printf("lifecycle:   %s: %d\n", name.c_str(), count);
}

}  // namespace
