// The application's lifecycle calls against a reconnection in progress: ExitConnection and
// destruction cancel it without a trace, and supervision never takes down a link the
// application brought up.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "client/first_session.h"
#include "integration/loopback_peer.h"
#include "integration/test_support.h"
#include "scanlink/scanlink.h"
#include "transport/engine.h"
#include "transport/library_state.h"

using namespace std::chrono_literals;
using scanlink::test::EchoRequestCounter;
using scanlink::test::LoopbackPeer;
using scanlink::test::MakeFrame;
using scanlink::test::RecordingModule;
using scanlink::test::SegmentDrop;
using scanlink::test::SynDrop;
using scanlink::transport::CMyPcCommSocket;
using scanlink::transport::LoadGlobal;
using Events = std::vector<std::string>;

namespace {

constexpr uint16_t kPort = 5000;

bool Contains(const Events& events, const std::string& e) {
  return std::find(events.begin(), events.end(), e) != events.end();
}

class Lifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    scanlink::test::AimAtLocalPeer(kPort);
    CMyPcCommSocket::Timings fast;
    fast.retryPauseMs = 150;
    fast.supervisionMs = 20;
    fast.connectTimeoutMs = connectTimeoutMs;
    scanlink::client::SetFirstSessionTimings(fast);
    ASSERT_TRUE(peer.Start(kPort));
    peer.EchoReplies();
    client = std::make_unique<CMyPcCommSocketClient>();
    ASSERT_TRUE(client->ClientRegisterModule(&module, 1));
    ASSERT_EQ(client->ClientInitPcComm(), 0);
    ASSERT_TRUE(peer.WaitDataAccepts(1, 2s));
    ASSERT_TRUE(peer.WaitAlarmAccepts(1, 2s));
  }
  void TearDown() override {
    if (client) client->ClientRegisterModule(&module, 0);
    client.reset();
    scanlink::client::SetFirstSessionTimings({});
  }
  // The supervision has seen the loss and is inside its reconnection attempt.
  void WaitUntilReconnecting() {
    ASSERT_TRUE(module.WaitEvents(2, 2s));
    ASSERT_TRUE(scanlink::test::WaitUntil([] { return LoadGlobal(gInitFinishFlag) == 0; }, 1s));
  }
  // A client created now brings a working link up with a full first bring-up.
  void ExpectNewClientWorks() {
    EchoRequestCounter echoes;
    const int accepts = peer.DataAccepts();
    client = std::make_unique<CMyPcCommSocketClient>();
    RecordingModule fresh;
    ASSERT_TRUE(client->ClientRegisterModule(&fresh, 1));
    EXPECT_EQ(client->ClientInitPcComm(), 0);
    EXPECT_EQ(echoes.Count(), 2) << "probe included";
    EXPECT_TRUE(peer.WaitDataAccepts(accepts + 1, 1s));
    EXPECT_TRUE(scanlink::test::RoundTrip(*client, fresh, 2s));
    // And it stays up: no loss is reported over many supervision passes.
    EXPECT_FALSE(fresh.WaitEvents(1, 300ms)) << fresh.Events().front();
    EXPECT_EQ(peer.DataAccepts(), accepts + 1);
    client->ClientRegisterModule(&fresh, 0);
    client.reset();
  }

  int connectTimeoutMs = CMyPcCommSocket::Timings{}.connectTimeoutMs;
  LoopbackPeer peer;
  std::unique_ptr<CMyPcCommSocketClient> client;
  RecordingModule module;
};

TEST_F(Lifecycle, ExitConnectionCancelsAReconnectionWithoutReportingAFailure) {
  peer.Stop();
  WaitUntilReconnecting();
  client->ExitConnection();
  EXPECT_FALSE(module.WaitEvents(3, 300ms)) << "after ExitConnection: " << module.Events()[2];
  EXPECT_EQ(module.Events(), (Events{"status 1", "connect 0"}));
  EXPECT_EQ(LoadGlobal(gLinkDownFlag), 0);
  EXPECT_EQ(client->ClientInitPcComm(), 1);
}

TEST_F(Lifecycle, DestructionCancelsAReconnectionAndTheNextClientStartsAfresh) {
  peer.Stop();
  WaitUntilReconnecting();
  client.reset();  // the module stays registered: it would hear anything published now
  EXPECT_FALSE(module.WaitEvents(3, 300ms)) << "after destruction: " << module.Events()[2];
  EXPECT_EQ(LoadGlobal(gLinkDownFlag), 0);
  EXPECT_EQ(LoadGlobal(gInitFinishFlag), 0);
  EXPECT_EQ(LoadGlobal(gFirstConnFlag), 0);
  ASSERT_TRUE(peer.Start(kPort));
  peer.EchoReplies();
  ExpectNewClientWorks();
}

