// Requests, replies, reports and alarms through a real connection to a local peer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "client/first_session.h"
#include "integration/loopback_peer.h"
#include "integration/test_support.h"
#include "platform/sync.h"
#include "scanlink/scanlink.h"
#include "transport/engine.h"
#include "transport/library_state.h"

using namespace std::chrono_literals;
using scanlink::test::Bytes;
using scanlink::test::LoopbackPeer;
using scanlink::test::MakeFrame;
using scanlink::test::RecordingModule;
using scanlink::transport::CMyPcCommSocket;

namespace {

constexpr uint16_t kPort = 5000;

class Link : public ::testing::Test {
 protected:
  void SetUp() override {
    scanlink::test::AimAtLocalPeer(kPort);
    ASSERT_TRUE(peer.Start(kPort));
    client = std::make_unique<CMyPcCommSocketClient>();
  }
  void TearDown() override {
    for (RecordingModule* m : {&a, &b}) client->ClientRegisterModule(m, 0);
    client->ClientRegisterModuleAlarm(nullptr, 0);
    client.reset();
  }
  // A new client whose engine takes these timings, module a on it.
  void RestartWith(const CMyPcCommSocket::Timings& timings) {
    client.reset();
    scanlink::client::SetFirstSessionTimings(timings);
    client = std::make_unique<CMyPcCommSocketClient>();
    scanlink::client::SetFirstSessionTimings({});
    client->ClientRegisterModule(&a, 1);
  }
  void Up() {
    ASSERT_EQ(client->ClientInitPcComm(), 0);
    ASSERT_TRUE(peer.WaitDataAccepts(1, 2s));
  }
  static char* Text(const char* t) {
    static char buf[2][16];
    static int i = 0;
    char* out = buf[i++ % 2];
    std::memset(out, 0, 16);
    std::strncpy(out, t, 15);
    return out;
  }

  LoopbackPeer peer;
  std::unique_ptr<CMyPcCommSocketClient> client;
  RecordingModule a, b;
};

TEST_F(Link, ReplyReachesOnlyTheSendingModuleAndLoginSetsTheFamily) {
  peer.SetResponder([](const scanlink::test::Frame& f) -> std::optional<Bytes> {
    if (f.code == 43) return MakeFrame(44, f.trans, {0, 0, 0, 21}, f.module);
    return MakeFrame(static_cast<uint16_t>(f.code + 2), f.trans, {0, 0}, f.module);
  });
  ASSERT_TRUE(client->ClientRegisterModule(&a, 1));
  ASSERT_TRUE(client->ClientRegisterModule(&b, 1));  // requests now go out for b (id 21)
  Up();

  const int t = client->LoginScaner(Text("user"), Text("secret"));
  EXPECT_EQ(t, 1);
  ASSERT_TRUE(b.WaitMessages(1, 2s));
  EXPECT_EQ(b.Messages()[0].code, 44);
  EXPECT_EQ(b.Messages()[0].trans, 1);
  EXPECT_EQ(b.Messages()[0].family, 21u);
  EXPECT_EQ(scanlink::transport::LoadGlobal(nScannerType), 1);
  EXPECT_EQ(scanlink::transport::LoadGlobal(TDorWCDMAConfig), 2);

  // Later commands use the TD-SCDMA family.
  EXPECT_EQ(client->GetScanMode(), 2);
  EXPECT_EQ(client->StopScanData(), 3);
  auto frames = peer.WaitFrames(3, 2s);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].module, 21);
  EXPECT_EQ(frames[0].trans, 1);
  EXPECT_EQ(frames[1].code, 0xF00A);
  EXPECT_EQ(frames[1].trans, 2);
  EXPECT_EQ(frames[2].code, 0xF007);
  EXPECT_TRUE(frames[2].payload.empty());
  ASSERT_TRUE(b.WaitMessages(3, 2s));
  EXPECT_TRUE(a.Messages().empty());
  scanlink::platform::ScopedLock<scanlink::platform::RecursiveMutex> g(
      scanlink::client::FirstState().lock);
  EXPECT_EQ(scanlink::client::FirstState().trans.InUse(), 0) << "answered ids are free again";
}

