// The C interface: sessions over engines of their own, records handed to C as plain structs.
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>
#include <optional>

#include "client/c_guard.h"
#include "client/first_session.h"
#include "client/operations.h"
#include "client/pull_queue.h"
#include "client/session.h"
#include "codec/codec.h"
#include "codec/frame_header.h"
#include "codec/framer.h"
#include "codec/gps_check.h"
#include "codec/message_codes.h"
#include "codec/record_json.h"
#include "codec/text.h"
#include "scanlink/scanlink.h"
#include "scanlink/scanlink_c.h"
#include "transport/counter_list.h"
#include "transport/engine.h"
#include "transport/library_state.h"
#include "transport/link_timeout.h"
#include "transport/modules.h"
#include "transport/trace.h"

using scanlink::client::capi::CopySized;
using scanlink::client::capi::Fail;
using scanlink::client::capi::Guarded;
using scanlink::client::capi::GuardedStatus;
using scanlink::client::capi::Refuse;
using scanlink::client::capi::SessionStatus;
using scanlink::client::capi::t_lastError;
using scanlink::platform::RecursiveMutex;
using scanlink::platform::ScopedLock;
using scanlink::transport::CMyPcCommSocket;
using scanlink::transport::LoadGlobal;
using scanlink::transport::StoreGlobal;

namespace {

void CopyRecord(const CCmdManage& from, scanlink_record& to) {
  to.code = from.nCode;
  to.trans_id = from.nTransID;
  to.length = from.nLength;
  std::memcpy(&to.body, &from.body, sizeof to.body);
}

// The session's one module: hands what the engine delivers to the C handlers.
class HandlerModule : public CMyPcCommInterface {
 public:
  explicit HandlerModule(scanlink_session& session) : session_(session) {}
  void ConnectMsg(bool connected) override;
  void ProcPcCommMsg(CCmdManage& message) override;
  void ProcPcCommMsgAlarm(char* data, int length) override;

 private:
  scanlink_session& session_;
};

}  // namespace

struct scanlink_session {
  // The values the first session keeps in the exported variables.
  char hostAddr[32] = {};
#define SCANLINK_SESSION_FIELD(field, exported, initial) int field = initial;
  SCANLINK_SESSION_INTS(SCANLINK_SESSION_FIELD)
#undef SCANLINK_SESSION_FIELD
  // Set by the first login reply: until then `family` is only the default the sends use.
  std::atomic<bool> familyKnown{false};

  scanlink::client::Session session{
#define SCANLINK_SESSION_FIELD_ADDRESS(field, exported, initial) &field,
      scanlink::transport::SessionValues{hostAddr, sizeof hostAddr,
                                         SCANLINK_SESSION_INTS(SCANLINK_SESSION_FIELD_ADDRESS)}};
#undef SCANLINK_SESSION_FIELD_ADDRESS
  // Guarded by state.lock, under which every handler runs.
  scanlink_handlers handlers = {};
  scanlink_record scratch = {};
  HandlerModule module{*this};
  // Records and link events kept for the pull functions (c_pull.cpp), when asked for.
  scanlink::client::PullQueue pull;
  uint8_t moduleId = 0;
  // Set once scanlink_close has begun: from then on nothing is sent or opened.
  std::atomic<bool> closing{false};

  // An open that failed half way leaves an engine to go with the session.
  ~scanlink_session() { session.DestroyEngine(); }

  bool Closing() const { return closing.load(std::memory_order_acquire); }
  // A closing session's operations send nothing.
  scanlink::client::Operations Operations() {
    return scanlink::client::Operations(Closing() ? nullptr : session.engine(), session.state,
                                        moduleId);
  }
};

