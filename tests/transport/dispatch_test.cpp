// Delivery of whole frames to the application's modules: the checks a frame must pass, replies
// matched to the request that opened them, frames for every module, and the scanner family
// taken from the login reply. A real engine without a link; the modules record what reaches them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <iterator>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "codec/codec.h"
#include "codec/engine_messages.h"
#include "codec/gps_check.h"
#include "scanlink/scanlink.h"
#include "transport/counter_list.h"
#include "transport/engine.h"
#include "transport/frames.h"
#include "transport/library_state.h"
#include "transport/trace.h"

namespace scanlink::transport {
namespace {

using codec::kLinkStatusCode;
using test::Bytes;
using test::Frame;
using test::U16;
using test::U32;
using LibraryLock = platform::ScopedLock<platform::RecursiveMutex>;

struct Delivery {
  std::string module;
  uint16_t code;
  uint16_t trans;
  uint32_t value;  // the decoded field the test looks at, by code

  bool operator==(const Delivery&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Delivery& d) {
  return os << d.module << " got code " << d.code << " trans " << d.trans << " value " << d.value;
}

class RecordingModule : public CMyPcCommInterface {
 public:
  RecordingModule(std::string name, std::vector<Delivery>& log)
      : name_(std::move(name)), log_(log) {}

  void ProcPcCommMsg(CCmdManage& m) override {
    uint32_t value = 0;
    if (m.nCode == 25) value = m.body.oneValue.nValue;
    if (m.nCode == 37) value = m.body.reply.nReplyValue;
    if (m.nCode == 44) value = m.body.family.nFamilyValue;
    if (m.nCode == kLinkStatusCode) value = m.body.linkStatus.nStatusByte1;
    log_.push_back({name_, m.nCode, m.nTransID, value});
    if (onMessage) onMessage(m);
  }
  void ConnectMsg(bool connected) override {
    log_.push_back({name_, kConnect, 0, connected});
    if (onConnect) onConnect();
  }

  static constexpr uint16_t kConnect = 0xC0C0;  // a ConnectMsg in the log
  std::function<void(CCmdManage&)> onMessage;
  std::function<void()> onConnect;

 private:
  std::string name_;
  std::vector<Delivery>& log_;
};

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override { state.diag.SetTrace(&Capture, this, kTraceDebug); }
  void TearDown() override { state.diag.SetTrace(nullptr, nullptr, kTraceDebug); }

  uint8_t Register(CMyPcCommInterface& m, uint8_t mode = 1) {
    LibraryLock g(state.lock);
    return engine.modules().RegisterModule(&m, mode);
  }
  // A request on behalf of a module id; with no link it stays open only when that id is not a
  // registered, active module.
  uint16_t Send(uint8_t moduleId) {
    LibraryLock g(state.lock);
    const uint8_t payload[1] = {0};
    CMyPcCommMessage request(43, 0, 0, payload);
    return engine.MySendMessage(request, moduleId);
  }
  // Dispatches one frame the way a Msg proc thread does; traces start afresh.
  void Dispatch(const Bytes& frame, size_t length = 0) {
    LibraryLock g(state.lock);
    traces.clear();
    engine.MyDispatchData(frame.data(), static_cast<int32_t>(length ? length : frame.size()));
  }
  bool Traced(const std::string& text) const {
    return std::find(traces.begin(), traces.end(), text) != traces.end();
  }
  TransInfo* Open(uint16_t id) {
    LibraryLock g(state.lock);
    return state.trans.GetTransInfo(id);
  }
  ScanlinkCounters Counters() const {
    ScanlinkCounters c{};
#define SCANLINK_COUNTER_READ(name, cName) c.name = state.counters.name.load();
    SCANLINK_COUNTERS(SCANLINK_COUNTER_READ)
#undef SCANLINK_COUNTER_READ
    return c;
  }

  // A session of its own: its values, station table and state, as a client would make them.
  struct Values {
    char hostAddr[32] = {};
#define SCANLINK_SESSION_FIELD(field, exported, initial) int field = initial;
    SCANLINK_SESSION_INTS(SCANLINK_SESSION_FIELD)
#undef SCANLINK_SESSION_FIELD
  } values;
  scanlink::codec::BaseStationTable stations;
  LibraryState state{
#define SCANLINK_SESSION_FIELD_ADDRESS(field, exported, initial) &values.field,
      SessionValues{values.hostAddr, sizeof values.hostAddr,
                    SCANLINK_SESSION_INTS(SCANLINK_SESSION_FIELD_ADDRESS)},
#undef SCANLINK_SESSION_FIELD_ADDRESS
      &stations};
  CMyPcCommSocket engine{state.ReadyForEngine(), {}};
  std::vector<std::string> traces;
  std::vector<Delivery> log;
  RecordingModule a{"a", log}, b{"b", log}, c{"c", log};

