// Link supervision: what modules see when the link breaks, comes back or stays away.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "client/first_session.h"
#include "integration/connected_client.h"
#include "integration/loopback_peer.h"
#include "integration/net_compat.h"
#include "integration/test_support.h"
#include "platform/sync.h"
#include "scanlink/scanlink.h"
#include "transport/engine.h"
#include "transport/library_state.h"

using namespace std::chrono_literals;
using scanlink::test::EchoRequestCounter;
using scanlink::test::LoopbackPeer;
using scanlink::test::RecordingModule;
using Events = std::vector<std::string>;

namespace {

class Supervision : public scanlink::test::ConnectedClient {
 protected:
  void SetUp() override {
    ScanlinkReadCounters(&atStart_);
    ConnectedClient::SetUp();
  }
  void TearDown() override { EndClient({&late}); }
  static int LinkLost() { return scanlink::client::FirstState().linkLost.load(); }
  // The process-wide counters, as far as this test moved them.
  ScanlinkCounters Counted() const {
    ScanlinkCounters now;
    ScanlinkReadCounters(&now);
    now.linkLosses -= atStart_.linkLosses;
    now.reconnections -= atStart_.reconnections;
    now.transactionsReclaimed -= atStart_.transactionsReclaimed;
    now.droppedTransaction -= atStart_.droppedTransaction;
    now.sendsFailed -= atStart_.sendsFailed;
    return now;
  }

  RecordingModule late;