TEST_F(Lifecycle, NewEngineStartsWithTheLinkLostStateCleared) {
  client->ClientRegisterModule(&module, 0);
  client.reset();
  scanlink::client::FirstState().linkLost.store(1);  // as a failure the engine before left behind
  client = std::make_unique<CMyPcCommSocketClient>();
  EXPECT_EQ(scanlink::client::FirstState().linkLost.load(), 0);
  client.reset();
  scanlink::client::FirstState().linkLost.store(1);
  ExpectNewClientWorks();
}

// Destroying the last client inside a callback neither hangs nor frees what the library's thread
// still uses: the connection closes at once, nothing more is published, and the next client
// starts afresh (releasing what is left of the engine).
TEST_F(Lifecycle, LastClientDestroyedInsideACallback) {
  struct Module : RecordingModule {
    std::function<void()> onDisconnect;
    void ConnectMsg(bool connected) override {
      RecordingModule::ConnectMsg(connected);
      if (!connected && onDisconnect) onDisconnect();
    }
  };
  for (const bool inReport : {true, false}) {
    SCOPED_TRACE(inReport ? "inside ProcPcCommMsg" : "inside ConnectMsg(false)");
    if (!client) {
      client = std::make_unique<CMyPcCommSocketClient>();
      ASSERT_EQ(client->ClientInitPcComm(), 0);
    }
    Module m;
    ASSERT_TRUE(client->ClientRegisterModule(&m, 1));
    std::atomic<bool> destroyed{false};
    auto destroy = [&] {
      if (destroyed) return;
      client.reset();
      destroyed = true;
    };
    if (inReport) {
      m.onMessage = [&](CCmdManage&) { destroy(); };
      peer.SendData(MakeFrame(37, 0xFFFF, {0, 1}));
    } else {
      m.onDisconnect = destroy;
      peer.CloseData();
    }
    ASSERT_TRUE(scanlink::test::WaitUntil([&] { return destroyed.load(); }, 3s)) << "it hangs";
    EXPECT_EQ(scanlink::client::FirstSession().engine(), nullptr);
    EXPECT_EQ(LoadGlobal(gInitFinishFlag), 0);
    EXPECT_EQ(LoadGlobal(gFirstConnFlag), 0);
    const size_t events = m.Events().size();
    const int accepts = peer.DataAccepts();
    EXPECT_FALSE(m.WaitEvents(events + 1, 300ms)) << "published after destruction";
    EXPECT_EQ(peer.DataAccepts(), accepts) << "reconnected after destruction";
    ExpectNewClientWorks();
  }
}

// A client created while the last one is still being destroyed (its engine waiting for a slow
// callback) brings a real link up: the destruction finishes first and never touches the new
// client's engine or flags.
TEST_F(Lifecycle, ClientCreatedWhileTheLastOneIsBeingDestroyedGetsARealLink) {
  std::atomic<bool> inside{false};
  module.onMessage = [&](CCmdManage&) {
    inside = true;
    std::this_thread::sleep_for(100ms);  // a slow callback the destruction waits for
  };
  peer.SendData(MakeFrame(37, 0xFFFF, {0, 1}));
  ASSERT_TRUE(scanlink::test::WaitUntil([&] { return inside.load(); }, 2s));
  std::thread destroyer([&] { client.reset(); });
  ASSERT_TRUE(scanlink::test::WaitUntil(
      [] { return scanlink::client::FirstSession().engine() == nullptr; }, 2s));
  const int accepts = peer.DataAccepts();
  auto next = std::make_unique<CMyPcCommSocketClient>();
  RecordingModule fresh;
  ASSERT_TRUE(next->ClientRegisterModule(&fresh, 1));
  const int result = next->ClientInitPcComm();
  destroyer.join();
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(peer.WaitDataAccepts(accepts + 1, 1s)) << "up without a connection";
  EXPECT_TRUE(scanlink::test::RoundTrip(*next, fresh, 2s));
  EXPECT_EQ(LoadGlobal(gInitFinishFlag), 1);
  next->ClientRegisterModule(&fresh, 0);
}

// SYNs are dropped with nftables rules, Linux tooling that Wine does not have.
#if defined(_WIN32)
#define SKIP_WITHOUT_NFT() GTEST_SKIP() << "nftables is Linux tooling"
#else
#define SKIP_WITHOUT_NFT() static_cast<void>(0)
#endif

// The reconnection gets its data connection, then waits for an alarm connection whose SYNs
// vanish: the moment a cancelled connect used to let the bring-up carry on as a success.
class LifecycleAlarmHangs : public Lifecycle {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_NFT();
    Lifecycle::SetUp();
    if (HasFatalFailure()) return;
    drop = std::make_unique<SynDrop>(8050);
    ASSERT_TRUE(drop->Ok()) << "nft is needed";
    peer.CloseData();
    ASSERT_TRUE(peer.WaitDataAccepts(2, 2s));
    ASSERT_TRUE(scanlink::test::WaitUntil([&] { return drop->Dropped() >= 1; }, 2s));
  }
  static void ExpectNothingRestored(const Events& events) {
    EXPECT_FALSE(Contains(events, "status 2"));
    EXPECT_FALSE(Contains(events, "connect 1"));
  }
  std::unique_ptr<SynDrop> drop;
};

