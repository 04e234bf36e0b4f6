// The C interface: sessions over engines of their own, records handed to C as plain structs.
#include <atomic>
#include <cstring>
#include <memory>
#include <new>

#include "client/session.h"
#include "codec/codec.h"
#include "codec/gps_check.h"
#include "codec/record_json.h"
#include "scanlink/scanlink.h"
#include "scanlink/scanlink_c.h"
#include "transport/engine.h"
#include "transport/framer.h"
#include "transport/library_state.h"
#include "transport/link_timeout.h"
#include "transport/modules.h"
#include "transport/trace.h"

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
  int tcpPort = 0;
  int tcpPortAlarm = 0;
  int firstConn = 0;
  int initFinish = 0;
  int linkDown = 0;
  int scannerType = 0;
  int family = 1;  // as TDorWCDMAConfig: WCDMA until the login reply says otherwise
  int fingerTest = 0;

  scanlink::codec::BaseStationTable stations;
  scanlink::transport::LibraryState state{
      scanlink::transport::SessionValues{hostAddr, sizeof hostAddr, &tcpPort, &tcpPortAlarm,
                                         &firstConn, &initFinish, &linkDown, &scannerType, &family,
                                         &fingerTest},
      &stations};
  // Guarded by state.lock, under which every handler runs.
  scanlink_handlers handlers = {};
  scanlink_record scratch = {};
  HandlerModule module{*this};
  uint8_t moduleId = 0;
  // Reachable until its destructor, which waits for every handler of the session, has returned:
  // a handler still running during the close may call the session's functions.
  std::unique_ptr<CMyPcCommSocket> engine;
  // Set once scanlink_close has begun: from then on nothing is sent or opened.
  std::atomic<bool> closing{false};

  bool Closing() const { return closing.load(std::memory_order_acquire); }
  // A closing session's operations send nothing.
  scanlink::client::Session Operations() {
    return scanlink::client::Session(Closing() ? nullptr : engine.get(), state, moduleId);
  }
};