 private:
  ScanlinkCounters atStart_{};
};

TEST_F(Supervision, LinkLostAndBackAtTheFirstAttempt) {
  EchoRequestCounter echoes;
  peer.CloseData();
  ASSERT_TRUE(module.WaitEvents(4, 3s));
  EXPECT_EQ(module.Events(), (Events{"status 1", "connect 0", "status 2", "connect 1"}));
  EXPECT_TRUE(peer.WaitDataAccepts(2, 1s));
  EXPECT_TRUE(scanlink::test::WaitUntil([] { return LinkLost() == 0; }, 1s));
  EXPECT_EQ(scanlink::transport::LoadGlobal(gLinkDownFlag), 0);
  EXPECT_EQ(scanlink::transport::LoadGlobal(gInitFinishFlag), 1);
  EXPECT_EQ(scanlink::transport::LoadGlobal(gFirstConnFlag), 1);
  EXPECT_EQ(echoes.Count(), 0) << "no probe on reconnection";
  // And the new link carries requests.
  peer.EchoReplies();
  const int t = client->GetScanMode();
  EXPECT_NE(t, 0);
  ASSERT_TRUE(module.WaitMessages(3, 2s));  // two notices and the reply
  EXPECT_EQ(module.Messages()[2].trans, t);
}

TEST_F(Supervision, BackAtTheSecondAttempt) {
  peer.Stop();
  ASSERT_TRUE(module.WaitEvents(3, 6s));
  EXPECT_EQ(module.Events(), (Events{"status 1", "connect 0", "status 3"}));
  EXPECT_TRUE(scanlink::test::WaitUntil(
      [] { return scanlink::transport::LoadGlobal(gLinkDownFlag) == 1; }, 1s));
  EXPECT_EQ(client->ClientInitPcComm(), 6);
  ASSERT_TRUE(peer.Start(kPort));
  ASSERT_TRUE(module.WaitEvents(6, 6s));
  EXPECT_EQ(module.Events(),
            (Events{"status 1", "connect 0", "status 3", "connect 0", "status 2", "connect 1"}));
  EXPECT_EQ(scanlink::transport::LoadGlobal(gLinkDownFlag), 0);
  EXPECT_EQ(client->ClientInitPcComm(), 0);
}

TEST_F(Supervision, ScannerGoneForGoodIsRetriedWithoutEnd) {
  peer.Stop();
  ASSERT_TRUE(module.WaitEvents(5, 12s));
  EXPECT_EQ(module.Events(),
            (Events{"status 1", "connect 0", "status 3", "connect 0", "status 3"}));
  EXPECT_EQ(Counted().linkLosses, 1u);
}

TEST_F(Supervision, ModuleRegisteredWhileTheLinkIsDownGetsTheNextNotices) {
  peer.Stop();
  ASSERT_TRUE(module.WaitEvents(3, 6s));
  ASSERT_TRUE(client->ClientRegisterModule(&late, 1));
  ASSERT_TRUE(peer.Start(kPort));
  ASSERT_TRUE(late.WaitEvents(3, 6s));
  EXPECT_EQ(late.Events(), (Events{"connect 0", "status 2", "connect 1"}));
}

TEST_F(Supervision, FailureSeenBySendPathIsRecovered) {
  peer.CloseData();
  // Sends after the peer is gone fail at the latest once the reset arrives.
  ASSERT_TRUE(scanlink::test::WaitUntil(
      [&] {
        client->GetScanMode();
        return LinkLost() == 1 || module.Events().size() > 0;
      },
      2s));
  ASSERT_TRUE(module.WaitEvents(4, 3s));
  EXPECT_EQ(module.Events().back(), "connect 1");
}

TEST_F(Supervision, RequestsLostWithTheLinkGiveTheirIdsBack) {
  for (int i = 0; i < 50; ++i) ASSERT_NE(client->GetScanMode(), 0);
  ASSERT_EQ(peer.WaitFrames(50, 2s).size(), 50u);
  {
    scanlink::platform::ScopedLock<scanlink::platform::RecursiveMutex> g(
        scanlink::client::FirstState().lock);
    EXPECT_EQ(scanlink::client::FirstState().trans.InUse(), 50);
  }
  peer.CloseData();
  ASSERT_TRUE(module.WaitEvents(4, 3s));
  EXPECT_TRUE(scanlink::test::WaitUntil(
      [] {
        scanlink::platform::ScopedLock<scanlink::platform::RecursiveMutex> g(
            scanlink::client::FirstState().lock);
        return scanlink::client::FirstState().trans.InUse() == 0;
      },
      2s));
  EXPECT_EQ(Counted().transactionsReclaimed, 50u);
}

TEST_F(Supervision, ReplyThatArrivedBeforeTheLossIsStillDelivered) {
  // The reply is queued before the connection drops; reclaiming must not eat it.
  peer.SetResponder([&](const scanlink::test::Frame& f) -> std::optional<scanlink::test::Bytes> {
    return scanlink::test::MakeFrame(12, f.trans, {0, 1}, f.module);
  });
  const int t = client->GetScanMode();
  ASSERT_TRUE(module.WaitMessages(1, 2s));
  peer.CloseData();
  ASSERT_TRUE(module.WaitEvents(4, 3s));
  EXPECT_EQ(module.Messages()[0].trans, t);
}

TEST_F(Supervision, DestructionDuringAReconnectionIsPrompt) {
  peer.Stop();
  ASSERT_TRUE(module.WaitEvents(2, 2s));  // now sleeping between connect attempts
  const auto start = std::chrono::steady_clock::now();
  client->ClientRegisterModule(&module, 0);
  client.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
}

TEST_F(Supervision, DestructionWhileAModuleIsBeingToldIsSafe) {
  // The module is inside ConnectMsg(false) on the supervision thread when the client goes.
  std::atomic<bool> inside{false};
  struct Slow : RecordingModule {
    std::atomic<bool>* inside;
    void ConnectMsg(bool connected) override {
      if (!connected) {
        inside->store(true);
        std::this_thread::sleep_for(150ms);
      }
      RecordingModule::ConnectMsg(connected);
    }
  } slow;
  slow.inside = &inside;
  ASSERT_TRUE(client->ClientRegisterModule(&slow, 1));
  peer.CloseData();
  ASSERT_TRUE(scanlink::test::WaitUntil([&] { return inside.load(); }, 2s));
  const auto start = std::chrono::steady_clock::now();
  client->ClientRegisterModule(&slow, 0);  // waits for the callback: it holds the lock
  client->ClientRegisterModule(&module, 0);
  client.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
}

TEST_F(Supervision, DestructionWhileAConnectHangsIsPrompt) {
  // A listener whose accept queue is full drops new connection requests: the reconnection's
  // connect then waits for an answer that never comes.
  peer.Stop();
  namespace net = scanlink::test::net;
  const net::Socket listener = net::NewSocket(SOCK_STREAM);
  net::AllowReuse(listener);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(kPort);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(listen(listener, 0), 0);
  std::vector<net::Socket> fillers;
  for (int i = 0; i < 2; ++i) {
    fillers.push_back(net::NewSocket(SOCK_STREAM));
    net::SetNonBlocking(fillers.back());
    connect(fillers.back(), reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  }
  ASSERT_TRUE(module.WaitEvents(2, 2s));
  std::this_thread::sleep_for(1300ms);  // past the first pause, into the first connect
  const auto start = std::chrono::steady_clock::now();
  client->ClientRegisterModule(&module, 0);
  client.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
  for (net::Socket fd : fillers) net::Close(fd);
  net::Close(listener);
}

TEST_F(Supervision, ExitConnectionStopsReconnection) {
  peer.CloseData();
  ASSERT_TRUE(module.WaitEvents(1, 2s));
  client->ExitConnection();
  const int accepts = peer.DataAccepts();
  EXPECT_FALSE(peer.WaitDataAccepts(accepts + 1, 1500ms));
}

TEST_F(Supervision, SecondBringUpStartsNoSecondThread) {
  auto* engine = scanlink::client::FirstSession().engine();
  ASSERT_TRUE(engine->LinkMaintainRunning());
  peer.CloseData();
  ASSERT_TRUE(module.WaitEvents(4, 3s));
  ASSERT_TRUE(engine->LinkMaintainRunning());
  ASSERT_TRUE(peer.WaitDataAccepts(2, 1s));
  // A reconnection that succeeded does not start supervision again: one loss, one pass.
  peer.CloseData();
  ASSERT_TRUE(module.WaitEvents(8, 3s));
  EXPECT_TRUE(scanlink::test::WaitUntil([&] { return Counted().reconnections == 2; }, 1s));
  EXPECT_EQ(Counted().linkLosses, 2u);
}

}  // namespace
