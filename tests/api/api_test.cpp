// The client's own rules: registration, the alarm module, the exported variables over the
// client's life, the command sequence number and the echo request of the probe.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "client/first_session.h"
#include "client/sequence.h"
#include "platform/icmp.h"
#include "platform/sync.h"
#include "scanlink/scanlink.h"
#include "transport/engine.h"
#include "transport/library_state.h"
#include "transport/link_timeout.h"

using scanlink::transport::CMyPcCommSocket;

namespace {

class Named : public CMyPcCommInterface {
 public:
  explicit Named(std::vector<int>* log = nullptr, int name = 0) : log_(log), name_(name) {}
  void ProcPcCommMsg(CCmdManage&) override {
    if (log_) log_->push_back(name_);
  }

 private:
  std::vector<int>* log_;
  int name_;
};

// Sends one report frame through dispatch and returns which modules saw it, in order.
std::vector<int> Broadcast(std::vector<int>& log) {
  log.clear();
  const uint8_t frame[10] = {0x55, 0, 0, 37, 0xFF, 0xFF, 0, 2, 0, 1};
  scanlink::platform::ScopedLock<scanlink::platform::RecursiveMutex> guard(
      scanlink::client::FirstState().lock);
  scanlink::client::FirstSession().engine()->MyDispatchData(frame, sizeof frame);
  return log;
}

TEST(Globals, HoldTheirLoadTimeValuesInANewProcess) {
  EXPECT_STREQ(gHostAddr, "");
  EXPECT_EQ(nTcpPort, 0);
  EXPECT_EQ(nTcpPortAlarm, 0);
  EXPECT_EQ(gFirstConnFlag, 0);
  EXPECT_EQ(gInitFinishFlag, 0);
  EXPECT_EQ(gLinkDownFlag, 0);
  EXPECT_EQ(nScannerType, 0);
  EXPECT_EQ(TDorWCDMAConfig, 1);
  EXPECT_EQ(FingerTestFlag, 0);
  CMyPcCommSocketClient client;
  EXPECT_EQ(client.nModuleID, 0);
  EXPECT_TRUE(client.ClientVerifyProc());
}

TEST(Globals, DestroyingTheClientResetsBringUpFlagsButKeepsLinkDown) {
  {
    CMyPcCommSocketClient client;
    gInitFinishFlag = 1;
    gFirstConnFlag = 1;
    gLinkDownFlag = 1;
    EXPECT_NE(scanlink::client::FirstSession().engine(), nullptr);
  }
  EXPECT_EQ(gInitFinishFlag, 0);
  EXPECT_EQ(gFirstConnFlag, 0);
  EXPECT_EQ(gLinkDownFlag, 1);
  EXPECT_EQ(scanlink::client::FirstSession().engine(), nullptr);
  gLinkDownFlag = 0;
}

TEST(Globals, CopiesOfTheClientShareTheEngineUntilTheLastIsGone) {
  auto client = std::make_unique<CMyPcCommSocketClient>();
  CMyPcCommSocket* engine = scanlink::client::FirstSession().engine();
  {
    CMyPcCommSocketClient copy(*client);
    EXPECT_EQ(scanlink::client::FirstSession().engine(), engine);
  }
  EXPECT_EQ(scanlink::client::FirstSession().engine(), engine)
      << "the copy's end leaves the engine alone";
  client.reset();
  EXPECT_EQ(scanlink::client::FirstSession().engine(), nullptr);
}

TEST(Registration, IdsFollowRegistrationOrderAndReRegistrationMovesToTheTail) {
  CMyPcCommSocketClient client;
  std::vector<int> log;
  Named a(&log, 1), b(&log, 2), c(&log, 3);
  ASSERT_TRUE(client.ClientRegisterModule(&a, 1));
  EXPECT_EQ(client.nModuleID, 20);
  EXPECT_EQ(a.bActive, 1);
  ASSERT_TRUE(client.ClientRegisterModule(&b, 1));
  EXPECT_EQ(client.nModuleID, 21);
  ASSERT_TRUE(client.ClientRegisterModule(&c, 1));
  EXPECT_EQ(Broadcast(log), (std::vector<int>{1, 2, 3}));

  // a again: listed once, at the tail, with a fresh id (20 went to the end of the free list).
  ASSERT_TRUE(client.ClientRegisterModule(&a, 1));
  EXPECT_EQ(client.nModuleID, 23);
  EXPECT_EQ(Broadcast(log), (std::vector<int>{2, 3, 1}));

  // Modules whose active flag is cleared are passed over.
  b.bActive = 0;
  EXPECT_EQ(Broadcast(log), (std::vector<int>{3, 1}));
  for (Named* m : {&a, &b, &c}) client.ClientRegisterModule(m, 0);
}

TEST(Registration, UnregisteringAndBadModes) {
  CMyPcCommSocketClient client;
  Named a;
  ASSERT_TRUE(client.ClientRegisterModule(&a, 1));
  EXPECT_FALSE(client.ClientRegisterModule(&a, 2));
  EXPECT_EQ(client.nModuleID, 20) << "a refused call changes nothing";
  EXPECT_TRUE(client.ClientRegisterModule(&a, 0));
  EXPECT_EQ(client.nModuleID, 255);
  EXPECT_EQ(a.bActive, 1) << "the flag stays; the module is simply no longer listed";
  EXPECT_FALSE(client.ClientRegisterModule(&a, 0));
  EXPECT_EQ(client.nModuleID, 255);
  EXPECT_FALSE(client.ClientRegisterModule(nullptr, 1));
}

TEST(Registration, ElevenModulesAtMostAndAFreedIdComesBackLast) {
  CMyPcCommSocketClient client;
  std::vector<Named> modules(12);
  for (int i = 0; i < 11; ++i) {
    ASSERT_TRUE(client.ClientRegisterModule(&modules[i], 1));
    EXPECT_EQ(client.nModuleID, 20 + i);
  }
  EXPECT_FALSE(client.ClientRegisterModule(&modules[11], 1));
  EXPECT_EQ(client.nModuleID, 30);
  ASSERT_TRUE(client.ClientRegisterModule(&modules[2], 0));  // frees 22
  ASSERT_TRUE(client.ClientRegisterModule(&modules[11], 1));
  EXPECT_EQ(client.nModuleID, 31) << "31 was ahead of 22 on the free list";
  EXPECT_FALSE(client.ClientRegisterModule(&modules[2], 1));
  for (auto& m : modules) client.ClientRegisterModule(&m, 0);
}

TEST(AlarmModule, SetClearedAndOtherModesIgnored) {
  CMyPcCommSocketClient client;
  Named a, b;
  EXPECT_TRUE(client.ClientRegisterModuleAlarm(&a, 1));
  EXPECT_EQ(scanlink::client::FirstState().alarmModule, &a);
  EXPECT_EQ(client.nModuleID, 0) << "the alarm module is not listed and gets no id";
  EXPECT_EQ(a.bActive, 0);
  EXPECT_TRUE(client.ClientRegisterModuleAlarm(&b, 7));
  EXPECT_EQ(scanlink::client::FirstState().alarmModule, &a);
  EXPECT_TRUE(client.ClientRegisterModuleAlarm(&b, 0));
  EXPECT_EQ(scanlink::client::FirstState().alarmModule, nullptr)
      << "mode 0 clears whichever module is passed";
  char bytes[2] = {1, 2};
  EXPECT_EQ(client.ClientSendAlarmMessage(bytes, 2), -1) << "no alarm connection";
}

TEST(SequenceNumber, StartsAtSixAndWrapsToFive) {
  EXPECT_EQ(scanlink::client::NextSequence(), 6);
  EXPECT_EQ(scanlink::client::NextSequence(), 7);
  scanlink::client::SetSequence(0xFFFD);
  EXPECT_EQ(scanlink::client::NextSequence(), 0xFFFE);
  EXPECT_EQ(scanlink::client::NextSequence(), 5);
  EXPECT_EQ(scanlink::client::NextSequence(), 6);
}

TEST(LinkTimeout, AbsurdValuesAreRefusedAndTheBoundKept) {
  using scanlink::transport::LinkTimeoutMs;
  EXPECT_EQ(LinkTimeoutMs(), 10000);
  for (int ms : {-1, 0, 999, 600001}) EXPECT_EQ(ScanlinkSetLinkTimeout(ms), 0) << ms;
  EXPECT_EQ(LinkTimeoutMs(), 10000);
  EXPECT_EQ(ScanlinkSetLinkTimeout(1000), 1);
  EXPECT_EQ(LinkTimeoutMs(), 1000);
  EXPECT_EQ(ScanlinkSetLinkTimeout(600000), 1);
  EXPECT_EQ(LinkTimeoutMs(), 600000);
  ScanlinkSetLinkTimeout(10000);
}

TEST(Probe, EchoRequestLayoutAndChecksumInBytesFourAndFive) {
  uint8_t packet[48];
  scanlink::platform::BuildEchoRequest(packet, 0x1234, 1, 0xA1B2C3D4);
  EXPECT_EQ(packet[0], 8);
  EXPECT_EQ(packet[1], 0);
  EXPECT_EQ(packet[2], 0);
  EXPECT_EQ(packet[3], 0);
  EXPECT_EQ(packet[6], 0x34);  // process id, low byte first
  EXPECT_EQ(packet[7], 0x12);
  EXPECT_EQ(packet[8], 1);  // sequence
  EXPECT_EQ(packet[9], 0);
  EXPECT_EQ(packet[10], 0);
  EXPECT_EQ(packet[11], 0);
  EXPECT_EQ(packet[12], 0xD4);  // tick, low byte first
  EXPECT_EQ(packet[15], 0xA1);
  for (int i = 16; i < 48; ++i) ASSERT_EQ(packet[i], 0x45) << i;
  // The 16-bit words of the whole message sum to all ones, whichever way they are read.
  uint32_t sum = 0;
  for (int i = 0; i < 48; i += 2) sum += static_cast<uint32_t>(packet[i] | packet[i + 1] << 8);
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  EXPECT_EQ(sum, 0xFFFFu);
  EXPECT_NE(packet[4] | packet[5], 0);
}

}  // namespace