TEST_F(Link, UnsolicitedFramesReachEveryActiveModuleInOrder) {
  client->ClientRegisterModule(&a, 1);
  client->ClientRegisterModule(&b, 1);
  std::vector<std::string> order;
  std::mutex orderMutex;
  a.onMessage = [&](CCmdManage&) {
    std::lock_guard<std::mutex> l(orderMutex);
    order.push_back("a");
  };
  b.onMessage = [&](CCmdManage&) {
    std::lock_guard<std::mutex> l(orderMutex);
    order.push_back("b");
  };
  Up();
  for (uint16_t v = 1; v <= 20; ++v) {
    peer.SendData(MakeFrame(37, 0xFFFF, {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}));
  }
  ASSERT_TRUE(a.WaitMessages(20, 2s));
  ASSERT_TRUE(b.WaitMessages(20, 2s));
  std::lock_guard<std::mutex> l(orderMutex);
  for (size_t i = 0; i < order.size(); i += 2) {
    EXPECT_EQ(order[i], "a");
    EXPECT_EQ(order[i + 1], "b");
  }
}

// Full reads queue their frames for the Msg proc threads; a frame read later in a short read
// (dispatched at once when nothing waits) must not overtake them.
TEST_F(Link, FramesAfterABacklogNeverOvertakeIt) {
  client->ClientRegisterModule(&a, 1);
  Up();
  constexpr uint16_t kBurst = 1500;
  constexpr uint16_t kTail = 50;
  Bytes burst;
  for (uint16_t i = 0; i < kBurst; ++i) {
    const Bytes f = MakeFrame(static_cast<uint16_t>(1000 + i), 0xFFFF, Bytes(500, 0));
    burst.insert(burst.end(), f.begin(), f.end());
  }
  peer.SendData(burst);
  for (uint16_t i = kBurst; i < kBurst + kTail; ++i) {
    peer.SendData(MakeFrame(static_cast<uint16_t>(1000 + i), 0xFFFF, {0, 0}));
  }
  ASSERT_TRUE(a.WaitMessages(kBurst + kTail, 10s));
  const auto m = a.Messages();
  for (size_t i = 0; i < m.size(); ++i) ASSERT_EQ(m[i].code, 1000 + i) << "frame " << i;
}

TEST_F(Link, AlarmBytesReachTheAlarmModuleWithTheirExactCount) {
  client->ClientRegisterModule(&a, 1);
  client->ClientRegisterModuleAlarm(&b, 1);
  Up();
  ASSERT_TRUE(peer.WaitAlarmAccepts(1, 2s));
  Bytes alarm(1500);
  for (size_t i = 0; i < alarm.size(); ++i) alarm[i] = static_cast<uint8_t>(i * 7);
  peer.SendAlarm(alarm);
  ASSERT_TRUE(b.WaitAlarm(alarm.size(), 2s));
  EXPECT_EQ(b.Alarm(), alarm);
  EXPECT_TRUE(a.Alarm().empty());

  char out[5] = {'h', 'e', 'l', 'l', 'o'};
  EXPECT_EQ(client->ClientSendAlarmMessage(out, 5), 5);
  ASSERT_TRUE(peer.WaitAlarmBytes(5, 2s));
}

// The tap sees every byte both ways on both connections, and nothing once it is replaced.
TEST_F(Link, WireTapSeesEveryByteExchangedUntilItIsReplaced) {
  struct Tapped {
    std::mutex mutex;
    Bytes wire[2][2];  // [direction][channel]
  } tapped;
  ScanlinkSetWireTap(
      [](int direction, int channel, const unsigned char* bytes, int length, void* context) {
        auto* t = static_cast<Tapped*>(context);
        std::lock_guard<std::mutex> l(t->mutex);
        t->wire[direction][channel].insert(t->wire[direction][channel].end(), bytes,
                                           bytes + length);
      },
      &tapped);
  client->ClientRegisterModule(&a, 1);
  client->ClientRegisterModuleAlarm(&b, 1);
  Up();
  ASSERT_TRUE(peer.WaitAlarmAccepts(1, 2s));
  const Bytes report = MakeFrame(37, 0xFFFF, {1, 2});
  peer.SendData(report);
  peer.SendAlarm({9, 8, 7});
  ASSERT_TRUE(a.WaitMessages(1, 2s));
  ASSERT_TRUE(b.WaitAlarm(3, 2s));
  CMyPcCommMessage message(0x0102, 1, 0, "\xAA");
  ASSERT_EQ(client->ClientSendMessage(message), 1);
  char out[2] = {'h', 'i'};
  ASSERT_EQ(client->ClientSendAlarmMessage(out, 2), 2);
  ScanlinkSetWireTap(nullptr, nullptr);
  peer.SendData(report);
  ASSERT_TRUE(a.WaitMessages(2, 2s));
  std::lock_guard<std::mutex> l(tapped.mutex);
  EXPECT_EQ(tapped.wire[0][0], report);
  EXPECT_EQ(tapped.wire[0][1], (Bytes{9, 8, 7}));
  EXPECT_EQ(tapped.wire[1][0], MakeFrame(0x0102, 1, {0xAA}, 20));
  EXPECT_EQ(tapped.wire[1][1], (Bytes{'h', 'i'}));
}

