// The system layer on its own: events, the readiness wait over sockets and events, TCP sockets
// and address conversion. The same expectations hold on every system the library runs on.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "integration/net_compat.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/icmp.h"
#include "platform/socket.h"
#include "platform/spin.h"
#include "platform/sync.h"

namespace {

using namespace std::chrono_literals;
using scanlink::platform::Doorbell;
using scanlink::platform::Event;
using scanlink::platform::IcmpSocket;
using scanlink::platform::IoStatus;
using scanlink::platform::Poller;
using scanlink::platform::TcpSocket;
namespace net = scanlink::test::net;

uint64_t Elapsed(uint64_t since) { return scanlink::platform::TickMs() - since; }

TEST(Event, SetResetAndWait) {
  Event e;
  ASSERT_TRUE(e.Valid());
  EXPECT_FALSE(e.IsSet());
  EXPECT_FALSE(e.Wait(0));
  e.Set();
  e.Set();  // setting twice changes nothing
  EXPECT_TRUE(e.IsSet());
  EXPECT_TRUE(e.Wait(0));
  EXPECT_TRUE(e.Wait(1000)) << "a manual-reset event stays set for every waiter";
  e.Reset();
  EXPECT_FALSE(e.IsSet());
  const uint64_t start = scanlink::platform::TickMs();
  EXPECT_FALSE(e.Wait(50));
  EXPECT_GE(Elapsed(start), 40u);
}

TEST(Event, SetFromAnotherThreadEndsAnUnboundedWait) {
  Event e;
  std::thread setter([&] {
    std::this_thread::sleep_for(20ms);
    e.Set();
  });
  EXPECT_TRUE(e.Wait(-1));
  setter.join();
}

// Set and Reset from two threads at once: the state read by IsSet is the one a waiter sees.
TEST(Event, RacingSetAndResetLeaveOneState) {
  for (int round = 0; round < 500; ++round) {
    Event e;
    std::thread setter([&] {
      for (int i = 0; i < 50; ++i) e.Set();
    });
    for (int i = 0; i < 50; ++i) e.Reset();
    setter.join();
    ASSERT_EQ(e.IsSet(), e.Wait(0)) << "round " << round;
  }
}

// Dispatch's use of the doorbell: one thread queues an item and rings, the other takes it. A
// lost wake-up leaves the item waiting until the next ring; the producer waits 1 s for each.
TEST(Doorbell, NoWakeUpIsLost) {
  constexpr int kItems = 20000;
  Doorbell bell;
  std::atomic<int> queued{0}, taken{0};
  std::atomic<bool> stop{false};
  // Two takers, as dispatch has; a ring wakes one of them.
  std::atomic<int> running{2};
  auto take = [&] {
    for (;;) {
      const uint32_t ticket = bell.Ticket();
      int seen = taken.load();
      if (seen < queued.load()) {
        taken.compare_exchange_strong(seen, seen + 1);
        continue;
      }
      if (stop.load()) break;
      bell.Wait(ticket);
    }
    running.fetch_sub(1);
  };
  std::thread one(take), two(take);
  int stalls = 0;
  uint32_t random = 1;
  for (int i = 1; i <= kItems; ++i) {
    // A varying pause first, so rings land at every point of the takers' way to sleep.
    random = random * 1103515245u + 12345u;
    std::atomic<uint32_t> spin{(random >> 16) % 4096};
    while (spin.load(std::memory_order_relaxed) > 0) spin.fetch_sub(1, std::memory_order_relaxed);
    queued.store(i);
    bell.Ring();
    const uint64_t start = scanlink::platform::TickMs();
    while (taken.load() < i) {
      if (Elapsed(start) > 1000) {
        ++stalls;
        break;  // the next ring wakes it
      }
      std::this_thread::yield();
    }
  }
  stop.store(true);
  while (running.load() > 0) {
    bell.RingAll();
    std::this_thread::sleep_for(1ms);
  }
  one.join();
  two.join();
  EXPECT_EQ(stalls, 0) << "items waited more than 1 s for a wake-up";
}

// A spin costs CPU only after short pauses, ends as soon as its work (or a stop) shows, and
// fruitless spins soon stop it, so a mostly idle thread sleeps. The 20 ms window is far longer
// than the moment between Pausing and Resuming.
TEST(AdaptiveSpin, SpinsOnlyWhileWorkHasComeSoon) {
  scanlink::platform::AdaptiveSpin spin(20000);
  int looks = 0;
  EXPECT_FALSE(spin.Spin([&] { return ++looks > 0; }));
  EXPECT_EQ(looks, 0) << "no pause seen yet: no spin";

  spin.Pausing();
  spin.Resuming();
  EXPECT_TRUE(spin.Spin([&] { return ++looks == 3; }));
  EXPECT_EQ(looks, 3);

  int spins = 0, before = 0;
  do {
    before = looks;
    spin.Spin([&] { return ++looks < 0; });
  } while (looks != before && ++spins < 100);
  EXPECT_LT(spins, 100) << "fruitless spins never stopped spinning";
  spin.Pausing();
  spin.Resuming();
  EXPECT_TRUE(spin.Spin([] { return true; })) << "a short pause brings the spin back";
}

TEST(IcmpReply, OnlyAnEchoReplyCounts) {
  uint8_t raw[28] = {0x45};  // a 20-byte IP header, then the ICMP message
  EXPECT_TRUE(scanlink::platform::IsEchoReply(raw, sizeof raw, true));
  EXPECT_FALSE(scanlink::platform::IsEchoReply(raw, sizeof raw - 1, true)) << "cut short";
  raw[20] = 8;  // a request, as the library's own on loopback
  EXPECT_FALSE(scanlink::platform::IsEchoReply(raw, sizeof raw, true));
  raw[0] = 0x41;  // a header length below the minimum
  EXPECT_FALSE(scanlink::platform::IsEchoReply(raw, sizeof raw, true));
  const uint8_t datagram[8] = {0};
  EXPECT_TRUE(scanlink::platform::IsEchoReply(datagram, sizeof datagram, false));
  EXPECT_FALSE(scanlink::platform::IsEchoReply(datagram, 7, false));
  EXPECT_FALSE(scanlink::platform::IsEchoReply(nullptr, 0, false));
  const uint32_t dest = 0x0100007F;
  EXPECT_TRUE(scanlink::platform::IsEchoServiceReply(0, dest, dest));
  EXPECT_FALSE(scanlink::platform::IsEchoServiceReply(11010 /* timed out */, dest, dest));
  EXPECT_FALSE(scanlink::platform::IsEchoServiceReply(0, 0x0200007F, dest)) << "another host";
}

// Without the right to a raw socket the probe still works: the ICMP datagram socket on Linux,
// the echo service on Windows.
TEST(IcmpSocket, TheUnprivilegedProbeGetsTheReplyOfLoopback) {
  scanlink::platform::SocketLibrary library;
  ASSERT_TRUE(library.Start(2, 2));
  IcmpSocket icmp;
#if !defined(_WIN32)
  // This private namespace lets every group have them, as distributions often do.
  std::ofstream("/proc/sys/net/ipv4/ping_group_range") << "0 2147483647\n";
#endif
  const IcmpSocket::Kind kind = icmp.Open(false);
#if defined(_WIN32)
  ASSERT_EQ(kind, IcmpSocket::Kind::kEchoService);
#else
  ASSERT_EQ(kind, IcmpSocket::Kind::kDatagram);
#endif
  uint8_t packet[48];
  scanlink::platform::BuildEchoRequest(packet, 1, 0, 0);
  const uint32_t loopback = scanlink::platform::ToNetworkOrder(0x7F000001);
  ASSERT_TRUE(icmp.SendTo(loopback, packet, sizeof packet));
  EXPECT_TRUE(icmp.ReceiveEchoReply(loopback, 2000));
  icmp.Close();
  EXPECT_EQ(icmp.kind(), IcmpSocket::Kind::kNone);
}

// A listener on loopback and one connection to it: the library's socket on one end, a plain
// socket of the test on the other.
class Connected : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(library.Start(2, 2));
    ASSERT_TRUE(net::Start());
    listener = net::NewSocket(SOCK_STREAM);
    ASSERT_TRUE(net::Valid(listener));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len), 0);
    port = ntohs(sa.sin_port);
    ASSERT_TRUE(socket.Open());
    ASSERT_TRUE(socket.Connect(htonl(INADDR_LOOPBACK), port, 2000, nullptr));
    ASSERT_TRUE(socket.SetNonBlocking());
    peer = net::Accept(listener);
    ASSERT_TRUE(net::Valid(peer));
  }
  void TearDown() override {
    socket.Close();
    if (net::Valid(peer)) net::Close(peer);
    if (net::Valid(listener)) net::Close(listener);
  }
  void PeerSends(const char* text) {
    ASSERT_EQ(net::Send(peer, text, std::strlen(text)), static_cast<long>(std::strlen(text)));
  }
  bool ReadableWithin(int ms) {
    Poller p;
    const int slot = p.Add(socket);
    return p.Wait(ms) && p.Readable(slot);
  }

  scanlink::platform::SocketLibrary library;
  net::Socket listener = static_cast<net::Socket>(-1);
  net::Socket peer = static_cast<net::Socket>(-1);
  uint16_t port = 0;
  TcpSocket socket;
};