TEST_F(LifecycleAlarmHangs, DestructionLeavesTheLibraryDownAndTheNextClientStartsAfresh) {
  client.reset();
  ExpectNothingRestored(module.Events());
  EXPECT_EQ(LoadGlobal(gInitFinishFlag), 0);
  EXPECT_EQ(LoadGlobal(gFirstConnFlag), 0);
  EXPECT_EQ(LoadGlobal(gLinkDownFlag), 0);
  drop->Lift();
  ExpectNewClientWorks();
  ExpectNothingRestored(module.Events());
}

TEST_F(LifecycleAlarmHangs, ExitConnectionLeavesTheLinkClosed) {
  client->ExitConnection();
  const int accepts = peer.DataAccepts();
  drop->Lift();
  EXPECT_FALSE(peer.WaitDataAccepts(accepts + 1, 300ms));
  ExpectNothingRestored(module.Events());
  EXPECT_EQ(LoadGlobal(gInitFinishFlag), 0);
  EXPECT_EQ(client->ClientInitPcComm(), 1);
  EXPECT_EQ(client->GetScanMode(), 0);
}

TEST_F(Lifecycle, FailedReconnectionNeverTakesDownALinkTheApplicationBroughtUp) {
  // The scanner comes back the moment the supervision reports its attempt failed, while an
  // application thread is waiting to bring the link up itself.
  bool restarted = false;  // only read and written inside callbacks, under the library lock
  {
    // Callbacks read it under the library lock.
    scanlink::platform::ScopedLock<scanlink::platform::RecursiveMutex> guard(
        scanlink::client::FirstState().lock);
    module.onMessage = [&](CCmdManage& m) {
      if (!restarted && m.nCode == SCANLINK_CODE_LINK_STATUS &&
          m.body.linkStatus.nStatusByte1 == 3) {
        restarted = true;
        ASSERT_TRUE(peer.Start(kPort));
        peer.EchoReplies();
      }
    };
  }
  peer.Stop();
  WaitUntilReconnecting();
  auto init = std::async(std::launch::async, [&] { return client->ClientInitPcComm(); });
  ASSERT_EQ(init.wait_for(5s), std::future_status::ready);
  const int result = init.get();
  if (result == 0) {
    // Up by the application's hand: it stays up.
    const int accepts = peer.DataAccepts();
    EXPECT_FALSE(peer.WaitDataAccepts(accepts + 1, 300ms));
  } else {
    // Or the application was told the last attempt failed, and the supervision restores it.
    EXPECT_EQ(result, 6);
    ASSERT_TRUE(module.WaitEvents(6, 3s));
    EXPECT_EQ(module.Events(),
              (Events{"status 1", "connect 0", "status 3", "connect 0", "status 2", "connect 1"}));
  }
  EXPECT_TRUE(scanlink::test::RoundTrip(*client, module, 2s));
  const size_t events = module.Events().size();
  EXPECT_FALSE(module.WaitEvents(events + 1, 200ms)) << module.Events().back();
  EXPECT_EQ(LoadGlobal(gInitFinishFlag), 1);
  EXPECT_EQ(LoadGlobal(gLinkDownFlag), 0);
}

TEST_F(Lifecycle, LinkTheApplicationBringsBackWhileSupervisionWaitsIsReportedRestored) {
  peer.Stop();
  ASSERT_TRUE(module.WaitEvents(3, 3s));  // status 1, connect 0, status 3
  ASSERT_TRUE(scanlink::test::WaitUntil([] { return LoadGlobal(gLinkDownFlag) == 1; }, 1s));
  ASSERT_TRUE(peer.Start(kPort));
  peer.EchoReplies();
  // The application clears the flag and brings the link up itself, or finds the supervision's
  // next attempt already doing so; either way the modules hear that the link is back.
  gLinkDownFlag = 0;
  EXPECT_EQ(client->ClientInitPcComm(), 0);
  ASSERT_TRUE(scanlink::test::WaitUntil(
      [&] { return !module.Events().empty() && module.Events().back() == "connect 1"; }, 3s));
  const Events events = module.Events();
  EXPECT_EQ(events[events.size() - 2], "status 2");
  EXPECT_TRUE(scanlink::test::RoundTrip(*client, module, 2s));
  const int accepts = peer.DataAccepts();
  EXPECT_FALSE(peer.WaitDataAccepts(accepts + 1, 200ms)) << "a working link was replaced";
  EXPECT_EQ(LoadGlobal(gInitFinishFlag), 1);
  EXPECT_EQ(LoadGlobal(gLinkDownFlag), 0);
  EXPECT_EQ(scanlink::client::FirstState().linkLost.load(), 0);
}