 private:
  static void Capture(void* self, int, const char* text) {
    static_cast<DispatchTest*>(self)->traces.emplace_back(text);
  }
};

struct Rejection {
  const char* name;
  Bytes frame;
  size_t length;  // bytes handed over; 0: the whole frame
  const char* trace;
  uint64_t ScanlinkCounters::*counter;
};

TEST_F(DispatchTest, MalformedFramesAreDroppedWithTheirReason) {
  ASSERT_EQ(Register(a), 20);
  Bytes lengthMismatch = Frame(20, 37, 0xFFFF, Bytes(10));
  lengthMismatch.push_back(0);  // 19 bytes
  Bytes badSync = Frame(20, 37, 0xFFFF, U16(1));
  badSync[0] = 0x54;
  const Rejection cases[] = {
      {"7 bytes", Frame(20, 37, 0xFFFF), 7, "MyDispatchData(): Message length is overflow!",
       &ScanlinkCounters::droppedLength},
      {"2057 bytes", Frame(20, 37, 0xFFFF, Bytes(2049)), 0,
       "MyDispatchData(): Message length is overflow!", &ScanlinkCounters::droppedLength},
      {"10 announced, 19 received", lengthMismatch, 0, "MyDispatchData(): Message length is error!",
       &ScanlinkCounters::droppedLength},
      {"sync 0x54", badSync, 0, "MyDispatchData(): Synch byte is error!",
       &ScanlinkCounters::droppedSync},
  };
  for (const Rejection& r : cases) {
    SCOPED_TRACE(r.name);
    const uint64_t before = Counters().*r.counter;
    Dispatch(r.frame, r.length);
    ASSERT_FALSE(traces.empty());
    EXPECT_EQ(traces.back(), r.trace);
    EXPECT_EQ(Counters().*r.counter, before + 1);
  }
  // The transaction id is reported before the sync byte is looked at.
  ASSERT_GE(traces.size(), 2u);
  EXPECT_EQ(traces[traces.size() - 2], "The recv trans id is: 65535 .");
  EXPECT_TRUE(log.empty());
}

TEST_F(DispatchTest, ShortestAndLongestFramesAreAccepted) {
  ASSERT_EQ(Register(a), 20);
  for (size_t payload : {size_t{0}, size_t{2048}}) {
    Dispatch(Frame(20, 37, 0xFFFF, Bytes(payload)));
    EXPECT_FALSE(Traced("MyDispatchData(): Message length is overflow!")) << payload;
    EXPECT_FALSE(Traced("MyDispatchData(): Message length is error!")) << payload;
  }
  EXPECT_EQ(log.size(), 2u);
}

TEST_F(DispatchTest, WithNoModuleRegisteredEveryFrameIsDropped) {
  const uint64_t before = Counters().droppedNoModule;
  Dispatch(Frame(0, kLinkStatusCode, 0xFFFF, {0, 1}));
  EXPECT_EQ(traces.back(), "MyDispatchData(): Object table is NULL!");
  EXPECT_EQ(Counters().droppedNoModule, before + 1);
  // Unregistering the last module empties the list again.
  ASSERT_EQ(Register(a), 20);
  ASSERT_EQ(Register(a, 0), 255);
  Dispatch(Frame(0, kLinkStatusCode, 0xFFFF, {0, 1}));
  EXPECT_EQ(traces.back(), "MyDispatchData(): Object table is NULL!");
  EXPECT_TRUE(log.empty());
}

TEST_F(DispatchTest, BroadcastReachesActiveModulesInRegistrationOrder) {
  ASSERT_EQ(Register(a), 20);
  ASSERT_EQ(Register(b), 21);
  ASSERT_EQ(Register(c), 22);
  ASSERT_EQ(Register(a), 23);  // registering again moves a to the end of the list
  b.bActive = 0;
  Dispatch(Frame(0, 37, 0xFFFF, U16(9)));
  EXPECT_EQ(log, (std::vector<Delivery>{{"c", 37, 0xFFFF, 9}, {"a", 37, 0xFFFF, 9}}));
  // The inactive module is still walked past.
  EXPECT_TRUE(Traced("MyDispatchData(): One of all module ID is: 21"));
}

TEST_F(DispatchTest, LinkStatusNoticeReachesEveryModule) {
  ASSERT_EQ(Register(a), 20);
  ASSERT_EQ(Register(b), 21);
  const Bytes notice{0x55, 0x00, 0xFF, 0xEE, 0xFF, 0xFF, 0x00, 0x02, 0x00, 0x02};
  const auto made = codec::link_status_frame(2);
  EXPECT_EQ(Bytes(made.begin(), made.end()), notice);
  Dispatch(notice);
  EXPECT_EQ(log, (std::vector<Delivery>{{"a", kLinkStatusCode, 0xFFFF, 2},
                                        {"b", kLinkStatusCode, 0xFFFF, 2}}));
}

// Whatever a module does to the registrations from its callback, every other module still hears
// the broadcast (a report, a link status notice, a ConnectMsg), and none hears it twice; once the
// connection is closed from a callback, nobody hears any more of it.
TEST_F(DispatchTest, BroadcastSurvivesWhatACallbackDoes) {
  enum class Kind { kReport, kStatus, kConnect };
  enum class Does { kUnregister, kReregister, kUnregisterOther, kExit };
  struct Row {
    Kind kind;
    Does does;
    std::vector<std::string> heard;
  };
  const std::vector<Row> rows = {
      {Kind::kReport, Does::kUnregister, {"a", "b", "c"}},
      {Kind::kStatus, Does::kUnregister, {"a", "b", "c"}},
      {Kind::kConnect, Does::kUnregister, {"a", "b", "c"}},
      {Kind::kReport, Does::kReregister, {"a", "b", "c"}},
      {Kind::kStatus, Does::kReregister, {"a", "b", "c"}},
      {Kind::kConnect, Does::kReregister, {"a", "b", "c"}},
      {Kind::kStatus, Does::kUnregisterOther, {"a", "c"}},
      {Kind::kReport, Does::kExit, {"a"}},
      {Kind::kStatus, Does::kExit, {"a"}},
      {Kind::kConnect, Does::kExit, {"a"}},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(i);
    const Row& row = rows[i];
    CMyPcCommSocket e{state.ReadyForEngine(), {}};  // fresh, not closed
    {
      LibraryLock g(state.lock);
      for (RecordingModule* m : {&a, &b, &c}) ASSERT_NE(e.modules().RegisterModule(m, 1), 0);
    }
    log.clear();
    bool acted = false;
    auto act = [&] {
      if (std::exchange(acted, true)) return;
      LibraryLock g(state.lock);
      switch (row.does) {
        case Does::kUnregister:
          EXPECT_EQ(e.modules().RegisterModule(&a, 0), 255);
          break;
        case Does::kReregister:
          EXPECT_NE(e.modules().RegisterModule(&a, 1), 0);
          break;
        case Does::kUnregisterOther:
          EXPECT_EQ(e.modules().RegisterModule(&b, 0), 255);
          break;
        case Does::kExit:
          e.MyClose();
          break;
      }
    };
    a.onMessage = [&](CCmdManage&) { act(); };
    a.onConnect = act;
    // Delivered on a thread of its own, as the Msg proc and supervision threads do.
    std::thread proc([&] {
      LibraryLock g(state.lock);
      switch (row.kind) {
        case Kind::kReport:
          e.MyDispatchData(Frame(0, 37, 0xFFFF, U16(1)).data(), 10);
          break;
        case Kind::kStatus:
          e.SendLinkStatus(1);
          break;
        case Kind::kConnect:
          e.NotifyConnectMsg(true);
          break;
      }
    });
    proc.join();
    std::vector<std::string> heard;
    for (const Delivery& d : log) heard.push_back(d.module);
    EXPECT_EQ(heard, row.heard);
  }
}

TEST_F(DispatchTest, ReplyReachesItsSenderOnceAndClosesTheTransaction) {
  // Requests go out before the modules are listed, so they stay open without a link.
  const uint16_t first = Send(21);
  const uint16_t second = Send(21);
  ASSERT_EQ(first, 1);
  ASSERT_EQ(second, 2);
  ASSERT_EQ(Register(a), 20);
  ASSERT_EQ(Register(b), 21);
  ASSERT_EQ(Register(c), 22);

  Dispatch(Frame(21, 25, first, U32(77)));
  EXPECT_EQ(log, (std::vector<Delivery>{{"b", 25, first, 77}}));
  EXPECT_TRUE(Traced("MyDispatchData(): The source module ID is: 21. The trans id is: 1."));
  EXPECT_EQ(state.trans.InUse(), 1);

  // The same reply again: its id is now the free list's tail, whose entry names no module.
  Dispatch(Frame(21, 25, first, U32(78)));
  EXPECT_EQ(traces.back(), "The nSourceID in the transaction table is not match from message!");
  // Once another id has been freed behind it, the id has no entry at all.
  Dispatch(Frame(21, 25, second, U32(79)));
  Dispatch(Frame(21, 25, first, U32(80)));
  EXPECT_EQ(traces.back(), "The transaction information table is NULL!");
  EXPECT_EQ(log, (std::vector<Delivery>{{"b", 25, first, 77}, {"b", 25, second, 79}}));
  EXPECT_EQ(state.trans.InUse(), 0);
}

TEST_F(DispatchTest, ReplyFromAnotherModuleIsDroppedAndTheRequestStaysOpen) {
  const uint16_t id = Send(21);
  ASSERT_NE(id, 0);
  ASSERT_EQ(Register(a), 20);
  ASSERT_EQ(Register(b), 21);
  ASSERT_EQ(Register(c), 22);
  const uint64_t before = Counters().droppedTransaction;
  Dispatch(Frame(22, 25, id, U32(5)));
  EXPECT_EQ(traces.back(), "The nSourceID in the transaction table is not match from message!");
  EXPECT_EQ(Counters().droppedTransaction, before + 1);
  EXPECT_TRUE(log.empty());
  ASSERT_NE(Open(id), nullptr);
  EXPECT_EQ(Open(id)->nSourceID, 21);
  // The genuine reply still finds it.
  Dispatch(Frame(21, 25, id, U32(6)));
  EXPECT_EQ(log, (std::vector<Delivery>{{"b", 25, id, 6}}));
}

TEST_F(DispatchTest, LoginReplySetsScannerTypeAndFamily) {
  struct Row {
    uint32_t value;
    int type;
    int family;
  };
  const Row rows[] = {{11, 1, 1}, {12, 2, 1}, {21, 1, 2}, {22, 2, 2}, {13, 0, 0}};
  std::vector<uint16_t> ids;
  for (size_t i = 0; i < std::size(rows); ++i) ids.push_back(Send(20));
  ASSERT_EQ(Register(a), 20);
  for (size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE(rows[i].value);
    values.scannerType = -1;
    values.family = -1;
    Dispatch(Frame(20, 44, ids[i], U32(rows[i].value)));
    EXPECT_EQ(values.scannerType, rows[i].type);
    EXPECT_EQ(values.family, rows[i].family);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), (Delivery{"a", 44, ids[i], rows[i].value}));
  }
}

