// A C session's life at its edges: resources the system refuses, a close while a handler runs,
// a trace sink replaced from two threads at once, frames no scanner sends, and its time bounds.
// Against an in-process peer on 127.0.0.1 in a network namespace of its own.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <thread>

#include "integration/loopback_peer.h"
#include "integration/test_support.h"
#include "platform/fault.h"
#include "scanlink/scanlink_c.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using scanlink::platform::RefuseCreations;
using scanlink::platform::Resource;
using scanlink::test::LoopbackPeer;
using scanlink::test::MakeFrame;

namespace {

constexpr uint16_t kPort = 5000;

scanlink_session* OpenLocal() {
  scanlink_options options;
  scanlink_options_init(&options);
  std::strcpy(options.address, "127.0.0.1");
  options.data_port = kPort;
  return scanlink_open(&options);
}

class CSession : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(peer.Start(kPort)); }
  void TearDown() override {
    for (Resource r : {Resource::kThread, Resource::kEvent, Resource::kSocket}) {
      RefuseCreations(r, 0, 0);
    }
    EXPECT_EQ(scanlink_close(s), SCANLINK_OK);
    peer.Stop();
  }
  LoopbackPeer peer;
  scanlink_session* s = nullptr;
};

// Each creation a bring-up makes, refused in turn: the connect says so at once, leaves no
// thread behind, and the next connect, with nothing refused, brings the link up.
TEST_F(CSession, EveryRefusedCreationFailsTheConnectCleanly) {
  struct Case {
    const char* what;
    Resource resource;
    int skip;
  } cases[] = {
      {"a link's first stop event", Resource::kEvent, 0},
      {"the listening thread's wake event", Resource::kEvent, 3},
      {"the data socket", Resource::kSocket, 0},
      {"the alarm socket", Resource::kSocket, 1},
      {"the listening thread", Resource::kThread, 0},
      {"the second Msg proc thread", Resource::kThread, 2},
      {"the supervision thread", Resource::kThread, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    s = OpenLocal();
    ASSERT_NE(s, nullptr);
    const int threads = scanlink::test::Threads();
    RefuseCreations(c.resource, c.skip, 1);
    const auto start = Clock::now();
    EXPECT_EQ(scanlink_connect(s), SCANLINK_ERR_RESOURCES);
    EXPECT_LT(Clock::now() - start, 3s);
    EXPECT_EQ(scanlink::test::Threads(), threads);
    scanlink_state state{};
    scanlink_read_state(s, &state);
    EXPECT_EQ(state.link_up, 0);
    RefuseCreations(c.resource, 0, 0);
    EXPECT_EQ(scanlink_connect(s), SCANLINK_CONNECT_UP);
    ASSERT_EQ(scanlink_close(s), SCANLINK_OK);
    s = nullptr;
  }
  // The session's own events: no session at all.
  RefuseCreations(Resource::kEvent, 0, 1);
  EXPECT_EQ(OpenLocal(), nullptr);
}

// Without descriptors no session can be had: null, and not a word on stderr. In a child, so the
// limit and the stderr redirection stay there.
TEST_F(CSession, OpenWithoutDescriptorsIsRefusedSilently) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the undefined-behaviour checks of this build need descriptors of their own";
#endif
  int errPipe[2];
  ASSERT_EQ(pipe(errPipe), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    dup2(errPipe[1], STDERR_FILENO);
    int failures = 0;
    for (rlim_t limit : {rlim_t{0}, rlim_t{1}}) {
      rlimit saved{};
      getrlimit(RLIMIT_NOFILE, &saved);
      rlimit low = saved;
      low.rlim_cur = limit;
      setrlimit(RLIMIT_NOFILE, &low);
      scanlink_session* session = OpenLocal();
      setrlimit(RLIMIT_NOFILE, &saved);
      if (session != nullptr) ++failures;
      scanlink_close(session);
    }
    _exit(failures);
  }
  close(errPipe[1]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  char text[256] = {};
  const ssize_t n = read(errPipe[0], text, sizeof text - 1);
  close(errPipe[0]);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "sessions opened without descriptors";
  EXPECT_EQ(n, 0) << text;
}

// A handler still running while the application closes its session calls the session's
// functions: each answers as documented, nothing is sent, nothing crashes.
TEST_F(CSession, AHandlerRunningDuringTheCloseIsRefusedWithNothingSent) {
  struct During {
    scanlink_session* s = nullptr;
    std::promise<void> entered;
    std::atomic<bool> armed{true}, closing{false};
    int alarm = 0, operation = 0, disconnect = 0, connect = 0;
    static void SCANLINK_CALL OnRecord(void* context, const scanlink_record*) {
      auto* d = static_cast<During*>(context);
      if (!d->armed.exchange(false)) return;
      d->entered.set_value();
      for (auto until = Clock::now() + 5s; !d->closing && Clock::now() < until;) {
        std::this_thread::sleep_for(1ms);
      }
      std::this_thread::sleep_for(200ms);  // the close is waiting for this handler by now
      d->alarm = scanlink_send_alarm(d->s, "x", 1);
      d->operation = scanlink_get_scan_mode(d->s);
      d->disconnect = scanlink_disconnect(d->s);
      d->connect = scanlink_connect(d->s);
    }
  } during;
  s = OpenLocal();
  ASSERT_NE(s, nullptr);
  during.s = s;
  scanlink_handlers h{};
  h.on_record = During::OnRecord;
  h.context = &during;
  ASSERT_EQ(scanlink_set_handlers(s, &h), SCANLINK_OK);
  ASSERT_EQ(scanlink_connect(s), SCANLINK_CONNECT_UP);
  ASSERT_TRUE(peer.WaitDataAccepts(1, 5s));
  peer.SendData(MakeFrame(45, 0xFFFF, {0, 0, 0, 0}));
  ASSERT_EQ(during.entered.get_future().wait_for(5s), std::future_status::ready);
  const size_t framesBefore = peer.Frames().size();
  during.closing = true;
  EXPECT_EQ(scanlink_close(s), SCANLINK_OK);
  s = nullptr;
  EXPECT_EQ(during.alarm, -1);
  EXPECT_EQ(during.operation, 0);
  EXPECT_EQ(during.disconnect, SCANLINK_OK);
  EXPECT_EQ(during.connect, SCANLINK_CONNECT_PROBE_FAILED);
  EXPECT_EQ(peer.Frames().size(), framesBefore);
  EXPECT_TRUE(peer.AlarmBytes().empty());
}

// A sink replacing the sink while the application replaces it too: both calls return.
TEST_F(CSession, ASinkAndTheApplicationReplacingTheSinkTogetherBothReturn) {
  struct Race {
    std::promise<void> entered;
    std::atomic<bool> armed{true}, appSetting{false};
    static void SCANLINK_CALL Sink(void* context, const char*) {
      auto* r = static_cast<Race*>(context);
      if (!r->armed.exchange(false)) return;
      r->entered.set_value();
      for (auto until = Clock::now() + 5s; !r->appSetting && Clock::now() < until;) {
        std::this_thread::sleep_for(1ms);
      }
      std::this_thread::sleep_for(100ms);  // the application waits for this call by now
      scanlink_set_trace(nullptr, nullptr);
    }
  } race;
  s = OpenLocal();
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(scanlink_disconnect(s), SCANLINK_OK);
  scanlink_set_trace(Race::Sink, &race);
  // A connect on a disconnected session traces on its own thread, and returns at once.
  auto traced = std::async(std::launch::async, [&] { return scanlink_connect(s); });
  ASSERT_EQ(race.entered.get_future().wait_for(5s), std::future_status::ready);
  race.appSetting = true;
  auto set = std::async(std::launch::async, [] { scanlink_set_trace(nullptr, nullptr); });
  if (set.wait_for(10s) != std::future_status::ready ||
      traced.wait_for(10s) != std::future_status::ready) {
    ADD_FAILURE() << "deadlock";
    std::abort();  // the threads cannot be unwound
  }
  EXPECT_EQ(traced.get(), SCANLINK_CONNECT_PROBE_FAILED);
}

// 0xFFEE is the library's own link notice: one from the wire is dropped and counted, and the
// link stays up as it is.
TEST_F(CSession, ALinkNoticeFromTheWireIsDroppedAndCounted) {
  struct Seen {
    std::atomic<int> links{0}, notices{0}, others{0};
    static void SCANLINK_CALL OnRecord(void* context, const scanlink_record* r) {
      auto* seen = static_cast<Seen*>(context);
      ++(r->code == 0xFFEE ? seen->notices : seen->others);
    }
    static void SCANLINK_CALL OnLink(void* context, int) { ++static_cast<Seen*>(context)->links; }
  } seen;
  s = OpenLocal();
  ASSERT_NE(s, nullptr);
  scanlink_handlers h{Seen::OnRecord, Seen::OnLink, nullptr, &seen};
  ASSERT_EQ(scanlink_set_handlers(s, &h), SCANLINK_OK);
  ASSERT_EQ(scanlink_connect(s), SCANLINK_CONNECT_UP);
  ASSERT_TRUE(peer.WaitDataAccepts(1, 5s));
  peer.SendData(MakeFrame(0xFFEE, 0xFFFF, {1, 0}));
  peer.SendData(MakeFrame(45, 0xFFFF, {0, 0, 0, 0}));
  ASSERT_TRUE(scanlink::test::WaitUntil([&] { return seen.others > 0; }, 5s));
  EXPECT_EQ(seen.notices, 0);
  EXPECT_EQ(seen.links, 0);
  scanlink_counters c{};
  ASSERT_EQ(scanlink_read_counters_sized(s, &c, sizeof c), SCANLINK_OK);
  EXPECT_EQ(c.dropped_reserved, 1u);
  EXPECT_EQ(c.link_losses, 0u);
  scanlink_state state{};
  scanlink_read_state(s, &state);
  EXPECT_EQ(state.link_up, 1);
}

TEST_F(CSession, TimeoutsAreCheckedAndTheConnectBoundHolds) {
  s = OpenLocal();
  ASSERT_NE(s, nullptr);
  struct {
    int connect, reply, link;
  } refused[] = {{99, 0, 0},      {600001, 0, 0}, {-1, 0, 0},     {0, 99, 0},
                 {0, 3600001, 0}, {0, 0, 999},    {0, 0, 600001}, {500, 500, 999}};
  for (const auto& r : refused) {
    EXPECT_EQ(scanlink_set_timeouts(s, r.connect, r.reply, r.link), SCANLINK_ERR_ARGUMENT)
        << r.connect << " " << r.reply << " " << r.link;
  }
  int connect = -1, reply = -1, link = -1;
  ASSERT_EQ(scanlink_get_timeouts(s, &connect, &reply, &link), SCANLINK_OK);
  EXPECT_EQ(connect, 0);
  EXPECT_EQ(reply, 60000);
  EXPECT_EQ(link, 10000);
  ASSERT_EQ(scanlink_set_timeouts(s, 700, 0, 2000), SCANLINK_OK);
  ASSERT_EQ(scanlink_get_timeouts(s, &connect, &reply, &link), SCANLINK_OK);
  EXPECT_EQ(connect, 700);
  EXPECT_EQ(reply, 60000);
  EXPECT_EQ(link, 2000);
  // Nothing listens: four refused attempts and their pauses took three seconds, the bound
  // stops them.
  peer.Stop();
  const auto start = Clock::now();
  EXPECT_EQ(scanlink_connect(s), SCANLINK_CONNECT_FAILED);
  EXPECT_LT(Clock::now() - start, 700ms + 1s);
}

}  // namespace
