// Bringing the link up against a local peer, each test in a network namespace of its own.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "client/first_session.h"
#include "integration/loopback_peer.h"
#include "integration/test_support.h"
#include "scanlink/scanlink.h"
#include "transport/engine.h"
#include "transport/library_state.h"

using namespace std::chrono_literals;
using scanlink::test::EchoRequestCounter;
using scanlink::test::LoopbackPeer;
using scanlink::test::RecordingModule;

namespace {

constexpr uint16_t kPort = 5000;

class BringUp : public ::testing::Test {
 protected:
  void SetUp() override { scanlink::test::AimAtLocalPeer(kPort); }
  static double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
  }
  static scanlink::transport::CMyPcCommSocket* Engine() {
    return scanlink::client::FirstSession().engine();
  }
};

TEST_F(BringUp, ReachableScannerComesUpWithTwoEchoRequestsAndBothConnections) {
  LoopbackPeer peer;
  ASSERT_TRUE(peer.Start(kPort));
  EchoRequestCounter echoes;
  ASSERT_TRUE(echoes.Ok());
  CMyPcCommSocketClient client;
  RecordingModule module;
  ASSERT_TRUE(client.ClientRegisterModule(&module, 1));

  EXPECT_EQ(client.ClientInitPcComm(), 0);
  EXPECT_EQ(scanlink::transport::LoadGlobal(gInitFinishFlag), 1);
  EXPECT_EQ(scanlink::transport::LoadGlobal(gFirstConnFlag), 1);
  EXPECT_EQ(scanlink::transport::LoadGlobal(nTcpPortAlarm), 8050);
  EXPECT_TRUE(peer.WaitDataAccepts(1, 2s));
  EXPECT_TRUE(peer.WaitAlarmAccepts(1, 2s));
  EXPECT_EQ(echoes.Count(), 2);
  EXPECT_TRUE(module.Events().empty()) << "no ConnectMsg for an application bring-up";

  // Up already: at once, no probe, no new connection.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.ClientInitPcComm(), 0);
  EXPECT_LT(Seconds(start), 0.05);
  EXPECT_EQ(echoes.Count(), 0);
  EXPECT_EQ(peer.DataAccepts(), 1);
  client.ClientRegisterModule(&module, 0);
}

TEST_F(BringUp, RefusedDataPortFailsAfterOneImmediateAndThreeDelayedAttempts) {
  CMyPcCommSocketClient client;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.ClientInitPcComm(), 2);
  const double took = Seconds(start);
  EXPECT_GE(took, 3.0);
  EXPECT_LT(took, 4.5);
  EXPECT_EQ(Engine()->nConnectRetry(), 0);
  EXPECT_EQ(scanlink::transport::LoadGlobal(gInitFinishFlag), 0);
  EXPECT_EQ(scanlink::transport::LoadGlobal(gFirstConnFlag), 0);
  EXPECT_FALSE(Engine()->LinkMaintainRunning());
}

TEST_F(BringUp, RefusedAlarmPortStillBringsTheLinkUp) {
  LoopbackPeer peer;
  ASSERT_TRUE(peer.Start(kPort, /*alarm=*/false));
  nTcpPortAlarm = 1234;
  CMyPcCommSocketClient client;
  EXPECT_EQ(client.ClientInitPcComm(), 0);
  EXPECT_EQ(scanlink::transport::LoadGlobal(nTcpPortAlarm), 8050);
  EXPECT_TRUE(peer.WaitDataAccepts(1, 2s));
  char bytes[3] = {1, 2, 3};
  EXPECT_EQ(client.ClientSendAlarmMessage(bytes, 3), -1);
}

TEST_F(BringUp, LinkDownFlagAnswersSixAndTouchesNothing) {
  LoopbackPeer peer;
  ASSERT_TRUE(peer.Start(kPort));
  EchoRequestCounter echoes;
  gLinkDownFlag = 1;
  gInitFinishFlag = 1;
  CMyPcCommSocketClient client;
  EXPECT_EQ(client.ClientInitPcComm(), 6);
  EXPECT_EQ(peer.DataAccepts(), 0);
  EXPECT_EQ(echoes.Count(), 0);
}

TEST_F(BringUp, SilentScannerFailsWithinHalfASecondWithoutTcp) {
  ASSERT_TRUE(scanlink::test::IgnorePings());
  LoopbackPeer peer;
  ASSERT_TRUE(peer.Start(kPort));
  CMyPcCommSocketClient client;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.ClientInitPcComm(), 1);
  const double took = Seconds(start);
  EXPECT_GE(took, 0.45);
  EXPECT_LT(took, 1.0);
  EXPECT_FALSE(peer.WaitDataAccepts(1, 100ms));
}

TEST_F(BringUp, PortAboveSixteenBitsUsesItsLowBits) {
  LoopbackPeer peer;
  ASSERT_TRUE(peer.Start(kPort));
  nTcpPort = 0x10000 + kPort;
  CMyPcCommSocketClient client;
  EXPECT_EQ(client.ClientInitPcComm(), 0);
  EXPECT_TRUE(peer.WaitDataAccepts(1, 2s));
}

TEST_F(BringUp, InvalidHostAddressFailsTheProbe) {
  std::strcpy(gHostAddr, "not-an-address");
  CMyPcCommSocketClient client;
  EXPECT_EQ(client.ClientInitPcComm(), 1);
}

TEST_F(BringUp, ExitConnectionAndDestructionArePromptAndFinal) {
  LoopbackPeer peer;
  ASSERT_TRUE(peer.Start(kPort));
  auto client = std::make_unique<CMyPcCommSocketClient>();
  RecordingModule module;
  client->ClientRegisterModule(&module, 1);
  ASSERT_EQ(client->ClientInitPcComm(), 0);
  ASSERT_TRUE(peer.WaitDataAccepts(1, 2s));

  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(client->ExitConnection());
  EXPECT_LT(Seconds(start), 0.2);
  // Nothing reopens the link afterwards, not even the supervision seeing it closed.
  EXPECT_FALSE(peer.WaitDataAccepts(2, 800ms));
  EXPECT_EQ(client->ClientInitPcComm(), 1) << "a closed link is not reported as up";
  EXPECT_EQ(client->LoginScaner(const_cast<char*>("user____________"),
                                const_cast<char*>("password________")),
            0);

  start = std::chrono::steady_clock::now();
  client->ClientRegisterModule(&module, 0);
  client.reset();
  EXPECT_LT(Seconds(start), 0.2);
  EXPECT_EQ(scanlink::transport::LoadGlobal(gInitFinishFlag), 0);
  EXPECT_EQ(scanlink::transport::LoadGlobal(gFirstConnFlag), 0);
  EXPECT_EQ(scanlink::client::FirstSession().engine(), nullptr);
}

TEST_F(BringUp, DestroyingTheClientKeepsLinkDownFlag) {
  gLinkDownFlag = 1;
  {
    CMyPcCommSocketClient client;
    EXPECT_EQ(client.ClientInitPcComm(), 6);
  }
  EXPECT_EQ(scanlink::transport::LoadGlobal(gLinkDownFlag), 1);
  CMyPcCommSocketClient again;
  EXPECT_EQ(again.ClientInitPcComm(), 6);
  gLinkDownFlag = 0;
  LoopbackPeer peer;
  ASSERT_TRUE(peer.Start(kPort));
  EchoRequestCounter echoes;
  EXPECT_EQ(again.ClientInitPcComm(), 0);
  EXPECT_EQ(echoes.Count(), 2) << "a full first bring-up, probe included";
}

}  // namespace