TEST_F(Link, SendForAnUnregisteredModuleWritesNothingAndReturnsAnId) {
  client->ClientRegisterModule(&a, 1);
  Up();
  client->ClientRegisterModule(&a, 0);
  EXPECT_EQ(client->nModuleID, 255);
  CMyPcCommMessage message(0x0102, 3, 99, "\xAA\xBB\xCC");
  EXPECT_EQ(client->ClientSendMessage(message), 1);
  EXPECT_EQ(client->ClientSendMessage(message), 2);
  EXPECT_TRUE(peer.WaitFrames(1, 200ms).empty());
}

TEST_F(Link, RawMessageCarriesAFreshTransactionIdAndTheModuleId) {
  client->ClientRegisterModule(&a, 1);
  Up();
  CMyPcCommMessage message(0x0102, 3, 777, "\xAA\xBB\xCC");
  EXPECT_EQ(client->ClientSendMessage(message), 1);
  auto frames = peer.WaitFrames(1, 2s);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].module, 20);
  EXPECT_EQ(frames[0].code, 0x0102);
  EXPECT_EQ(frames[0].trans, 1);
  EXPECT_EQ(frames[0].payload, (Bytes{0xAA, 0xBB, 0xCC}));

  CMyPcCommMessage tooLong(0x0102, 2049, 0, nullptr);
  EXPECT_EQ(client->ClientSendMessage(tooLong), 0);
}

TEST_F(Link, LargeSendsToASlowReaderArriveWhole) {
  client->ClientRegisterModule(&a, 1);
  ASSERT_TRUE(scanlink::test::LimitTcpBuffers());
  Up();
  peer.SetStalled(true);
  std::thread resume([&] {
    std::this_thread::sleep_for(300ms);
    peer.SetStalled(false);
  });
  Bytes payload(2048);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i);
  constexpr int kFrames = 200;  // far more than the socket buffers hold
  for (int i = 0; i < kFrames; ++i) {
    CMyPcCommMessage message(0x0200, 2048, 0, payload.data());
    ASSERT_NE(client->ClientSendMessage(message), 0) << "frame " << i;
  }
  resume.join();
  auto frames = peer.WaitFrames(kFrames, 5s);
  ASSERT_EQ(frames.size(), static_cast<size_t>(kFrames));
  for (const auto& f : frames) ASSERT_EQ(f.payload, payload);
  EXPECT_EQ(scanlink::client::FirstState().linkLost.load(), 0);
}

TEST_F(Link, StalledPeerTurnsIntoALostLinkInsteadOfAHang) {
  client->ClientRegisterModule(&a, 1);
  ASSERT_TRUE(scanlink::test::LimitTcpBuffers());
  Up();
  peer.SetStalled(true);
  Bytes payload(2048, 0x5A);
  const auto start = std::chrono::steady_clock::now();
  int failedAt = -1;
  for (int i = 0; i < 2000 && failedAt < 0; ++i) {
    CMyPcCommMessage message(0x0200, 2048, 0, payload.data());
    if (client->ClientSendMessage(message) == 0) failedAt = i;
  }
  ASSERT_GE(failedAt, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 8s);
  {
    scanlink::platform::ScopedLock<scanlink::platform::RecursiveMutex> g(
        scanlink::client::FirstState().lock);
    EXPECT_EQ(scanlink::client::FirstState().trans.InUse(), failedAt)
        << "the failed request's id is free again";
  }
  EXPECT_EQ(scanlink::client::FirstState().linkLost.load(), 1);
  ASSERT_TRUE(a.WaitEvents(1, 2s)) << "supervision reports the loss";
  EXPECT_EQ(a.Events()[0], "status 1");
}

