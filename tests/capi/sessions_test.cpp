// Sessions side by side through the C interface, each against a simulator of its own (own
// address, own alarm port) in one network namespace: deliveries, faults and closes stay within
// their session.
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "scanlink/scanlink.h"
#include "scanlink/scanlink_c.h"
#include "sim_peer.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using scanlink::test::SimPeer;

namespace {

// What one session's handlers saw.
struct Seen {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<uint16_t> codes;
  std::vector<Clock::time_point> reportTimes;
  std::vector<int> linkEvents;

  static void SCANLINK_CALL OnRecord(void* context, const scanlink_record* r) {
    auto* self = static_cast<Seen*>(context);
    std::lock_guard<std::mutex> lock(self->mutex);
    self->codes.push_back(r->code);
    if (r->trans_id == 0xFFFF && r->code != 0xFFEE) self->reportTimes.push_back(Clock::now());
    self->changed.notify_all();
  }
  static void SCANLINK_CALL OnLink(void* context, int event) {
    auto* self = static_cast<Seen*>(context);
    std::lock_guard<std::mutex> lock(self->mutex);
    self->linkEvents.push_back(event);
    self->changed.notify_all();
  }
  size_t Reports() {
    std::lock_guard<std::mutex> lock(mutex);
    return reportTimes.size();
  }
  bool WaitReports(size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return reportTimes.size() >= n; });
  }
  bool WaitLinkEvent(int event, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] {
      return std::find(linkEvents.begin(), linkEvents.end(), event) != linkEvents.end();
    });
  }
  // The longest pause between two reports received from `from` on.
  Clock::duration LongestGapSince(Clock::time_point from) {
    std::lock_guard<std::mutex> lock(mutex);
    Clock::duration longest{};
    for (size_t i = 1; i < reportTimes.size(); ++i) {
      if (reportTimes[i] < from) continue;
      longest = std::max(longest, reportTimes[i] - reportTimes[i - 1]);
    }
    return longest;
  }
};

scanlink_session* Open(const char* address, uint16_t dataPort, int alarmPort, Seen* seen) {
  scanlink_options options;
  scanlink_options_init(&options);
  std::strcpy(options.address, address);
  options.data_port = dataPort;
  options.alarm_port = alarmPort;
  scanlink_session* s = scanlink_open(&options);
  if (s == nullptr) return nullptr;
  scanlink_handlers handlers{};
  handlers.on_record = Seen::OnRecord;
  handlers.on_link = Seen::OnLink;
  handlers.context = seen;
  scanlink_set_handlers(s, &handlers);
  return s;
}

size_t Count(const char* dir) {
  size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir)) ++n;
  return n;
}

// Reports come every 100 ms. What must not reach the other session is a reconnection's pause (1 s
// each); a gap of a few periods is a loaded machine's scheduling, so the bound sits between.
constexpr auto kMaxGap = std::chrono::milliseconds(600);

