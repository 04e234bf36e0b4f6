// Breaks the link hundreds of times at random moments and checks that it always comes back,
// answers requests, and returns to the same descriptors, threads, ids and buffers.
//
// SCANLINK_SOAK_FAILURES=N sets the number of failures (default 200);
// SCANLINK_SOAK_REAL_TIMINGS=1 keeps the protocol's own pauses (slow: over a second each).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
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
using scanlink::transport::LoadGlobal;

namespace {

constexpr uint16_t kPort = 5000;

long RssKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

int EnvInt(const char* name, int fallback) {
  const char* v = std::getenv(name);
  return v != nullptr ? std::atoi(v) : fallback;
}

struct Steady {
  int fds, threads, transInUse, queued;
};

Steady Measure() {
  scanlink::platform::ScopedLock<scanlink::platform::RecursiveMutex> g(
      scanlink::client::FirstState().lock);
  return {scanlink::test::OpenDescriptors(), scanlink::test::Threads(),
          scanlink::client::FirstState().trans.InUse(),
          static_cast<int>(scanlink::client::FirstState().handover.Count())};
}

class Soak : public ::testing::Test {
 protected:
  void SetUp() override {
    scanlink::test::AimAtLocalPeer(kPort);
    ASSERT_TRUE(peer.Start(kPort));
    peer.EchoReplies();
    if (EnvInt("SCANLINK_SOAK_REAL_TIMINGS", 0) == 0) {
      CMyPcCommSocket::Timings fast;
      fast.retryPauseMs = 20;
      fast.supervisionMs = 20;
      fast.sendWaitMs = 500;
      scanlink::client::SetFirstSessionTimings(fast);
    }
    client = std::make_unique<CMyPcCommSocketClient>();
    ASSERT_TRUE(client->ClientRegisterModule(&module, 1));
    ASSERT_EQ(client->ClientInitPcComm(), 0);
  }
  void TearDown() override {
    client->ClientRegisterModule(&module, 0);
    client.reset();
    scanlink::client::SetFirstSessionTimings({});
  }
  using CMyPcCommSocket = scanlink::transport::CMyPcCommSocket;

  // The link is back when a request gets its reply and the bring-up has finished (the alarm
  // connection comes after the data connection already answers).
  bool RoundTrip(std::chrono::milliseconds timeout) {
    return scanlink::test::RoundTrip(*client, module, timeout) &&
           scanlink::test::WaitUntil([] { return LoadGlobal(gInitFinishFlag) == 1; }, timeout);
  }

  LoopbackPeer peer;
  std::unique_ptr<CMyPcCommSocketClient> client;
  RecordingModule module;
};

TEST_F(Soak, HundredsOfFailuresAtRandomMomentsAlwaysRecover) {
  const int failures = EnvInt("SCANLINK_SOAK_FAILURES", 200);
  ASSERT_TRUE(RoundTrip(5s));
  // Let the first requests' ids come back before measuring.
  ASSERT_TRUE(scanlink::test::WaitUntil([] { return Measure().transInUse == 0; }, 2s));
  const Steady before = Measure();
  const long rssBefore = RssKb();
  std::mt19937 rng(20261208);

  for (int i = 0; i < failures; ++i) {
    ScanlinkCounters c0;
    ScanlinkReadCounters(&c0);
    const int kind = static_cast<int>(rng() % 6);
    // Requests in flight while the link breaks: some are answered, the rest reclaimed.
    std::thread sender([&] {
      for (int k = 0; k < 20; ++k) client->GetScanMode();
    });
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
    switch (kind) {
      case 0:
        peer.CloseData();
        break;
      case 1:
        peer.CloseAlarm();
        break;
      case 2: {  // half a frame, then the connection drops
        Bytes frame = MakeFrame(0xF025, 0xFFFF, Bytes(400, 7));
        frame.resize(1 + rng() % (frame.size() - 1));
        peer.SendData(frame);
        peer.CloseData();
        break;
      }
      case 3:  // refuse connections for a while
        peer.Stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 150));
        ASSERT_TRUE(peer.Start(kPort));
        peer.EchoReplies();
        break;
      case 4: {  // fail again during the reconnection
        peer.CloseData();
        const int accepts = peer.DataAccepts();
        peer.WaitDataAccepts(accepts + 1, 2s);
        peer.CloseData();
        break;
      }
      default:  // a report stream cut at a random point
        for (int k = 0; k < 5; ++k) peer.SendData(MakeFrame(37, 0xFFFF, {0, 1}));
        peer.CloseData();
        break;
    }
    sender.join();
    ASSERT_TRUE(scanlink::test::WaitUntil(
        [&] {
          ScanlinkCounters c;
          ScanlinkReadCounters(&c);
          return c.linkLosses > c0.linkLosses;
        },
        5s))
        << "failure " << i << " (kind " << kind << ") was not noticed";
    ASSERT_TRUE(RoundTrip(10s)) << "no answer after failure " << i << " (kind " << kind << ")";
  }

  ASSERT_TRUE(RoundTrip(5s));
  EXPECT_TRUE(scanlink::test::WaitUntil(
      [&] {
        const Steady now = Measure();
        return now.fds == before.fds && now.threads == before.threads && now.transInUse == 0 &&
               now.queued == before.queued;
      },
      3s));
  const Steady after = Measure();
  EXPECT_EQ(after.fds, before.fds);
  EXPECT_EQ(after.threads, before.threads);
  EXPECT_EQ(after.transInUse, 0);
  EXPECT_EQ(after.queued, before.queued);
  ScanlinkCounters c;
  ScanlinkReadCounters(&c);
  EXPECT_GE(c.linkLosses, static_cast<uint64_t>(failures));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Sanitizers keep their own growing shadow and history: only a plain build says anything.
  EXPECT_LT(RssKb() - rssBefore, 8 * 1024) << "resident memory grew";
#endif
  std::printf("soak: resident memory %ld kB -> %ld kB\n", rssBefore, RssKb());
  std::printf("soak: %d failures, %llu losses, %llu reconnections, %llu ids reclaimed\n", failures,
              static_cast<unsigned long long>(c.linkLosses),
              static_cast<unsigned long long>(c.reconnections),
              static_cast<unsigned long long>(c.transactionsReclaimed));
}

}  // namespace