// A scanner that writes reports before it reads: while the application's send waits for room,
// the listening thread still queues what the scanner wrote, and the send then completes. The
// scanner is heard, so a wait far longer than the send bound is no lost link.
TEST_F(Link, ReportsArriveWhileASendWaitsForRoom) {
  constexpr auto kBound = 300ms;
  CMyPcCommSocket::Timings timings;
  timings.sendWaitMs = static_cast<int>(kBound.count());
  RestartWith(timings);
  ASSERT_TRUE(scanlink::test::LimitTcpBuffers());
  Up();
  peer.SetStalled(true);
  constexpr int kFrames = 200;  // far more than the socket buffers hold
  std::atomic<int> sent{0};
  std::thread sender([&] {
    Bytes payload(2048, 0x5A);
    for (int i = 0; i < kFrames; ++i) {
      CMyPcCommMessage message(0x0200, 2048, 0, payload.data());
      if (client->ClientSendMessage(message) == 0) return;
      ++sent;
    }
  });
  // The sender waits for room once its count stands still.
  int last = -1;
  auto since = std::chrono::steady_clock::now();
  ASSERT_TRUE(scanlink::test::WaitUntil(
      [&] {
        const auto now = std::chrono::steady_clock::now();
        if (sent.load() != last) last = sent.load(), since = now;
        return now - since > 100ms;
      },
      3s));
  // Each report may let a little more of the send through (the peer's window), never all of it.
  for (size_t i = 1; i <= 20; ++i) {
    peer.SendData(MakeFrame(37, 0xFFFF, {0, 1}));
    ASSERT_TRUE(a.WaitMessages(i, 1s)) << "report " << i << " waited for the send";
    std::this_thread::sleep_for(kBound / 3);  // 2 s in all
  }
  EXPECT_LT(sent.load(), kFrames);
  peer.SetStalled(false);
  sender.join();
  EXPECT_EQ(sent.load(), kFrames);
  EXPECT_TRUE(a.Events().empty()) << "a healthy link was reported lost";
}

// A scanner that takes our requests slowly and says nothing meanwhile: a bound frees less room
// than wakes the wait (a good part of the send buffer), yet the window moves, so the sends go on
// and the link is not lost.
TEST_F(Link, ASlowReaderIsNoLostLink) {
  // Long enough that a loaded machine (sanitizers, parallel tests) still sees the window move
  // within a bound; the reader frees far less than the wait needs to wake.
  constexpr auto kBound = 1000ms;
  CMyPcCommSocket::Timings timings;
  timings.sendWaitMs = static_cast<int>(kBound.count());
  RestartWith(timings);
  if (!scanlink::test::EthernetLoopback()) GTEST_SKIP() << "loopback's packets cannot be set";
  Up();
  peer.SetSlowReader(4096, 50);
  std::atomic<int> sent{0};
  std::atomic<bool> failed{false}, done{false};
  std::thread sender([&] {
    Bytes payload(2048, 0x5A);
    while (!done && !failed) {
      CMyPcCommMessage message(0x0200, 2048, 0, payload.data());
      if (client->ClientSendMessage(message) == 0) failed = true;
      if (!failed) ++sent;
    }
  });
  // The buffers fill within moments; the rest of the time each send waits on the slow reader.
  std::this_thread::sleep_for(kBound * 3);
  const int slow = sent.load();
  done = true;
  peer.SetSlowReader(0, 0);
  sender.join();
  EXPECT_FALSE(failed) << "a send failed after " << slow << " frames";
  EXPECT_TRUE(a.Events().empty()) << "a healthy link was reported lost";
}

// A scanner that takes requests and never answers: an id comes back once its reply is overdue,
// and a reply after that is an unknown transaction.
TEST_F(Link, UnansweredRequestsGiveTheirIdsBack) {
  constexpr auto kBound = 1500ms;
  CMyPcCommSocket::Timings timings;
  timings.replyTimeoutMs = static_cast<int>(kBound.count());
  RestartWith(timings);
  Up();
  ScanlinkCounters before;
  ScanlinkReadCounters(&before);
  const int early = client->GetScanMode();
  ASSERT_NE(early, 0);
  ASSERT_EQ(peer.WaitFrames(1, 2s).size(), 1u);
  std::this_thread::sleep_for(kBound + 100ms);  // the reply becomes overdue
  peer.SendData(MakeFrame(11, static_cast<uint16_t>(early), {0, 1}, 20));
  EXPECT_FALSE(a.WaitMessages(1, 300ms)) << "an overdue reply was delivered";

  int ids = 0;
  while (ids < 1100 && client->GetScanMode() != 0) ++ids;
  EXPECT_EQ(ids, 1022);
  std::this_thread::sleep_for(kBound + 100ms);
  EXPECT_NE(client->GetScanMode(), 0) << "overdue ids were not given back";
  ScanlinkCounters after;
  ScanlinkReadCounters(&after);
  EXPECT_EQ(after.transactionsReclaimed - before.transactionsReclaimed, 1u + 1022u);
  EXPECT_EQ(after.droppedTransaction - before.droppedTransaction, 1u);
}

}  // namespace