namespace {

void HandlerModule::ConnectMsg(bool connected) {
  const scanlink::transport::CallbackScope scope;
  const scanlink_handlers& h = session_.handlers;
  const int event = connected ? SCANLINK_LINK_EVENT_CONNECTED : SCANLINK_LINK_EVENT_CONNECTING;
  session_.pull.PutEvent(event);
  if (h.on_link != nullptr) h.on_link(h.context, event);
}

void HandlerModule::ProcPcCommMsg(CCmdManage& message) {
  const scanlink::transport::CallbackScope scope;
  // The dispatcher has taken the family from this reply before handing it on.
  if (message.nCode == scanlink::codec::codes::kFamilyReply &&
      message.nTransID != SCANLINK_TRANS_BROADCAST) {
    session_.familyKnown.store(true, std::memory_order_release);
  }
  const scanlink_handlers& h = session_.handlers;
  if (message.nCode == SCANLINK_CODE_LINK_STATUS) {
    session_.pull.PutEvent(message.body.linkStatus.nStatusByte1);
    if (h.on_link != nullptr) h.on_link(h.context, message.body.linkStatus.nStatusByte1);
  }
  if (h.on_record == nullptr && !session_.pull.On()) return;
  CopyRecord(message, session_.scratch);
  session_.pull.PutRecord(session_.scratch);
  if (h.on_record != nullptr) h.on_record(h.context, &session_.scratch);
}

void HandlerModule::ProcPcCommMsgAlarm(char* data, int length) {
  const scanlink::transport::CallbackScope scope;
  const scanlink_handlers& h = session_.handlers;
  if (h.on_alarm != nullptr) {
    h.on_alarm(h.context, reinterpret_cast<const unsigned char*>(data), length);
  }
}

// A session's handler as the transport calls it: the C handler, its context and the session id.
template <typename Handler>
struct SessionBox {
  Handler handler;
  void* context;
  int id;
};
using SessionTraceBox = SessionBox<scanlink_session_trace_handler>;
using TapBox = SessionBox<scanlink_tap_handler>;

void SessionTraceThunk(void* context, int level, const char* text) {
  const auto* box = static_cast<const SessionTraceBox*>(context);
  box->handler(box->context, box->id, level, text);
}

void TapThunk(void* context, int direction, int channel, const uint8_t* bytes, int length) {
  const auto* box = static_cast<const TapBox*>(context);
  box->handler(box->context, box->id, direction, channel, bytes, length);
}

// Once the engine is gone nothing traces or taps: the last boxes can go.
void ReleaseDiagnostics(scanlink_session& s) {
  delete static_cast<SessionTraceBox*>(s.session.state.diag.SetTrace(nullptr, nullptr, 0));
  delete static_cast<TapBox*>(s.session.state.diag.SetTap(nullptr, nullptr));
}

bool ValidOptions(const scanlink_options& o) {
  return std::memchr(o.address, '\0', sizeof o.address) != nullptr && o.data_port >= 1 &&
         o.data_port <= 65535 && o.alarm_port >= 1 && o.alarm_port <= 65535 &&
         (o.link_timeout_ms == 0 ||
          (o.link_timeout_ms >= scanlink::transport::kMinLinkTimeoutMs &&
           o.link_timeout_ms <= scanlink::transport::kMaxLinkTimeoutMs)) &&
         o.reply_timeout_ms >= 0;
}

struct TraceBox {
  scanlink_trace_handler handler;
  void* context;
};

void TraceThunk(const char* text, void* context) {
  const auto* box = static_cast<const TraceBox*>(context);
  box->handler(box->context, text);
}

scanlink::platform::Mutex g_traceMutex;
TraceBox* g_traceBox = nullptr;  // the process's one trace sink, when set through C

scanlink_session* FailOpen(int error) {
  t_lastError = error;
  return nullptr;
}

// Field widths on the wire: a value that does not fit is refused, never sent as its low bits
// (value6 = 300 would go out as 44, a frequency of 70000 as 4464).
constexpr bool U8(unsigned v) { return v <= 0xFF; }
constexpr bool U16(unsigned v) { return v <= 0xFFFF; }
constexpr bool I16(int v) { return v >= -32768 && v <= 32767; }
constexpr bool Flag(int v) { return v == 0 || v == 1; }
constexpr bool AllOf(std::initializer_list<bool> checks) {
  for (bool ok : checks) {
    if (!ok) return false;
  }
  return true;
}
bool AllU16(const unsigned* values, unsigned count) {
  for (unsigned i = 0; i < count; ++i) {
    if (!U16(values[i])) return false;
  }
  return true;
}
// The login fields hold 16 bytes: a longer text would go out cut, without its terminator.
bool LoginText(const char* text) { return text != nullptr && strnlen(text, 17) <= 16; }
// The frame buffer's limits on list lengths (the count byte alone would allow 255).
constexpr unsigned kMaxCells = scanlink::client::Operations::kMaxCellEntries;
constexpr unsigned kMaxWFreqs = scanlink::client::Operations::kMaxFreqEntries;
bool List(unsigned count, unsigned max, const unsigned* a, const unsigned* b = nullptr,
          bool needsB = false) {
  return count <= max && (count == 0 || (a != nullptr && (!needsB || b != nullptr)));
}
// A TD header: the selector is a byte, its value a u16 (sent only for selectors 0 and 1).
constexpr bool TdHeader(unsigned selector, unsigned selectorValue) {
  return U8(selector) && U16(selectorValue);
}

// The reason an operation that the session offered to the send path came back with 0.
int WhyNotSent(scanlink_session& s) {
  if (s.session.engine()->Closed()) return SCANLINK_ERR_CLOSED;
  if (LoadGlobal(s.initFinish) == 0) return SCANLINK_ERR_NO_LINK;
  return SCANLINK_ERR_SEND;
}

// The login fields are 16 bytes on the wire and the session copies 16; a C caller passes texts,
// often shorter: each is read up to its terminator (at most 16 bytes) into a zero-padded field.
struct LoginField {
  char bytes[16] = {};
  const char* From(const char* text) {
    if (text == nullptr) return nullptr;
    std::memcpy(bytes, text, strnlen(text, sizeof bytes));
    return bytes;
  }
};

enum class Family { kAny, kNeeded };

// One operation: refused with 0 before anything is sent when the arguments do not fit, the
// session is closed or the family it needs is not known; else the session's transaction id.
template <typename F>
int Operate(scanlink_session* s, bool argumentsFit, Family family, F&& send) {
  return Guarded(0, [&]() -> int {
    if (s == nullptr) return Refuse(SCANLINK_ERR_SESSION);
    if (!argumentsFit) return Fail(SCANLINK_ERR_ARGUMENT, 0);
    if (s->Closing() || s->session.engine()->Closed()) return Fail(SCANLINK_ERR_CLOSED, 0);
    if (family == Family::kNeeded) {
      const int f = LoadGlobal(s->family);
      if (f != 1 && f != 2) return Fail(SCANLINK_ERR_FAMILY, 0);
    }
    scanlink::client::Operations ops = s->Operations();
    const int id = send(ops);
    return id > 0 ? id : Fail(WhyNotSent(*s), 0);
  });
}

// The fields each function had when it was added: it reads or writes no more than those.
constexpr size_t kOptionsFirstSize = offsetof(scanlink_options, reply_timeout_ms) + sizeof(int);
constexpr size_t kStateFirstSize = offsetof(scanlink_state, finger_test) + sizeof(int);

scanlink_options DefaultOptions() {
  scanlink_options o{};
  o.alarm_port = 8050;
  return o;
}

int InitOptions(scanlink_options* options, size_t size) {
  if (options == nullptr || size < kOptionsFirstSize) return Fail(SCANLINK_ERR_ARGUMENT, 0);
  CopySized(options, DefaultOptions(), size);
  return 0;
}

scanlink_session* OpenSession(const scanlink_options* options, size_t size) {
  if (options == nullptr || size < kOptionsFirstSize) return FailOpen(SCANLINK_ERR_ARGUMENT);
  scanlink_options o = DefaultOptions();
  std::memcpy(&o, options, size < sizeof o ? size : sizeof o);
  if (!ValidOptions(o)) return FailOpen(SCANLINK_ERR_ARGUMENT);
  std::unique_ptr<scanlink_session> s(new (std::nothrow) scanlink_session);
  if (!s) return FailOpen(SCANLINK_ERR_RESOURCES);
  std::memcpy(s->hostAddr, o.address, sizeof s->hostAddr);
  s->tcpPort = o.data_port;
  s->session.state.alarmPort = o.alarm_port;
  s->session.state.linkTimeoutMs = o.link_timeout_ms;
  CMyPcCommSocket::Timings timings = scanlink::client::FirstSessionTimings();
  if (o.reply_timeout_ms > 0) timings.replyTimeoutMs = o.reply_timeout_ms;
  CMyPcCommSocket* engine = s->session.BuildEngine(timings);
  // Without its events the engine could never be woken or stopped: no session.
  if (engine == nullptr || !engine->Ready() || !s->pull.HasReadyEvent()) {
    return FailOpen(SCANLINK_ERR_RESOURCES);
  }
  ScopedLock<RecursiveMutex> guard(s->session.state.lock);
  s->moduleId = engine->modules().RegisterModule(&s->module, 1);
  engine->modules().RegisterAlarmModule(&s->module, 1);
  if (s->moduleId == 0) return FailOpen(SCANLINK_ERR_RESOURCES);
  return s.release();
}

constexpr size_t kCountersFirstSize =
    offsetof(scanlink_counters, queue_high_water) + sizeof(uint64_t);

// Both public structs hold the counters as the list has them, one uint64_t each in its order,
// and scanlink_state its fields, one int each: a field added to a struct and not to the list (or
// out of order) fails the build.
constexpr bool CountersFollowTheList() {
  size_t at = 0;
  bool same = true;
#define SCANLINK_COUNTER_PLACE(name, cName)                                                       \
  same =                                                                                          \
      same && offsetof(ScanlinkCounters, name) == at && offsetof(scanlink_counters, cName) == at; \
  at += sizeof(uint64_t);
  SCANLINK_COUNTERS(SCANLINK_COUNTER_PLACE)
#undef SCANLINK_COUNTER_PLACE
  return same && sizeof(ScanlinkCounters) == at && sizeof(scanlink_counters) == at;
}
static_assert(CountersFollowTheList());

constexpr bool StateFollowsTheList() {
  size_t at = 0;
  bool same = true;
#define SCANLINK_STATE_PLACE(name)                     \
  same = same && offsetof(scanlink_state, name) == at; \
  at += sizeof(int);
  SCANLINK_STATE_FIELDS(SCANLINK_STATE_PLACE)
#undef SCANLINK_STATE_PLACE
  return same && sizeof(scanlink_state) == at;
}
static_assert(StateFollowsTheList());

int ReadCounters(scanlink_session* s, scanlink_counters* out, size_t size) {
  if (out == nullptr || size < kCountersFirstSize) return Refuse(SCANLINK_ERR_ARGUMENT);
  const auto& c = s->session.state.counters;
  auto get = [](const std::atomic<uint64_t>& v) { return v.load(std::memory_order_relaxed); };
  scanlink_counters all{};
#define SCANLINK_COUNTER_READ(name, cName) all.cName = get(c.name);
  SCANLINK_COUNTERS(SCANLINK_COUNTER_READ)
#undef SCANLINK_COUNTER_READ
  CopySized(out, all, size);
  return SCANLINK_OK;
}

int ReadState(scanlink_session* s, scanlink_state* out, size_t size) {
  if (out == nullptr || size < kStateFirstSize) return Refuse(SCANLINK_ERR_ARGUMENT);
  scanlink_state state{};
  state.closed = s->session.engine()->Closed() ? 1 : 0;
  state.first_connected = LoadGlobal(s->firstConn);
  // The flag of the last bring-up stays as it was once the session is closed.
  state.link_up = state.closed == 0 ? LoadGlobal(s->initFinish) : 0;
  state.link_down = LoadGlobal(s->linkDown);
  state.scanner_type = LoadGlobal(s->scannerType);
  state.family = s->familyKnown.load(std::memory_order_acquire) ? LoadGlobal(s->family) : 0;
  state.finger_test = LoadGlobal(s->fingerTest);
  state.alarm_connected = s->session.engine()->AlarmConnected() ? 1 : 0;
  CopySized(out, state, size);
  return SCANLINK_OK;
}

int RecordJson(const scanlink_record* record, int stations_loaded, char* buffer, size_t size) {
  if (record == nullptr || (buffer == nullptr && size > 0)) {
    return Refuse(SCANLINK_ERR_ARGUMENT);
  }
  std::unique_ptr<CCmdManage> m(new (std::nothrow) CCmdManage);
  if (!m) return Refuse(SCANLINK_ERR_RESOURCES);
  const std::string text = scanlink::client::RecordJsonText(*record, stations_loaded != 0, *m);
  if (size > 0) {
    const size_t n = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
  }
  return static_cast<int>(text.size());
}

int Decode(const unsigned char* bytes, size_t length, const scanlink_decode_options* options,
           scanlink_record_handler on_record, void* context, scanlink_decode_stats* stats) {
  if (bytes == nullptr && length > 0) return Refuse(SCANLINK_ERR_ARGUMENT);
  auto table = std::make_unique<scanlink::codec::BaseStationTable>();
  scanlink::codec::DecodeEnv env;
  if (options != nullptr) {
    env.fingerTestFlag = options->finger_test != 0 ? 1 : 0;
    if (options->stations != nullptr && options->station_count > 0) {
      table->SetList(reinterpret_cast<const _BSCellInfo*>(options->stations),
                     options->station_count);
    }
    if (options->mismatch_limit >= 0) table->SetMismatchLimit(options->mismatch_limit);
  }
  env.stations = table.get();
  struct Sink {
    const scanlink::codec::DecodeEnv& env;
    scanlink_record_handler onRecord;
    void* context;
    scanlink_decode_stats counts{};
    int records = 0;
    std::unique_ptr<CCmdManage> record{new CCmdManage};
    std::unique_ptr<scanlink_record> out{new scanlink_record};
    void OnFrame(const uint8_t* frame, size_t n) {
      ++counts.frames;
      const scanlink::codec::FrameHeader header = scanlink::codec::read_header(frame);
      *record = CCmdManage();
      scanlink::codec::decode_payload(header.code, header.transId,
                                      frame + scanlink::codec::kHeaderSize,
                                      n - scanlink::codec::kHeaderSize, *record, env);
      ++records;
      if (onRecord == nullptr) return;
      CopyRecord(*record, *out);
      onRecord(context, out.get());
    }
    void OnTrace(const char*) {}
    void OnOversized(size_t) { ++counts.oversized; }
    void OnDiscard(size_t n) { counts.bytes_skipped += n; }
  } sink{env, on_record, context};
  scanlink::codec::Framer framer;
  framer.Feed(bytes, length, sink);
  sink.counts.partial_bytes = framer.Pending();
  if (stats != nullptr) *stats = sink.counts;
  return sink.records;
}

}  // namespace