TEST_F(Connected, BytesMoveBothWaysAndAnEmptyReadWouldBlock) {
  char buf[16] = {};
  EXPECT_EQ(socket.Receive(buf, sizeof buf).status, IoStatus::kWouldBlock);
  const auto sent = socket.Send("ping", 4);
  ASSERT_EQ(sent.status, IoStatus::kOk);
  EXPECT_EQ(sent.bytes, 4u);
  char got[8] = {};
  long n = 0;
  for (int i = 0; i < 200 && n <= 0; ++i) {
    net::PollFd p{peer, POLLIN, 0};
    net::Poll(&p, 1, 10);
    n = net::Recv(peer, got, sizeof got);
  }
  EXPECT_EQ(n, 4);
  EXPECT_EQ(std::string(got, 4), "ping");
  PeerSends("pong");
  ASSERT_TRUE(ReadableWithin(2000));
  const auto r = socket.Receive(buf, sizeof buf);
  ASSERT_EQ(r.status, IoStatus::kOk);
  EXPECT_EQ(std::string(buf, r.bytes), "pong");
}

TEST_F(Connected, UnreadBytesKeepTheSocketReadableAcrossWaits) {
  // The listening thread may leave bytes unread (a burst cut short, no free buffers): the next
  // wait must still see them, however the system reports readiness.
  EXPECT_FALSE(ReadableWithin(20)) << "nothing sent yet";
  PeerSends("abcdef");
  ASSERT_TRUE(ReadableWithin(2000));
  ASSERT_TRUE(ReadableWithin(0)) << "nothing read: still readable";
  char buf[2];
  ASSERT_EQ(socket.Receive(buf, 2).bytes, 2u);
  EXPECT_TRUE(ReadableWithin(0)) << "part read: the rest is still readable";
  EXPECT_TRUE(ReadableWithin(100));
  char rest[16];
  ASSERT_EQ(socket.Receive(rest, sizeof rest).bytes, 4u);
  EXPECT_FALSE(ReadableWithin(30)) << "everything read";
  PeerSends("x");
  EXPECT_TRUE(ReadableWithin(2000)) << "new bytes after a drained wait";
}