// The scanner vanishes without closing anything (power lost, out of radio range): every segment
// of one of its connections is dropped. A short link timeout keeps the tests fast.
class Vanish : public Lifecycle {
 protected:
  static constexpr int kBoundMs = 2000;
  void SetUp() override {
    ASSERT_EQ(ScanlinkSetLinkTimeout(kBoundMs), 1);
    // Reconnection attempts into the drop end soon, so the return is seen soon after.
    connectTimeoutMs = 1000;
    Lifecycle::SetUp();
  }
  void TearDown() override {
    Lifecycle::TearDown();
    ScanlinkSetLinkTimeout(10000);
  }
  // Lost within the bound (and the slack of the keep-alive timers' whole seconds), then back by
  // itself once the scanner is: status 1 / connect 0 first, status 2 / connect 1 last. With
  // failedAttempt, the scanner stays away until a reconnection attempt has failed.
  void ExpectLostAndRestored(SegmentDrop& drop, bool failedAttempt = false) {
    ASSERT_TRUE(module.WaitEvents(2, std::chrono::milliseconds(kBoundMs + 2000)))
        << "no loss reported";
    EXPECT_EQ(module.Events()[0], "status 1");
    EXPECT_EQ(module.Events()[1], "connect 0");
    if (failedAttempt) {
      ASSERT_TRUE(module.WaitEvents(4, 10s));
      EXPECT_EQ(module.Events()[2], "status 3");
      EXPECT_EQ(module.Events()[3], "connect 0");
    }
    drop.Lift();
    ASSERT_TRUE(
        scanlink::test::WaitUntil([&] { return module.Events().back() == "connect 1"; }, 15s));
    const Events events = module.Events();
    EXPECT_EQ(events[events.size() - 2], "status 2");
    EXPECT_TRUE(scanlink::test::RoundTrip(*client, module, 2s));
  }
};

TEST_F(Vanish, AnIdleDataConnectionIsReportedLostAndComesBack) {
  SKIP_WITHOUT_NFT();
  SegmentDrop drop(kPort);
  ASSERT_TRUE(drop.Ok()) << "nft is needed";
  ExpectLostAndRestored(drop, true);
}

TEST_F(Vanish, ARequestInFlightIsReportedLostAndTheLinkComesBack) {
  SKIP_WITHOUT_NFT();
  SegmentDrop drop(kPort);
  ASSERT_TRUE(drop.Ok()) << "nft is needed";
  // Sent into the drop: never acknowledged.
  ASSERT_NE(client->GetScanMode(), 0);
  ExpectLostAndRestored(drop);
}

TEST_F(Vanish, AnIdleAlarmConnectionIsReportedLostAndComesBack) {
  SKIP_WITHOUT_NFT();
  SegmentDrop drop(8050);
  ASSERT_TRUE(drop.Ok()) << "nft is needed";
  ExpectLostAndRestored(drop);
}

TEST_F(Vanish, AStalledButLiveScannerIsNeverReportedLost) {
  // It acknowledges what it is sent but neither reads nor answers, for several times the bound.
  peer.SetStalled(true);
  ASSERT_NE(client->GetScanMode(), 0);
  EXPECT_FALSE(module.WaitEvents(1, std::chrono::milliseconds(4 * kBoundMs)))
      << module.Events().front();
  peer.SetStalled(false);
  EXPECT_TRUE(scanlink::test::RoundTrip(*client, module, 2s));
  EXPECT_EQ(peer.DataAccepts(), 1);
}

TEST(ConnectBound, AConnectSurvivesThreeLostSyns) {
  SKIP_WITHOUT_NFT();
  scanlink::test::AimAtLocalPeer(kPort);
  LoopbackPeer peer;
  ASSERT_TRUE(peer.Start(kPort));
  SynDrop drop(kPort);
  ASSERT_TRUE(drop.Ok()) << "nft is needed";
  CMyPcCommSocketClient client;
  auto init = std::async(std::launch::async, [&] { return client.ClientInitPcComm(); });
  // The first SYN and two retransmissions vanish, as on a bad radio link; the next gets through.
  ASSERT_TRUE(scanlink::test::WaitUntil([&] { return drop.Dropped() >= 3; }, 9s));
  drop.Lift();
  ASSERT_EQ(init.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(init.get(), 0);
  auto* engine = scanlink::client::FirstSession().engine();
  EXPECT_EQ(engine->nConnectRetry(), 0) << "connected at the first attempt";
  EXPECT_EQ(engine->nConnectOK(), 0);
}

}  // namespace