extern "C" {

int scanlink_version(void) { return SCANLINK_VERSION_NUMBER; }

int scanlink_last_error(void) { return t_lastError; }

const char* scanlink_strerror(int error) {
  static const struct {
    int error;
    const char* text;
  } kTexts[] = {
      {SCANLINK_OK, "no error"},
      {SCANLINK_ERR_SESSION, "no session (null handle)"},
      {SCANLINK_ERR_ARGUMENT,
       "argument refused: null, out of its field's range or malformed; nothing done"},
      {SCANLINK_ERR_IN_HANDLER, "not allowed from a handler"},
      {SCANLINK_ERR_RESOURCES, "out of memory, threads or sockets"},
      {SCANLINK_ERR_NO_LINK, "the link is not up; nothing sent"},
      {SCANLINK_ERR_FAMILY, "the scan family is not known yet; nothing sent"},
      {SCANLINK_ERR_CLOSED, "the session is closed; nothing done"},
      {SCANLINK_ERR_SEND, "send failed: no transaction id free, or the connection took no bytes"},
      {SCANLINK_ERR_INTERNAL, "unexpected failure inside the library; nothing done"},
  };
  for (const auto& entry : kTexts) {
    if (entry.error == error) return entry.text;
  }
  return "unknown error";
}

void scanlink_set_trace(scanlink_trace_handler handler, void* context) {
  Guarded(0, [&] {
    TraceBox* box = handler != nullptr ? new (std::nothrow) TraceBox{handler, context} : nullptr;
    if (handler != nullptr && box == nullptr) t_lastError = SCANLINK_ERR_RESOURCES;
    TraceBox* replaced;
    {
      // Installing and taking the box it replaces are one step, so each box is replaced once.
      scanlink::platform::LockGuard guard(g_traceMutex);
      scanlink::transport::InstallTraceSink(box != nullptr ? TraceThunk : nullptr, box);
      replaced = g_traceBox;
      g_traceBox = box;
    }
    // Not under the lock: a sink running on another thread may itself be setting the sink, and
    // this waits for that call to end.
    scanlink::transport::WaitForReplacedTraceSinks();
    // Every call that may use it has finished (a call on this thread took what it needed from
    // the box before calling the handler).
    delete replaced;
    return 0;
  });
}

int scanlink_set_link_timeout(int milliseconds) {
  return Guarded(0, [&] {
    const int taken = ScanlinkSetLinkTimeout(milliseconds);
    if (taken == 0) t_lastError = SCANLINK_ERR_ARGUMENT;
    return taken;
  });
}

void scanlink_options_init(scanlink_options* options) {
  Guarded(0, [&] { return InitOptions(options, kOptionsFirstSize); });
}

void scanlink_options_init_sized(scanlink_options* options, size_t size) {
  Guarded(0, [&] { return InitOptions(options, size); });
}

scanlink_session* scanlink_open(const scanlink_options* options) {
  return Guarded<scanlink_session*>(nullptr,
                                    [&] { return OpenSession(options, kOptionsFirstSize); });
}

scanlink_session* scanlink_open_sized(const scanlink_options* options, size_t size) {
  return Guarded<scanlink_session*>(nullptr, [&] { return OpenSession(options, size); });
}

int scanlink_set_handlers(scanlink_session* s, const scanlink_handlers* handlers) {
  return SessionStatus(s, [&]() -> int {
    // Every handler runs under this lock: once it is taken no call to the old ones is under way.
    ScopedLock<RecursiveMutex> guard(s->session.state.lock);
    s->handlers = handlers != nullptr ? *handlers : scanlink_handlers{};
    return SCANLINK_OK;
  });
}

int scanlink_connect(scanlink_session* s) {
  return Guarded<int>(SCANLINK_CONNECT_PROBE_FAILED, [&]() -> int {
    if (s == nullptr) return Refuse(SCANLINK_ERR_SESSION);
    if (s->Closing()) return Fail(SCANLINK_ERR_CLOSED, SCANLINK_CONNECT_PROBE_FAILED);
    const CMyPcCommSocket::ConnectResult result = s->session.engine()->Connect();
    if (result == CMyPcCommSocket::ConnectResult::kNoResources) {
      return Refuse(SCANLINK_ERR_RESOURCES);
    }
    if (result != CMyPcCommSocket::ConnectResult::kUp) {
      t_lastError = s->session.engine()->Closed() ? SCANLINK_ERR_CLOSED : SCANLINK_ERR_NO_LINK;
    }
    return static_cast<int>(result);
  });
}

int scanlink_clear_link_down(scanlink_session* s) {
  return SessionStatus(s, [&]() -> int {
    StoreGlobal(s->linkDown, 0);
    return SCANLINK_OK;
  });
}

int scanlink_disconnect(scanlink_session* s) {
  return SessionStatus(s, [&]() -> int {
    // A close under way takes the link down itself.
    if (!s->Closing()) s->session.engine()->MyClose();
    return SCANLINK_OK;
  });
}

int scanlink_close(scanlink_session* s) {
  return GuardedStatus([&]() -> int {
    if (s == nullptr) return SCANLINK_OK;
    // A handler of this session runs on one of the threads the close waits for; the threads of
    // a session closed from another's handler may be waiting for that handler's session.
    if (s->session.state.lock.held_by_me() || scanlink::transport::InsideAnyCallback() ||
        scanlink::client::InsideFirstSessionCallback()) {
      return Refuse(SCANLINK_ERR_IN_HANDLER);
    }
    s->closing.store(true, std::memory_order_release);
    // Threads waiting for a record return first: they may not wait for the close.
    s->pull.Shut();
    // Destroyed: the engine first (every thread reaped, no handler call under way), then the
    // rest. The pointer is let go only afterwards: a handler still running reaches the engine.
    s->session.DestroyEngine();
    ReleaseDiagnostics(*s);
    delete s;
    return SCANLINK_OK;
  });
}

int scanlink_set_timeouts(scanlink_session* s, int connect_ms, int reply_ms, int link_ms) {
  return SessionStatus(s, [&]() -> int {
    if (s->Closing()) return Refuse(SCANLINK_ERR_CLOSED);
    const auto fits = [](int v, int low, int high) { return v == 0 || (v >= low && v <= high); };
    if (!fits(connect_ms, SCANLINK_CONNECT_TIMEOUT_MIN, SCANLINK_CONNECT_TIMEOUT_MAX) ||
        !fits(reply_ms, SCANLINK_REPLY_TIMEOUT_MIN, SCANLINK_REPLY_TIMEOUT_MAX) ||
        !fits(link_ms, scanlink::transport::kMinLinkTimeoutMs,
              scanlink::transport::kMaxLinkTimeoutMs)) {
      return Refuse(SCANLINK_ERR_ARGUMENT);
    }
    auto& state = s->session.state;
    if (connect_ms != 0) state.connectTimeoutMs.store(connect_ms, std::memory_order_relaxed);
    if (reply_ms != 0) state.replyTimeoutMs.store(reply_ms, std::memory_order_relaxed);
    if (link_ms != 0) state.linkTimeoutMs.store(link_ms, std::memory_order_relaxed);
    return SCANLINK_OK;
  });
}

int scanlink_get_timeouts(scanlink_session* s, int* connect_ms, int* reply_ms, int* link_ms) {
  return SessionStatus(s, [&]() -> int {
    const auto& state = s->session.state;
    if (connect_ms != nullptr) {
      *connect_ms = state.connectTimeoutMs.load(std::memory_order_relaxed);
    }
    if (reply_ms != nullptr) *reply_ms = s->session.engine()->modules().ReplyTimeoutMs();
    if (link_ms != nullptr) {
      const int link = state.linkTimeoutMs.load(std::memory_order_relaxed);
      *link_ms = link != 0 ? link : scanlink::transport::LinkTimeoutMs();
    }
    return SCANLINK_OK;
  });
}

int scanlink_read_counters(scanlink_session* s, scanlink_counters* out) {
  return SessionStatus(s, [&] { return ReadCounters(s, out, kCountersFirstSize); });
}

int scanlink_read_counters_sized(scanlink_session* s, scanlink_counters* out, size_t size) {
  return SessionStatus(s, [&] { return ReadCounters(s, out, size); });
}

int scanlink_read_state(scanlink_session* s, scanlink_state* out) {
  return SessionStatus(s, [&] { return ReadState(s, out, kStateFirstSize); });
}

int scanlink_read_state_sized(scanlink_session* s, scanlink_state* out, size_t size) {
  return SessionStatus(s, [&] { return ReadState(s, out, size); });
}

int scanlink_send_message(scanlink_session* s, uint16_t code, const void* payload, int length) {
  const bool fits =
      length >= 0 && length <= CMyPcCommMessage::kMaxPayload && (payload != nullptr || length == 0);
  return Operate(s, fits, Family::kAny, [&](scanlink::client::Operations& ops) {
    CMyPcCommMessage message(code, static_cast<uint16_t>(length), 0, payload);
    return ops.ClientSendMessage(message);
  });
}

int scanlink_send_record(scanlink_session* s, const scanlink_record* record) {
  std::unique_ptr<CCmdManage> command(new (std::nothrow) CCmdManage);
  if (!command) {
    return s == nullptr ? Refuse(SCANLINK_ERR_SESSION) : Fail(SCANLINK_ERR_RESOURCES, 0);
  }
  bool fits = record != nullptr;
  if (fits) {
    command->nCode = record->code;
    std::memcpy(&command->body, &record->body, sizeof command->body);
    // A list longer than a frame holds is the caller's argument, not a send failure.
    uint8_t frame[scanlink::codec::kCommandFrameSize];
    fits = scanlink::codec::encode_command(*command, frame, sizeof frame) != 0;
  }
  return Operate(s, fits, Family::kAny, [&](scanlink::client::Operations& ops) {
    return ops.SendMessageW(command.get());
  });
}

int scanlink_send_alarm(scanlink_session* s, const void* bytes, int length) {
  return Guarded(-1, [&]() -> int {
    if (s == nullptr) return Fail(SCANLINK_ERR_SESSION, -1);
    if (length < 0 || (bytes == nullptr && length > 0)) return Fail(SCANLINK_ERR_ARGUMENT, -1);
    if (s->Closing() || s->session.engine()->Closed()) return Fail(SCANLINK_ERR_CLOSED, -1);
    ScopedLock<RecursiveMutex> guard(s->session.state.lock);
    const int taken = s->session.engine()->SendAlarm(static_cast<const char*>(bytes), length);
    if (taken < 0) {
      t_lastError =
          s->session.engine()->AlarmConnected() ? SCANLINK_ERR_SEND : SCANLINK_ERR_NO_LINK;
    }
    return taken;
  });
}

int scanlink_set_bs_list(scanlink_session* s, const scanlink_station* list, int count) {
  return SessionStatus(s, [&]() -> int {
    static_assert(sizeof(scanlink_station) == sizeof(_BSCellInfo), "one layout");
    return s->session.stations.SetList(reinterpret_cast<const _BSCellInfo*>(list), count);
  });
}

int scanlink_set_gps_mismatch_limit(scanlink_session* s, int limit) {
  return SessionStatus(s, [&]() -> int {
    // The tolerance is kept as 4 * limit: beyond this it would wrap, below 0 read as an error.
    if (limit < 0 || limit > INT_MAX / 4) return Refuse(SCANLINK_ERR_ARGUMENT);
    return s->session.stations.SetMismatchLimit(limit);
  });
}

#define SCANLINK_OPERATION(fits, family, call) \
  return Operate(s, fits, family, [&](scanlink::client::Operations& ops) { return ops.call; })

int scanlink_login(scanlink_session* s, const char* text1, const char* text2) {
  LoginField field1, field2;
  SCANLINK_OPERATION(LoginText(text1) && LoginText(text2), Family::kAny,
                     LoginScaner(field1.From(text1), field2.From(text2)));
}
int scanlink_change_password(scanlink_session* s, const char* text2, const char* text1) {
  LoginField field1, field2;
  SCANLINK_OPERATION(LoginText(text1) && LoginText(text2), Family::kAny,
                     ChangePassword(field2.From(text2), field1.From(text1)));
}
int scanlink_set_w_freq_list_scan_mode(scanlink_session* s, unsigned v1, unsigned v2, unsigned v3,
                                       unsigned count, const unsigned* freqs) {
  SCANLINK_OPERATION(AllOf({U8(v1), U16(v2), U8(v3), List(count, kMaxWFreqs, freqs)}), Family::kAny,
                     SetWFreqListScanMode(v1, v2, v3, count, freqs));
}
int scanlink_set_w_cell_list_scan_mode(scanlink_session* s, unsigned v1, unsigned v2, unsigned v3,
                                       unsigned count, const unsigned* firsts,
                                       const unsigned* seconds) {
  SCANLINK_OPERATION(
      AllOf({U8(v1), U16(v2), U8(v3),
             List(count, kMaxCells, firsts, seconds, true) && AllU16(seconds, count)}),
      Family::kAny, SetWCellListScanMode(v1, v2, v3, count, firsts, seconds));
}
int scanlink_set_wcdma_scan_mode(scanlink_session* s, unsigned mode, unsigned value1,
                                 unsigned value2, unsigned value3, unsigned value4, unsigned value5,
                                 unsigned value6, unsigned value7, unsigned value8, int flag,
                                 int value11, unsigned value9, unsigned value10, unsigned value12,
                                 unsigned value13) {
  // Modes 7 and 8 are the lists, which this layout cannot carry.
  SCANLINK_OPERATION(
      AllOf({U8(mode), mode != 7, mode != 8, U16(value4), U16(value5), U8(value6), U8(value7),
             U16(value8), Flag(flag), I16(value11), U8(value9), U8(value10), U8(value12)}),
      Family::kAny,
      SetWCDMAScanMode(mode, value1, value2, value3, value4, value5, value6, value7, value8,
                       flag != 0, static_cast<short>(value11), value9, value10, value12, value13));
}
int scanlink_set_td_sa_scan_mode(scanlink_session* s, unsigned sa1, unsigned sa2,
                                 unsigned selector_value, unsigned sa3, int sa_flag, int sa5,
                                 unsigned sa4, unsigned selector) {
  SCANLINK_OPERATION(AllOf({TdHeader(selector, selector_value), Flag(sa_flag), I16(sa5), U8(sa4)}),
                     Family::kAny,
                     SetTDSAScanMode(sa1, sa2, selector_value, sa3, sa_flag != 0,
                                     static_cast<short>(sa5), sa4, selector));
}
int scanlink_set_td_cell_list_scan_mode(scanlink_session* s, unsigned selector_value,
                                        const unsigned* firsts, const unsigned* seconds,
                                        unsigned count, unsigned selector, int finger_test,
                                        unsigned trailing) {
  SCANLINK_OPERATION(
      AllOf({TdHeader(selector, selector_value), Flag(finger_test), U8(trailing),
             List(count, kMaxCells, firsts, seconds, true) && AllU16(seconds, count)}),
      Family::kAny,
      SetTDCellListScanMode(selector_value, firsts, seconds, count, selector, finger_test != 0,
                            trailing));
}
int scanlink_set_td_freq_list_scan_mode(scanlink_session* s, unsigned selector_value,
                                        const unsigned* freqs, unsigned count, unsigned selector,
                                        int finger_test, unsigned trailing) {
  SCANLINK_OPERATION(
      AllOf({TdHeader(selector, selector_value), Flag(finger_test), U8(trailing),
             List(count, kMaxCells, freqs)}),
      Family::kAny,
      SetTDFreqListScanMode(selector_value, freqs, count, selector, finger_test != 0, trailing));
}
int scanlink_set_td_cell_search_scan_mode(scanlink_session* s, unsigned search3, unsigned search4,
                                          unsigned selector_value, unsigned search2,
                                          unsigned search1, unsigned selector, int finger_test) {
  SCANLINK_OPERATION(
      AllOf({TdHeader(selector, selector_value), Flag(finger_test), U16(search2), U8(search1)}),
      Family::kAny,
      SetTDCellSearchScanMode(search3, search4, selector_value, search2, search1, selector,
                              finger_test != 0));
}
int scanlink_set_td_cw_scan_mode(scanlink_session* s, unsigned cw1, unsigned selector_value,
                                 unsigned cw2, unsigned selector) {
  SCANLINK_OPERATION(AllOf({TdHeader(selector, selector_value), U16(cw2)}), Family::kAny,
                     SetTDCWScanMode(cw1, selector_value, cw2, selector));
}
int scanlink_set_channel_scan_mode(scanlink_session* s, int kind, unsigned selector_value,
                                   unsigned selector, unsigned channel1, unsigned channel2,
                                   unsigned channel3, unsigned channel4, unsigned channel5,
                                   unsigned channel6, const unsigned char* block1,
                                   const unsigned char* block2) {
  // The four scans share one layout; MBMS carries one value in both first channels.
  SCANLINK_OPERATION(AllOf({kind >= SCANLINK_SCAN_DPCH, kind <= SCANLINK_SCAN_MBMS,
                            kind != SCANLINK_SCAN_MBMS || channel1 == channel2,
                            TdHeader(selector, selector_value), U16(channel3), U8(channel4),
                            U8(channel5), U8(channel6), block1 != nullptr, block2 != nullptr}),
                     Family::kAny,
                     SetDpchScanMode(selector_value, selector, channel1, channel2, channel3,
                                     channel4, channel5, channel6, block1, block2));
}
int scanlink_get_scan_mode(scanlink_session* s) {
  SCANLINK_OPERATION(true, Family::kNeeded, GetScanMode());
}
int scanlink_get_scanner_version(scanlink_session* s) {
  SCANLINK_OPERATION(true, Family::kNeeded, GetScanerVersion());
}
int scanlink_reset_scanner(scanlink_session* s) {
  SCANLINK_OPERATION(true, Family::kNeeded, ResetScaner());
}
int scanlink_stop_scan(scanlink_session* s) {
  SCANLINK_OPERATION(true, Family::kNeeded, StopScanData());
}
int scanlink_start_scan(scanlink_session* s) {
  SCANLINK_OPERATION(true, Family::kNeeded, StartScanData());
}
int scanlink_set_scanner_mac_address(scanlink_session* s, const char* text) {
  unsigned char mac[6];
  SCANLINK_OPERATION(scanlink::codec::parse_mac_text(text, mac), Family::kAny,
                     SetScanerMACAddress(text));
}
int scanlink_set_scanner_ip_address(scanlink_session* s, const char* text) {
  SCANLINK_OPERATION(scanlink::codec::parse_ipv4_text(text).has_value(), Family::kAny,
                     SetScanerIPAddress(text));
}
int scanlink_query_battery(scanlink_session* s) {
  SCANLINK_OPERATION(true, Family::kAny, QueryBattery());
}
int scanlink_set_gps_info_format(scanlink_session* s, int value1, int value2) {
  SCANLINK_OPERATION(AllOf({value1 >= 0, value1 <= 0xFFFF, value2 >= 0, value2 <= 0xFFFF}),
                     Family::kAny, SetGpsInfoFormat(value1, value2));
}

#undef SCANLINK_OPERATION

int scanlink_record_json(const scanlink_record* record, int stations_loaded, char* buffer,
                         size_t size) {
  return GuardedStatus([&] { return RecordJson(record, stations_loaded, buffer, size); });
}

int scanlink_decode(const unsigned char* bytes, size_t length,
                    const scanlink_decode_options* options, scanlink_record_handler on_record,
                    void* context, scanlink_decode_stats* stats) {
  return GuardedStatus([&] { return Decode(bytes, length, options, on_record, context, stats); });
}

int scanlink_session_id(scanlink_session* s) {
  return SessionStatus(s, [&]() -> int { return s->session.state.diag.id(); });
}

int scanlink_set_session_trace(scanlink_session* s, int level,
                               scanlink_session_trace_handler handler, void* context) {
  return SessionStatus(s, [&]() -> int {
    if (s->Closing()) return Refuse(SCANLINK_ERR_CLOSED);
    if (handler != nullptr && (level < SCANLINK_TRACE_ERROR || level > SCANLINK_TRACE_DEBUG)) {
      return Refuse(SCANLINK_ERR_ARGUMENT);
    }
    SessionTraceBox* box = nullptr;
    if (handler != nullptr) {
      box = new (std::nothrow) SessionTraceBox{handler, context, s->session.state.diag.id()};
      if (box == nullptr) return Refuse(SCANLINK_ERR_RESOURCES);
    }
    // The box replaced has finished every call once SetTrace returns.
    delete static_cast<SessionTraceBox*>(
        s->session.state.diag.SetTrace(box != nullptr ? SessionTraceThunk : nullptr, box, level));
    return SCANLINK_OK;
  });
}

int scanlink_set_tap(scanlink_session* s, scanlink_tap_handler handler, void* context) {
  return SessionStatus(s, [&]() -> int {
    if (s->Closing()) return Refuse(SCANLINK_ERR_CLOSED);
    TapBox* box = nullptr;
    if (handler != nullptr) {
      box = new (std::nothrow) TapBox{handler, context, s->session.state.diag.id()};
      if (box == nullptr) return Refuse(SCANLINK_ERR_RESOURCES);
    }
    delete static_cast<TapBox*>(
        s->session.state.diag.SetTap(box != nullptr ? TapThunk : nullptr, box));
    return SCANLINK_OK;
  });
}

}  // extern "C"

namespace scanlink::client {

std::string RecordJsonText(const scanlink_record& record, bool stationsLoaded, CCmdManage& m) {
  m.nCode = record.code;
  m.nTransID = record.trans_id;
  m.nLength = record.length;
  std::memcpy(&m.body, &record.body, sizeof m.body);
  return codec::RecordJson(m, stationsLoaded);
}

PullQueue& SessionQueue(scanlink_session* s) { return s->pull; }
bool SessionStationsLoaded(scanlink_session* s) { return s->session.stations.Count() > 0; }
bool InSessionHandler(scanlink_session* s) { return s->session.state.lock.held_by_me(); }
bool SessionClosing(scanlink_session* s) { return s->Closing(); }
bool SessionDisconnected(scanlink_session* s) { return s->session.engine()->Closed(); }

}  // namespace scanlink::client