TEST_F(DispatchTest, ModuleMaySendFromItsCallback) {
  ASSERT_EQ(Register(a), 20);
  uint16_t sent = 0xDEAD;
  a.onMessage = [&](CCmdManage&) { sent = Send(30); };
  // Delivered on a thread of its own, as the Msg proc threads do, with the library lock held.
  std::thread proc([&] { Dispatch(Frame(0, 37, 0xFFFF, U16(3))); });
  proc.join();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(sent, 1);
  ASSERT_NE(Open(1), nullptr);
  EXPECT_EQ(Open(1)->nSourceID, 30);
}

// Once ScanlinkSetTraceSink returns, the sink it replaced is never called again, so its context
// may be released at once: a call already under way is waited for.
TEST(TraceSink, ReplacedSinkIsDoneWhenTheReplacementReturns) {
  struct Context {
    std::atomic<bool> entered{false}, released{false}, calledAfterRelease{false};
  } context;
  ScanlinkSetTraceSink(
      [](const char*, void* p) {
        auto* c = static_cast<Context*>(p);
        c->entered = true;
        // Inside the sink until the context is released, or for a bounded while.
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
        while (!c->released && std::chrono::steady_clock::now() < end) std::this_thread::yield();
        if (c->released) c->calledAfterRelease = true;
      },
      &context);
  std::thread tracer([] { MyTrace("one line"); });
  while (!context.entered) std::this_thread::yield();
  ScanlinkSetTraceSink(nullptr, nullptr);
  context.released = true;
  tracer.join();
  EXPECT_FALSE(context.calledAfterRelease);
}

}  // namespace
}  // namespace scanlink::transport