TEST_F(Connected, PeerCloseIsReadableAndReadsAsClosed) {
  net::Close(peer);
  peer = static_cast<net::Socket>(-1);
  ASSERT_TRUE(ReadableWithin(2000));
  char buf[4];
  EXPECT_EQ(socket.Receive(buf, sizeof buf).status, IoStatus::kClosed);
}

TEST_F(Connected, AnEventWakesAWaitOnSocketsAndEvents) {
  Event stop, other;
  Poller p;
  const int stopSlot = p.Add(stop);
  const int otherSlot = p.Add(other);
  const int sockSlot = p.Add(socket);
  std::thread setter([&] {
    std::this_thread::sleep_for(30ms);
    stop.Set();
  });
  const uint64_t start = scanlink::platform::TickMs();
  ASSERT_TRUE(p.Wait(-1));
  setter.join();
  EXPECT_LT(Elapsed(start), 2000u);
  EXPECT_TRUE(p.Readable(stopSlot));
  EXPECT_FALSE(p.Readable(otherSlot));
  EXPECT_FALSE(p.Readable(sockSlot));
  EXPECT_FALSE(p.Readable(7)) << "a slot never added";
  // Still set: every later wait returns at once, and so does the socket once it has bytes.
  PeerSends("z");
  ASSERT_TRUE(ReadableWithin(2000));
  ASSERT_TRUE(p.Wait(-1));
  EXPECT_TRUE(p.Readable(stopSlot));
  EXPECT_TRUE(p.Readable(sockSlot));
}

TEST_F(Connected, ShutdownEndsReading) {
  // Teardown shuts a socket down while the listening thread may wait on it; its stop event is
  // what wakes that thread, and after shutdown nothing reads as data.
  socket.Shutdown();
  char buf[4];
  const auto r = socket.Receive(buf, sizeof buf);
  EXPECT_NE(r.status, IoStatus::kOk);
}

TEST(TcpSocket, ConnectToAClosedPortFailsAndTheSocketIsReusable) {
  scanlink::platform::SocketLibrary library;
  ASSERT_TRUE(library.Start(1, 1));
  ASSERT_TRUE(library.Start(1, 1)) << "a second start of the same registration is harmless";
  TcpSocket s;
  ASSERT_TRUE(s.Open());
  // Port 1 on loopback has no listener in a test namespace.
  EXPECT_FALSE(s.Connect(htonl(INADDR_LOOPBACK), 1, 2000, nullptr));
  EXPECT_TRUE(s.Open()) << "a fresh socket after a failed attempt";
  s.Close();
  s.Close();
  EXPECT_FALSE(s.IsOpen());
}

TEST(TcpSocket, ACancelledConnectReturnsAtOnce) {
  scanlink::platform::SocketLibrary library;
  ASSERT_TRUE(library.Start(2, 2));
  Event cancel;
  cancel.Set();
  TcpSocket s;
  ASSERT_TRUE(s.Open());
  const uint64_t start = scanlink::platform::TickMs();
  // Whatever the outcome of a cancelled attempt, it must not wait out its time-out.
  s.Connect(htonl(INADDR_LOOPBACK), 1, 5000, &cancel);
  EXPECT_LT(Elapsed(start), 1000u);
}

TEST(Address, NetworkOrderAsTheSocketCallsTakeIt) {
  EXPECT_EQ(scanlink::platform::ToNetworkOrder(0x7F000001), htonl(INADDR_LOOPBACK));
  EXPECT_EQ(scanlink::platform::ToNetworkOrder(0xC0A8000A), htonl(0xC0A8000A));
}

}  // namespace