class TwoScanners : public ::testing::Test {
 protected:
  void SetUp() override {
    // A WCDMA scanner (value lists 36) and a TD one (cell reports 0xF025), 10 reports a second.
    ASSERT_TRUE(simW.start({"--bind", "127.0.0.2", "--port", "5000", "--alarm-port", "8051",
                            "--family", "11", "--rate", "10", "--quiet"}));
    ASSERT_TRUE(simT.start({"--bind", "127.0.0.3", "--port", "5000", "--alarm-port", "8052",
                            "--family", "21", "--rate", "10", "--quiet"}));
    w = Open("127.0.0.2", simW.data_port(), 8051, &seenW);
    t = Open("127.0.0.3", simT.data_port(), 8052, &seenT);
    ASSERT_NE(w, nullptr);
    ASSERT_NE(t, nullptr);
    for (scanlink_session* s : {w, t}) {
      ASSERT_EQ(scanlink_connect(s), SCANLINK_CONNECT_UP);
      ASSERT_GT(scanlink_login(s, "admin", "secret"), 0);
    }
    ASSERT_TRUE(simW.wait_for(SimPeer::sent(44), 5s));
    ASSERT_TRUE(simT.wait_for(SimPeer::sent(44), 5s));
    // Each session's family comes from its own login reply.
    ASSERT_TRUE(WaitFamily(w, 1));
    ASSERT_TRUE(WaitFamily(t, 2));
    ASSERT_GT(scanlink_start_scan(w), 0);
    ASSERT_GT(scanlink_start_scan(t), 0);
    ASSERT_TRUE(seenW.WaitReports(3, 5s));
    ASSERT_TRUE(seenT.WaitReports(3, 5s));
  }
  void TearDown() override {
    EXPECT_EQ(scanlink_close(w), SCANLINK_OK);
    EXPECT_EQ(scanlink_close(t), SCANLINK_OK);
    simW.stop();
    simT.stop();
  }
  static bool WaitFamily(scanlink_session* s, int family) {
    for (auto until = Clock::now() + 5s; Clock::now() < until;) {
      scanlink_state state;
      scanlink_read_state(s, &state);
      if (state.family == family && state.scanner_type != 0) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  SimPeer simW, simT;
  Seen seenW, seenT;
  scanlink_session* w = nullptr;
  scanlink_session* t = nullptr;
};

TEST_F(TwoScanners, EachSessionHearsOnlyItsOwnScannerAndCountsOnlyItsOwnFrames) {
  ASSERT_TRUE(seenW.WaitReports(10, 5s));
  ASSERT_TRUE(seenT.WaitReports(10, 5s));
  scanlink_close(w);
  scanlink_close(t);
  for (uint16_t code : seenW.codes) EXPECT_TRUE(code < 0xF000) << code;
  for (uint16_t code : seenT.codes) EXPECT_TRUE(code >= 0xF000 || code == 44) << code;
  w = t = nullptr;
}

TEST_F(TwoScanners, CountersArePerSession) {
  scanlink_counters cw{}, ct{};
  ASSERT_EQ(scanlink_read_counters(w, &cw), SCANLINK_OK);
  ASSERT_EQ(scanlink_read_counters(t, &ct), SCANLINK_OK);
  // Login and start: two sends each, never the sum of both.
  EXPECT_EQ(cw.sends, 2u);
  EXPECT_EQ(ct.sends, 2u);
  EXPECT_GE(cw.frames_delivered, 4u);
  EXPECT_GE(ct.frames_delivered, 4u);
  ASSERT_GT(scanlink_query_battery(t), 0);
  ASSERT_EQ(scanlink_read_counters(w, &cw), SCANLINK_OK);
  ASSERT_EQ(scanlink_read_counters(t, &ct), SCANLINK_OK);
  EXPECT_EQ(cw.sends, 2u);
  EXPECT_EQ(ct.sends, 3u);
}

TEST_F(TwoScanners, OneLinkBrokenAndRestoredWhileTheOtherKeepsFlowing) {
  const auto from = Clock::now();
  ASSERT_TRUE(simW.control("reset-data"));
  ASSERT_TRUE(seenW.WaitLinkEvent(SCANLINK_LINK_EVENT_LOST, 10s));
  ASSERT_TRUE(seenW.WaitLinkEvent(SCANLINK_LINK_EVENT_RESTORED, 20s));
  const size_t before = seenT.Reports();
  ASSERT_TRUE(seenT.WaitReports(before + 3, 5s));
  // The other session's reconnection pauses (1 s each) must not show.
  EXPECT_LT(seenT.LongestGapSince(from), kMaxGap);
  std::lock_guard<std::mutex> lock(seenT.mutex);
  EXPECT_TRUE(seenT.linkEvents.empty());
}

TEST_F(TwoScanners, ClosingOneLeavesTheOtherWorking) {
  ASSERT_EQ(scanlink_close(w), SCANLINK_OK);
  w = nullptr;
  const size_t before = seenT.Reports();
  ASSERT_TRUE(seenT.WaitReports(before + 5, 5s));
  ASSERT_GT(scanlink_get_scanner_version(t), 0);
}

// Two handlers, each closing the other's session while both run: each close would wait for the
// other's threads, one of them the closer's peer. Refused instead, and both keep working.
TEST_F(TwoScanners, ClosingAnotherSessionFromAHandlerIsRefused) {
  struct Cross {
    scanlink_session* other;
    std::atomic<bool> armed{true};
    std::atomic<int> result{1};
    std::mutex* mutex;
    std::condition_variable* changed;
    int* inside;
    static void SCANLINK_CALL OnRecord(void* context, const scanlink_record*) {
      auto* x = static_cast<Cross*>(context);
      if (!x->armed.exchange(false)) return;
      {
        std::unique_lock<std::mutex> lock(*x->mutex);
        ++*x->inside;
        x->changed->notify_all();
        // Both handlers are running before either closes.
        x->changed->wait_for(lock, 5s, [&] { return *x->inside == 2; });
      }
      x->result = scanlink_close(x->other);
    }
  };
  std::mutex mutex;
  std::condition_variable changed;
  int inside = 0;
  Cross crossW{t, {true}, {1}, &mutex, &changed, &inside};
  Cross crossT{w, {true}, {1}, &mutex, &changed, &inside};
  scanlink_handlers hw{}, ht{};
  hw.on_record = ht.on_record = Cross::OnRecord;
  hw.context = &crossW;
  ht.context = &crossT;
  ASSERT_EQ(scanlink_set_handlers(w, &hw), SCANLINK_OK);
  ASSERT_EQ(scanlink_set_handlers(t, &ht), SCANLINK_OK);
  for (Cross* x : {&crossW, &crossT}) {
    for (auto until = Clock::now() + 10s; x->result == 1 && Clock::now() < until;) {
      std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(x->result, SCANLINK_ERR_IN_HANDLER);
  }
  // Back to the fixture's handlers; no call to the ones above is under way afterwards.
  for (auto [s, seen] : {std::pair{w, &seenW}, std::pair{t, &seenT}}) {
    scanlink_handlers h{};
    h.on_record = Seen::OnRecord;
    h.on_link = Seen::OnLink;
    h.context = seen;
    ASSERT_EQ(scanlink_set_handlers(s, &h), SCANLINK_OK);
  }
  const size_t before = seenW.Reports();
  ASSERT_TRUE(seenW.WaitReports(before + 3, 5s));
  ASSERT_GT(scanlink_get_scanner_version(t), 0);
}

// From a handler: operations are allowed and say why they refused on the handler's thread; close
// is refused.
TEST_F(TwoScanners, InAHandlerOperationsWorkAndCloseIsRefused) {
  struct Inside {
    scanlink_session* self;
    std::atomic<bool> armed{true};
    std::atomic<int> sent{0}, refused{1}, refusedWhy{0}, closed{1}, waited{1}, taken{1};
    static void SCANLINK_CALL OnRecord(void* context, const scanlink_record*) {
      auto* x = static_cast<Inside*>(context);
      if (!x->armed.exchange(false)) return;
      x->refused = scanlink_set_gps_info_format(x->self, 70000, 1);
      x->refusedWhy = scanlink_last_error();
      x->closed = scanlink_close(x->self);
      // Waiting for a record here would hold up its delivery; taking one does not.
      scanlink_record record;
      x->waited = scanlink_next_record(x->self, &record, 1000);
      x->taken = scanlink_next_link_event(x->self, 0);
      x->sent = scanlink_query_battery(x->self);
    }
  } inside{w};
  scanlink_handlers h{};
  h.on_record = Inside::OnRecord;
  h.context = &inside;
  ASSERT_EQ(scanlink_set_queue(w, 4), SCANLINK_OK);
  ASSERT_EQ(scanlink_set_handlers(w, &h), SCANLINK_OK);
  for (auto until = Clock::now() + 5s; inside.sent == 0 && Clock::now() < until;) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_GT(inside.sent, 0);
  EXPECT_EQ(inside.refused, 0);
  EXPECT_EQ(inside.refusedWhy, SCANLINK_ERR_ARGUMENT);
  EXPECT_EQ(inside.closed, SCANLINK_ERR_IN_HANDLER);
  EXPECT_EQ(inside.waited, SCANLINK_ERR_IN_HANDLER);
  EXPECT_GE(inside.taken, 0);
  EXPECT_EQ(scanlink_last_error(), SCANLINK_OK) << "the handler's errors are its thread's own";
}

// On a live link too: arguments their fields cannot hold go nowhere, and say why.
TEST_F(TwoScanners, ArgumentsThatDoNotFitAreRefusedOnALiveLink) {
  scanlink_counters before{}, after{};
  ASSERT_EQ(scanlink_read_counters(w, &before), SCANLINK_OK);
  const std::string longUser(40, 'u');
  const int results[] = {
      scanlink_set_wcdma_scan_mode(w, 99, 1, 2, 3, 70000, 5, 300, 7, 8, 1, 40000, 9, 10, 12, 13),
      scanlink_set_gps_info_format(w, -1, 70000),
      scanlink_login(w, longUser.c_str(), "p"),
      scanlink_set_scanner_ip_address(w, "192.168.100.2001"),
      scanlink_set_scanner_mac_address(w, "00-1a-2B-3c-4D-5e-77"),
  };
  for (int result : results) EXPECT_EQ(result, 0);
  EXPECT_EQ(scanlink_last_error(), SCANLINK_ERR_ARGUMENT);
  const int sent = scanlink_query_battery(w);
  EXPECT_GT(sent, 0);
  EXPECT_EQ(scanlink_last_error(), SCANLINK_OK);
  ASSERT_EQ(scanlink_read_counters(w, &after), SCANLINK_OK);
  EXPECT_EQ(after.sends, before.sends + 1) << "only the battery query went out";
}

// The state says what is true: no family before a login reply, the alarm connection's own state,
// no link once disconnected.
TEST_F(TwoScanners, StateSaysWhatIsTrue) {
  Seen seen;
  scanlink_session* s = Open("127.0.0.2", simW.data_port(), 8059, &seen);  // no alarm port there
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(scanlink_connect(s), SCANLINK_CONNECT_UP);
  scanlink_state state{};
  ASSERT_EQ(scanlink_read_state_sized(s, &state, sizeof state), SCANLINK_OK);
  EXPECT_EQ(state.link_up, 1);
  EXPECT_EQ(state.family, 0);
  EXPECT_EQ(state.alarm_connected, 0);
  EXPECT_EQ(scanlink_send_alarm(s, "x", 1), -1);
  EXPECT_EQ(scanlink_last_error(), SCANLINK_ERR_NO_LINK);
  ASSERT_EQ(scanlink_read_state_sized(w, &state, sizeof state), SCANLINK_OK);
  EXPECT_EQ(state.alarm_connected, 1);
  EXPECT_EQ(state.family, 1);
  ASSERT_EQ(scanlink_disconnect(s), SCANLINK_OK);
  ASSERT_EQ(scanlink_read_state_sized(s, &state, sizeof state), SCANLINK_OK);
  EXPECT_EQ(state.link_up, 0);
  EXPECT_EQ(state.closed, 1);
  EXPECT_EQ(scanlink_close(s), SCANLINK_OK);
}

TEST_F(TwoScanners, SessionsOpenedAndClosedInALoopLeakNothing) {
  // One round first, so that what the process sets up once (the socket library, the trace and
  // tap mutexes) is in place before counting.
  auto round = [&] {
    Seen seen;
    scanlink_session* s = Open("127.0.0.2", simW.data_port(), 8051, &seen);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(scanlink_connect(s), SCANLINK_CONNECT_UP);
    ASSERT_GT(scanlink_login(s, "admin", "secret"), 0);
    ASSERT_EQ(scanlink_close(s), SCANLINK_OK);
  };
  round();
  const size_t fds = Count("/proc/self/fd");
  const size_t threads = Count("/proc/self/task");
  const auto from = Clock::now();
  for (int i = 0; i < 20; ++i) round();
  EXPECT_EQ(Count("/proc/self/fd"), fds);
  EXPECT_EQ(Count("/proc/self/task"), threads);
  const size_t before = seenT.Reports();
  ASSERT_TRUE(seenT.WaitReports(before + 3, 5s));
  EXPECT_LT(seenT.LongestGapSince(from), kMaxGap);
}

}  // namespace

namespace {

// What a session's tap saw, received and sent apart.
struct Tapped {
  std::mutex mutex;
  std::vector<unsigned char> received, sent;
  std::atomic<int> wrongSession{0};
  int id = 0;
  static void SCANLINK_CALL On(void* context, int session, int direction, int channel,
                               const unsigned char* bytes, int length) {
    auto* self = static_cast<Tapped*>(context);
    if (session != self->id) ++self->wrongSession;
    if (channel != 0) return;
    std::lock_guard<std::mutex> lock(self->mutex);
    auto& to = direction == 0 ? self->received : self->sent;
    to.insert(to.end(), bytes, bytes + length);
  }
};

struct Traced {
  std::mutex mutex;
  struct Line {
    int session, level;
    std::string text;
  };
  std::vector<Line> lines;
  static void SCANLINK_CALL OnSession(void* context, int session, int level, const char* text) {
    auto* self = static_cast<Traced*>(context);
    std::lock_guard<std::mutex> lock(self->mutex);
    self->lines.push_back({session, level, text});
  }
  static void SCANLINK_CALL OnProcess(void* context, const char* text) {
    OnSession(context, -1, 0, text);
  }
};

}  // namespace

// Two scanners at 1000 reports a second: each session's tap holds its own stream only, which
// decodes without a skipped byte, and its trace names it.
TEST_F(TwoScanners, TapAndTraceArePerSession) {
  Tapped tapW, tapT;
  tapW.id = scanlink_session_id(w);
  tapT.id = scanlink_session_id(t);
  ASSERT_GT(tapW.id, 0);
  ASSERT_NE(tapW.id, tapT.id);
  Traced traceW, process;
  ASSERT_EQ(scanlink_set_session_trace(w, 9, Traced::OnSession, &traceW), SCANLINK_ERR_ARGUMENT);
  ASSERT_EQ(scanlink_set_session_trace(w, SCANLINK_TRACE_WARNING, Traced::OnSession, &traceW),
            SCANLINK_OK);
  scanlink_set_trace(Traced::OnProcess, &process);
  ASSERT_EQ(scanlink_set_tap(w, Tapped::On, &tapW), SCANLINK_OK);
  ASSERT_EQ(scanlink_set_tap(t, Tapped::On, &tapT), SCANLINK_OK);
  // The process's tap is the first session's, which is not connected here.
  std::atomic<size_t> firstSession{0};
  ScanlinkSetWireTap(
      [](int, int, const unsigned char*, int length, void* c) {
        *static_cast<std::atomic<size_t>*>(c) += static_cast<size_t>(length);
      },
      &firstSession);
  ASSERT_TRUE(simW.control("rate 1000"));
  ASSERT_TRUE(simT.control("rate 1000"));
  const size_t before = seenW.Reports();
  ASSERT_TRUE(seenW.WaitReports(before + 1500, 10s));
  ASSERT_GT(scanlink_query_battery(w), 0);
  ASSERT_GT(scanlink_query_battery(t), 0);
  const size_t quiet = [&] {
    std::lock_guard<std::mutex> lock(traceW.mutex);
    return traceW.lines.size();
  }();
  ASSERT_EQ(scanlink_set_session_trace(w, SCANLINK_TRACE_DEBUG, Traced::OnSession, &traceW),
            SCANLINK_OK);
  ASSERT_GT(scanlink_get_scanner_version(w), 0);
  ASSERT_TRUE(seenT.WaitReports(before + 1500, 10s));
  ASSERT_EQ(scanlink_set_tap(w, nullptr, nullptr), SCANLINK_OK);
  ASSERT_EQ(scanlink_set_tap(t, nullptr, nullptr), SCANLINK_OK);
  ScanlinkSetWireTap(nullptr, nullptr);
  EXPECT_EQ(firstSession, 0u);
  // The process's sink first: without its own trace, the session's texts go to the process's.
  scanlink_set_trace(nullptr, nullptr);
  ASSERT_EQ(scanlink_set_session_trace(w, 0, nullptr, nullptr), SCANLINK_OK);

  for (Tapped* tap : {&tapW, &tapT}) {
    EXPECT_EQ(tap->wrongSession, 0);
    scanlink_decode_stats stats{};
    const bool wcdma = tap == &tapW;
    struct Codes {
      bool wcdma;
      int foreign = 0;
      static void SCANLINK_CALL On(void* c, const scanlink_record* r) {
        auto* self = static_cast<Codes*>(c);
        const bool td = r->code >= 0xF000;
        if (r->trans_id == 0xFFFF && td == self->wcdma) ++self->foreign;
      }
    } codes{wcdma};
    const int n = scanlink_decode(tap->received.data(), tap->received.size(), nullptr, Codes::On,
                                  &codes, &stats);
    EXPECT_GE(n, 1500);
    EXPECT_EQ(stats.bytes_skipped, 0u);
    EXPECT_EQ(codes.foreign, 0);
    // Sent while tapped: the battery query, and the version request of one of them.
    EXPECT_EQ(
        scanlink_decode(tap->sent.data(), tap->sent.size(), nullptr, nullptr, nullptr, nullptr),
        wcdma ? 2 : 1);
  }
  // The session's own trace heard it alone, at the level asked for; the process's sink heard
  // the other session, named.
  std::lock_guard<std::mutex> lock(traceW.mutex);
  ASSERT_FALSE(traceW.lines.empty());
  ASSERT_GT(traceW.lines.size(), quiet);
  for (size_t i = 0; i < traceW.lines.size(); ++i) {
    EXPECT_EQ(traceW.lines[i].session, tapW.id) << traceW.lines[i].text;
    if (i < quiet) {
      EXPECT_LE(traceW.lines[i].level, SCANLINK_TRACE_WARNING);
    }
  }
  const std::string prefixT = "session " + std::to_string(tapT.id) + " (127.0.0.3:";
  bool sawT = false;
  for (const auto& line : process.lines) {
    EXPECT_EQ(line.text.find("session " + std::to_string(tapW.id) + " "), std::string::npos);
    sawT = sawT || line.text.rfind(prefixT, 0) == 0;
  }
  EXPECT_TRUE(sawT);
}

namespace {

bool Ready(intptr_t handle, int timeoutMs) {
  pollfd p{static_cast<int>(handle), POLLIN, 0};
  return poll(&p, 1, timeoutMs) == 1;
}

}  // namespace

// Without callbacks: each session's queue holds its own records and link events, its handle is
// ready while anything waits, and a full queue drops and counts instead of holding the session.
TEST_F(TwoScanners, RecordsAndLinkEventsArePulledPerSession) {
  scanlink_record r;
  EXPECT_EQ(scanlink_next_record(w, &r, 0), SCANLINK_ERR_ARGUMENT);  // no queue yet
  EXPECT_EQ(scanlink_set_queue(w, -1), SCANLINK_ERR_ARGUMENT);
  ASSERT_EQ(scanlink_set_queue(w, 1000), SCANLINK_OK);
  ASSERT_EQ(scanlink_set_queue(t, 1000), SCANLINK_OK);
  EXPECT_EQ(scanlink_next_record(w, &r, -1), SCANLINK_ERR_ARGUMENT);
  EXPECT_EQ(scanlink_next_record(w, nullptr, 0), SCANLINK_ERR_ARGUMENT);
  ASSERT_TRUE(Ready(scanlink_wait_handle(w), 5000));
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(scanlink_next_record(w, &r, 2000), 1);
    EXPECT_LT(r.code, 0xF000);
    ASSERT_EQ(scanlink_next_record(t, &r, 2000), 1);
    EXPECT_GE(r.code, 0xF000);
  }
  const int need = scanlink_next_record_json(t, nullptr, 0, 2000);
  ASSERT_GT(need, 0);
  std::string text(static_cast<size_t>(need), '\0');
  ASSERT_EQ(scanlink_next_record_json(t, text.data(), text.size() + 1, 0), need);
  EXPECT_EQ(text.rfind("{", 0), 0u) << text;

  ASSERT_TRUE(simW.control("reset-data"));
  std::vector<int> events;
  for (auto until = Clock::now() + 20s; Clock::now() < until;) {
    const int e = scanlink_next_link_event(w, 1000);
    if (e > 0) events.push_back(e);
    if (e == SCANLINK_LINK_EVENT_RESTORED) break;
  }
  const auto lost = std::find(events.begin(), events.end(), SCANLINK_LINK_EVENT_LOST);
  ASSERT_NE(lost, events.end());
  EXPECT_NE(std::find(lost, events.end(), SCANLINK_LINK_EVENT_RESTORED), events.end());
  EXPECT_EQ(scanlink_next_link_event(t, 0), 0);

  ASSERT_EQ(scanlink_set_queue(t, 2), SCANLINK_OK);
  scanlink_queue_stats stats{};
  for (auto until = Clock::now() + 5s; stats.records_dropped < 3 && Clock::now() < until;) {
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(scanlink_read_queue_stats(t, &stats), SCANLINK_OK);
  }
  EXPECT_EQ(stats.records_waiting, 2u);
  EXPECT_GE(stats.records_dropped, 3u);
  ASSERT_EQ(scanlink_set_queue(t, 0), SCANLINK_OK);
  EXPECT_FALSE(Ready(scanlink_wait_handle(t), 0));
  EXPECT_EQ(scanlink_next_record(t, &r, 0), SCANLINK_ERR_ARGUMENT);
}

TEST_F(TwoScanners, ClosingWakesAThreadWaitingForARecord) {
  scanlink_options options;
  scanlink_options_init(&options);
  std::strcpy(options.address, "127.0.0.2");
  options.data_port = simW.data_port();
  scanlink_session* idle = scanlink_open(&options);
  ASSERT_NE(idle, nullptr);
  ASSERT_EQ(scanlink_set_queue(idle, 10), SCANLINK_OK);
  std::atomic<int> result{-100}, why{0};
  const auto from = Clock::now();
  std::thread waiter([&] {
    scanlink_record r;
    result = scanlink_next_record(idle, &r, 60000);
    why = scanlink_last_error();
  });
  std::this_thread::sleep_for(300ms);  // the waiter is inside its wait by now
  ASSERT_EQ(scanlink_close(idle), SCANLINK_OK);
  waiter.join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(why, SCANLINK_ERR_CLOSED);
  EXPECT_LT(Clock::now() - from, 10s);
}