namespace {

void HandlerModule::ConnectMsg(bool connected) {
  const scanlink::transport::CallbackScope scope;
  const scanlink_handlers& h = session_.handlers;
  if (h.on_link != nullptr) {
    h.on_link(h.context,
              connected ? SCANLINK_LINK_EVENT_CONNECTED : SCANLINK_LINK_EVENT_CONNECTING);
  }
}

void HandlerModule::ProcPcCommMsg(CCmdManage& message) {
  const scanlink::transport::CallbackScope scope;
  const scanlink_handlers& h = session_.handlers;
  if (message.nCode == SCANLINK_CODE_LINK_STATUS && h.on_link != nullptr) {
    h.on_link(h.context, message.body.linkStatus.nStatusByte1);
  }
  if (h.on_record == nullptr) return;
  CopyRecord(message, session_.scratch);
  h.on_record(h.context, &session_.scratch);
}

void HandlerModule::ProcPcCommMsgAlarm(char* data, int length) {
  const scanlink::transport::CallbackScope scope;
  const scanlink_handlers& h = session_.handlers;
  if (h.on_alarm != nullptr) {
    h.on_alarm(h.context, reinterpret_cast<const unsigned char*>(data), length);
  }
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

}  // namespace

extern "C" {

int scanlink_version(void) {
  return SCANLINK_VERSION_MAJOR * 10000 + SCANLINK_VERSION_MINOR * 100 + SCANLINK_VERSION_PATCH;
}

void scanlink_set_trace(scanlink_trace_handler handler, void* context) {
  TraceBox* box = handler != nullptr ? new (std::nothrow) TraceBox{handler, context} : nullptr;
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
  // Every call that may use it has finished (a call on this thread took what it needed from the
  // box before calling the handler).
  delete replaced;
}

int scanlink_set_link_timeout(int milliseconds) { return ScanlinkSetLinkTimeout(milliseconds); }

void scanlink_options_init(scanlink_options* options) {
  if (options == nullptr) return;
  *options = scanlink_options{};
  options->alarm_port = 8050;
}

scanlink_session* scanlink_open(const scanlink_options* options) {
  if (options == nullptr || !ValidOptions(*options)) return nullptr;
  std::unique_ptr<scanlink_session> s(new (std::nothrow) scanlink_session);
  if (!s) return nullptr;
  std::memcpy(s->hostAddr, options->address, sizeof s->hostAddr);
  s->tcpPort = options->data_port;
  s->state.alarmPort = options->alarm_port;
  s->state.linkTimeoutMs = options->link_timeout_ms;
  CMyPcCommSocket::Timings timings = CMyPcCommSocket::TimingsForNewEngines();
  if (options->reply_timeout_ms > 0) timings.replyTimeoutMs = options->reply_timeout_ms;
  s->engine.reset(new (std::nothrow) CMyPcCommSocket(s->state, timings));
  // Without its events the engine could never be woken or stopped: no session.
  if (!s->engine || !s->engine->Ready()) return nullptr;
  ScopedLock<RecursiveMutex> guard(s->state.lock);
  s->moduleId = s->engine->modules().RegisterModule(&s->module, 1);
  s->engine->modules().RegisterAlarmModule(&s->module, 1);
  if (s->moduleId == 0) return nullptr;
  return s.release();
}

int scanlink_set_handlers(scanlink_session* s, const scanlink_handlers* handlers) {
  if (s == nullptr) return SCANLINK_ERR_SESSION;
  // Every handler runs under this lock: once it is taken no call to the old ones is under way.
  ScopedLock<RecursiveMutex> guard(s->state.lock);
  s->handlers = handlers != nullptr ? *handlers : scanlink_handlers{};
  return SCANLINK_OK;
}

int scanlink_connect(scanlink_session* s) {
  if (s == nullptr) return SCANLINK_ERR_SESSION;
  if (s->Closing()) return SCANLINK_CONNECT_PROBE_FAILED;
  const CMyPcCommSocket::ConnectResult result = s->engine->Connect();
  if (result == CMyPcCommSocket::ConnectResult::kNoResources) return SCANLINK_ERR_RESOURCES;
  return static_cast<int>(result);
}

int scanlink_clear_link_down(scanlink_session* s) {
  if (s == nullptr) return SCANLINK_ERR_SESSION;
  StoreGlobal(s->linkDown, 0);
  return SCANLINK_OK;
}

int scanlink_disconnect(scanlink_session* s) {
  if (s == nullptr) return SCANLINK_ERR_SESSION;
  // A close under way takes the link down itself.
  if (!s->Closing()) s->engine->MyClose();
  return SCANLINK_OK;
}

int scanlink_close(scanlink_session* s) {
  if (s == nullptr) return SCANLINK_OK;
  // A handler of this session runs on one of the threads the close waits for; the threads of a
  // session closed from another's handler may be waiting for that handler's session.
  if (s->state.lock.held_by_me() || scanlink::transport::InsideAnyCallback()) {
    return SCANLINK_ERR_IN_HANDLER;
  }
  s->closing.store(true, std::memory_order_release);
  // Destroyed: the engine first (every thread reaped, no handler call under way), then the rest.
  // The pointer is let go only afterwards: a handler still running reaches the engine.
  delete s->engine.get();
  (void)s->engine.release();
  delete s;
  return SCANLINK_OK;
}

int scanlink_set_timeouts(scanlink_session* s, int connect_ms, int reply_ms, int link_ms) {
  if (s == nullptr) return SCANLINK_ERR_SESSION;
  const auto fits = [](int v, int low, int high) { return v == 0 || (v >= low && v <= high); };
  if (!fits(connect_ms, SCANLINK_CONNECT_TIMEOUT_MIN, SCANLINK_CONNECT_TIMEOUT_MAX) ||
      !fits(reply_ms, SCANLINK_REPLY_TIMEOUT_MIN, SCANLINK_REPLY_TIMEOUT_MAX) ||
      !fits(link_ms, scanlink::transport::kMinLinkTimeoutMs,
            scanlink::transport::kMaxLinkTimeoutMs)) {
    return SCANLINK_ERR_ARGUMENT;
  }
  auto& state = s->state;
  if (connect_ms != 0) state.connectTimeoutMs.store(connect_ms, std::memory_order_relaxed);
  if (reply_ms != 0) state.replyTimeoutMs.store(reply_ms, std::memory_order_relaxed);
  if (link_ms != 0) state.linkTimeoutMs.store(link_ms, std::memory_order_relaxed);
  return SCANLINK_OK;
}

int scanlink_get_timeouts(scanlink_session* s, int* connect_ms, int* reply_ms, int* link_ms) {
  if (s == nullptr) return SCANLINK_ERR_SESSION;
  const auto& state = s->state;
  if (connect_ms != nullptr) *connect_ms = state.connectTimeoutMs.load(std::memory_order_relaxed);
  if (reply_ms != nullptr) *reply_ms = s->engine->modules().ReplyTimeoutMs();
  if (link_ms != nullptr) {
    const int link = state.linkTimeoutMs.load(std::memory_order_relaxed);
    *link_ms = link != 0 ? link : scanlink::transport::LinkTimeoutMs();
  }
  return SCANLINK_OK;
}

int scanlink_read_counters(scanlink_session* s, scanlink_counters* out) {
  if (s == nullptr) return SCANLINK_ERR_SESSION;
  if (out == nullptr) return SCANLINK_ERR_ARGUMENT;
  const auto& c = s->state.counters;
  auto get = [](const std::atomic<uint64_t>& v) { return v.load(std::memory_order_relaxed); };
  out->frames_received = get(c.framesReceived);
  out->bytes_received = get(c.bytesReceived);
  out->frames_delivered = get(c.framesDelivered);
  out->dropped_sync = get(c.droppedSync);
  out->dropped_length = get(c.droppedLength);
  out->dropped_no_module = get(c.droppedNoModule);
  out->dropped_transaction = get(c.droppedTransaction);
  out->bytes_skipped = get(c.bytesSkipped);
  out->frames_oversized = get(c.framesOversized);
  out->sends = get(c.sends);
  out->sends_failed = get(c.sendsFailed);
  out->link_losses = get(c.linkLosses);
  out->reconnections = get(c.reconnections);
  out->transactions_reclaimed = get(c.transactionsReclaimed);
  out->queue_high_water = get(c.queueHighWater);
  out->dropped_reserved = get(c.droppedReserved);
  return SCANLINK_OK;
}

int scanlink_read_state(scanlink_session* s, scanlink_state* out) {
  if (s == nullptr) return SCANLINK_ERR_SESSION;
  if (out == nullptr) return SCANLINK_ERR_ARGUMENT;
  out->first_connected = LoadGlobal(s->firstConn);
  out->link_up = LoadGlobal(s->initFinish);
  out->link_down = LoadGlobal(s->linkDown);
  out->scanner_type = LoadGlobal(s->scannerType);
  out->family = LoadGlobal(s->family);
  out->finger_test = LoadGlobal(s->fingerTest);
  return SCANLINK_OK;
}

int scanlink_send_message(scanlink_session* s, uint16_t code, const void* payload, int length) {
  if (s == nullptr) return SCANLINK_ERR_SESSION;
  if (length < 0 || length > CMyPcCommMessage::kMaxPayload || (payload == nullptr && length > 0)) {
    return 0;
  }
  CMyPcCommMessage message(code, static_cast<uint16_t>(length), 0, payload);
  return s->Operations().ClientSendMessage(message);
}

int scanlink_send_record(scanlink_session* s, const scanlink_record* record) {
  if (s == nullptr) return SCANLINK_ERR_SESSION;
  if (record == nullptr) return 0;
  CCmdManage command;
  command.nCode = record->code;
  std::memcpy(&command.body, &record->body, sizeof command.body);
  return s->Operations().SendMessageW(&command);
}

int scanlink_send_alarm(scanlink_session* s, const void* bytes, int length) {
  if (s == nullptr || s->Closing()) return -1;
  ScopedLock<RecursiveMutex> guard(s->state.lock);
  return s->engine->SendAlarm(static_cast<const char*>(bytes), length);
}

int scanlink_set_bs_list(scanlink_session* s, const scanlink_station* list, int count) {
  if (s == nullptr) return SCANLINK_ERR_SESSION;
  static_assert(sizeof(scanlink_station) == sizeof(_BSCellInfo), "one layout");
  return s->stations.SetList(reinterpret_cast<const _BSCellInfo*>(list), count);
}

int scanlink_set_gps_mismatch_limit(scanlink_session* s, int limit) {
  if (s == nullptr) return SCANLINK_ERR_SESSION;
  return s->stations.SetMismatchLimit(limit);
}

#define SCANLINK_OPERATION(call)                 \
  if (s == nullptr) return SCANLINK_ERR_SESSION; \
  return s->Operations().call

namespace {

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

}  // namespace

int scanlink_login(scanlink_session* s, const char* text1, const char* text2) {
  LoginField field1, field2;
  SCANLINK_OPERATION(LoginScaner(field1.From(text1), field2.From(text2)));
}
int scanlink_change_password(scanlink_session* s, const char* text2, const char* text1) {
  LoginField field1, field2;
  SCANLINK_OPERATION(ChangePassword(field2.From(text2), field1.From(text1)));
}
int scanlink_set_w_freq_list_scan_mode(scanlink_session* s, unsigned v1, unsigned v2, unsigned v3,
                                       unsigned count, const unsigned* freqs) {
  SCANLINK_OPERATION(SetWFreqListScanMode(v1, v2, v3, count, freqs));
}
int scanlink_set_w_cell_list_scan_mode(scanlink_session* s, unsigned v1, unsigned v2, unsigned v3,
                                       unsigned count, const unsigned* firsts,
                                       const unsigned* seconds) {
  SCANLINK_OPERATION(SetWCellListScanMode(v1, v2, v3, count, firsts, seconds));
}
int scanlink_set_wcdma_scan_mode(scanlink_session* s, unsigned mode, unsigned value1,
                                 unsigned value2, unsigned value3, unsigned value4, unsigned value5,
                                 unsigned value6, unsigned value7, unsigned value8, int flag,
                                 int value11, unsigned value9, unsigned value10, unsigned value12,
                                 unsigned value13) {
  SCANLINK_OPERATION(SetWCDMAScanMode(mode, value1, value2, value3, value4, value5, value6, value7,
                                      value8, flag != 0, static_cast<short>(value11), value9,
                                      value10, value12, value13));
}
int scanlink_set_td_sa_scan_mode(scanlink_session* s, unsigned sa1, unsigned sa2,
                                 unsigned selector_value, unsigned sa3, int sa_flag, int sa5,
                                 unsigned sa4, unsigned selector) {
  SCANLINK_OPERATION(SetTDSAScanMode(sa1, sa2, selector_value, sa3, sa_flag != 0,
                                     static_cast<short>(sa5), sa4, selector));
}
int scanlink_set_td_cell_list_scan_mode(scanlink_session* s, unsigned selector_value,
                                        const unsigned* firsts, const unsigned* seconds,
                                        unsigned count, unsigned selector, int finger_test,
                                        unsigned trailing) {
  SCANLINK_OPERATION(SetTDCellListScanMode(selector_value, firsts, seconds, count, selector,
                                           finger_test != 0, trailing));
}
int scanlink_set_td_freq_list_scan_mode(scanlink_session* s, unsigned selector_value,
                                        const unsigned* freqs, unsigned count, unsigned selector,
                                        int finger_test, unsigned trailing) {
  SCANLINK_OPERATION(
      SetTDFreqListScanMode(selector_value, freqs, count, selector, finger_test != 0, trailing));
}
int scanlink_set_td_cell_search_scan_mode(scanlink_session* s, unsigned search3, unsigned search4,
                                          unsigned selector_value, unsigned search2,
                                          unsigned search1, unsigned selector, int finger_test) {
  SCANLINK_OPERATION(SetTDCellSearchScanMode(search3, search4, selector_value, search2, search1,
                                             selector, finger_test != 0));
}
int scanlink_set_td_cw_scan_mode(scanlink_session* s, unsigned cw1, unsigned selector_value,
                                 unsigned cw2, unsigned selector) {
  SCANLINK_OPERATION(SetTDCWScanMode(cw1, selector_value, cw2, selector));
}
int scanlink_set_channel_scan_mode(scanlink_session* s, int kind, unsigned selector_value,
                                   unsigned selector, unsigned channel1, unsigned channel2,
                                   unsigned channel3, unsigned channel4, unsigned channel5,
                                   unsigned channel6, const unsigned char* block1,
                                   const unsigned char* block2) {
  if (s == nullptr) return SCANLINK_ERR_SESSION;
  // The four scans share one layout; MBMS carries one value in both first channels.
  if (kind < SCANLINK_SCAN_DPCH || kind > SCANLINK_SCAN_MBMS) return 0;
  if (kind == SCANLINK_SCAN_MBMS && channel1 != channel2) return 0;
  return s->Operations().SetDpchScanMode(selector_value, selector, channel1, channel2, channel3,
                                         channel4, channel5, channel6, block1, block2);
}
int scanlink_get_scan_mode(scanlink_session* s) { SCANLINK_OPERATION(GetScanMode()); }
int scanlink_get_scanner_version(scanlink_session* s) { SCANLINK_OPERATION(GetScanerVersion()); }
int scanlink_reset_scanner(scanlink_session* s) { SCANLINK_OPERATION(ResetScaner()); }
int scanlink_stop_scan(scanlink_session* s) { SCANLINK_OPERATION(StopScanData()); }
int scanlink_start_scan(scanlink_session* s) { SCANLINK_OPERATION(StartScanData()); }
int scanlink_set_scanner_mac_address(scanlink_session* s, const char* text) {
  SCANLINK_OPERATION(SetScanerMACAddress(text));
}
int scanlink_set_scanner_ip_address(scanlink_session* s, const char* text) {
  SCANLINK_OPERATION(SetScanerIPAddress(text));
}
int scanlink_query_battery(scanlink_session* s) { SCANLINK_OPERATION(QueryBattery()); }
int scanlink_set_gps_info_format(scanlink_session* s, int value1, int value2) {
  SCANLINK_OPERATION(SetGpsInfoFormat(value1, value2));
}

#undef SCANLINK_OPERATION

int scanlink_record_json(const scanlink_record* record, int stations_loaded, char* buffer,
                         size_t size) {
  if (record == nullptr || (buffer == nullptr && size > 0)) return SCANLINK_ERR_ARGUMENT;
  std::unique_ptr<CCmdManage> m(new (std::nothrow) CCmdManage);
  if (!m) return SCANLINK_ERR_RESOURCES;
  m->nCode = record->code;
  m->nTransID = record->trans_id;
  m->nLength = record->length;
  std::memcpy(&m->body, &record->body, sizeof m->body);
  const std::string text = scanlink::codec::RecordJson(*m, stations_loaded != 0);
  if (size > 0) {
    const size_t n = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
  }
  return static_cast<int>(text.size());
}

int scanlink_decode(const unsigned char* bytes, size_t length,
                    const scanlink_decode_options* options, scanlink_record_handler on_record,
                    void* context, scanlink_decode_stats* stats) {
  if (bytes == nullptr && length > 0) return SCANLINK_ERR_ARGUMENT;
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
      const auto be16 = [&](size_t at) {
        return static_cast<uint16_t>(frame[at] << 8 | frame[at + 1]);
      };
      *record = CCmdManage();
      scanlink::codec::decode_payload(be16(2), be16(4), frame + 8, n - 8, *record, env);
      ++records;
      if (onRecord == nullptr) return;
      CopyRecord(*record, *out);
      onRecord(context, out.get());
    }
    void OnTrace(const char*) {}
    void OnOversized(size_t) { ++counts.oversized; }
    void OnDiscard(size_t n) { counts.bytes_skipped += n; }
  } sink{env, on_record, context};
  scanlink::transport::Framer framer;
  framer.Feed(bytes, length, sink);
  sink.counts.partial_bytes = framer.Pending();
  if (stats != nullptr) *stats = sink.counts;
  return sink.records;
}

}  // extern "C"
