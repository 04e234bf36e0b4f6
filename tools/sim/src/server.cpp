#include "server.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <utility>
#include <vector>

#include "hex.h"
#include "radio.h"
#include "reply_table.h"
#include "report_table.h"

namespace scanlink::sim {
namespace {

constexpr auto kListenRetry = std::chrono::milliseconds(200);
constexpr auto kMaxPollWait = std::chrono::milliseconds(1000);
constexpr std::size_t kMaxBacklog = 1 << 20;  // queued bytes beyond which reports are dropped
constexpr std::uint32_t kMaxRate = 1000;

std::string hex16(std::uint16_t v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%04X", v);
  return buf;
}

std::string_view frame_name(std::uint16_t code, std::uint16_t trans) {
  std::string_view name = trans == kUnsolicitedTrans ? report_name(code) : reply_name(code);
  return name.empty() ? "Raw" : name;
}

std::string_view family_text(Family f) { return f == Family::kTd ? "td" : "wcdma"; }

}  // namespace

Server::Server(Options options, EventLog& log, ReportGenerator generator,
               std::optional<Replay> replay)
    : options_(std::move(options)),
      log_(log),
      generator_(std::move(generator)),
      replay_(std::move(replay)),
      model_(options_.family, options_.reply_order),
      data_port_(options_.port),
      alarm_port_(options_.alarm_port),
      rate_(replay_ ? 0 : std::min(options_.rate, kMaxRate)) {
  stdin_open_ = !options_.ignore_stdin;
  if (!options_.record_path.empty()) {
    record_.open(options_.record_path, std::ios::binary | std::ios::trunc);
    if (!record_) throw std::runtime_error("cannot write " + options_.record_path);
    // Header lines a reader of the stream takes as decoder settings: how the level fields this
    // simulator writes are to be read. A replay sends another scanner's fields, whose
    // convention this simulator does not know.
    if (!replay_) {
      record_ << "# level-offset: " << -static_cast<long>(kLevelOffsetDb)
              << "\n# level-unit: dBm\n";
      record_.flush();
    }
  }
}

void Server::record(ByteView bytes) {
  if (!record_.is_open()) return;
  record_.write(reinterpret_cast<const char*>(bytes.data()),
                static_cast<std::streamsize>(bytes.size()));
  record_.flush();
}

Server::~Server() { close_listeners(); }

bool Server::update_listeners(Clock::time_point now) {
  if (faults_.listeners_down(now)) {
    close_listeners();
    return true;
  }
  if (faults_.down_until()) faults_.listeners_back();
  if (listen_retry_ && now < *listen_retry_) return true;
  listen_retry_.reset();

  bool opened = false;
  std::string error;
  if (data_listener_ < 0) {
    data_listener_ = open_listener(options_.bind, data_port_, error);
    if (data_listener_ < 0) {
      log_.emit("error", {{"what", "listen"}, {"message", error}});
      log_.say("!! " + error);
      listen_retry_ = now + kListenRetry;
      return false;
    }
    data_port_ = local_port(data_listener_);
    opened = true;
  }
  bool alarm_wanted = !options_.no_alarm && !faults_.refuse_alarm();
  if (alarm_wanted && alarm_listener_ < 0) {
    alarm_listener_ = open_listener(options_.bind, alarm_port_, error);
    if (alarm_listener_ < 0) {
      log_.emit("error", {{"what", "listen"}, {"message", error}});
      log_.say("!! " + error);
      listen_retry_ = now + kListenRetry;
      return false;
    }
    alarm_port_ = local_port(alarm_listener_);
    opened = true;
  }
  if (!alarm_wanted && alarm_listener_ >= 0) {
    ::close(alarm_listener_);
    alarm_listener_ = -1;
  }
  if (opened) {
    Json alarm = alarm_listener_ >= 0 ? Json(alarm_port_) : Json(nullptr);
    log_.emit("listening", {{"bind", options_.bind},
                            {"port", data_port_},
                            {"alarm_port", alarm},
                            {"pid", ::getpid()}});
    log_.say("listening on " + options_.bind + " data port " + std::to_string(data_port_) +
             ", alarm port " +
             (alarm_listener_ >= 0 ? std::to_string(alarm_port_) : std::string("closed")));
  }
  return true;
}

void Server::close_listeners() {
  if (data_listener_ >= 0) ::close(data_listener_);
  if (alarm_listener_ >= 0) ::close(alarm_listener_);
  data_listener_ = alarm_listener_ = -1;
}

void Server::accept_data() {
  std::string peer;
  int fd = accept_connection(data_listener_, peer);
  if (fd < 0) return;
  if (session_.data() != nullptr) close_data("replaced");
  session_.replace_data(std::make_unique<Connection>(fd, peer));
  session_.data()->set_chunk(options_.chunk);
  log_.emit("data-connected", {{"peer", peer}});
  log_.say("data connection from " + peer);
  if (model_.scanning() && rate_ > 0) next_report_ = Clock::now();
  // A recording that does not show the scan's start streams from the connection on.
  if (replay_ && !replay_->waits_for_start() && !replay_->running()) start_replay();
}

void Server::accept_alarm() {
  std::string peer;
  int fd = accept_connection(alarm_listener_, peer);
  if (fd < 0) return;
  if (session_.alarm() != nullptr) close_alarm("replaced");
  session_.replace_alarm(std::make_unique<Connection>(fd, peer));
  log_.emit("alarm-connected", {{"peer", peer}});
  log_.say("alarm connection from " + peer);
}

void Server::close_data(const std::string& reason, bool reset) {
  auto c = session_.take_data();
  if (!c) return;
  if (reset) {
    c->reset();
  } else {
    c->close();
  }
  log_.emit("data-closed", {{"reason", reason}});
  log_.say("data connection closed: " + reason);
}

void Server::close_alarm(const std::string& reason) {
  auto c = session_.take_alarm();
  if (!c) return;
  c->close();
  log_.emit("alarm-closed", {{"reason", reason}});
  log_.say("alarm connection closed: " + reason);
}

void Server::read_data() {
  Bytes bytes;
  std::string error;
  Connection::ReadStatus status = session_.data()->read_some(bytes, error);
  if (status == Connection::ReadStatus::kClosed) return close_data("peer-closed");
  if (status == Connection::ReadStatus::kError) return close_data("read-error: " + error);
  if (status != Connection::ReadStatus::kData) return;
  FrameAssembler& assembler = session_.assembler();
  assembler.feed(bytes);
  while (auto frame = assembler.next()) {
    if (std::size_t skipped = assembler.take_skipped(); skipped > 0) {
      log_.emit("skipped", {{"length", skipped}});
      log_.say("!! skipped " + std::to_string(skipped) + " bytes without a sync byte");
    }
    handle_frame(*frame);
    if (session_.data() == nullptr || quit_) return;  // a reply failed and closed the connection
  }
  if (std::size_t skipped = assembler.take_skipped(); skipped > 0) {
    log_.emit("skipped", {{"length", skipped}});
    log_.say("!! skipped " + std::to_string(skipped) + " bytes without a sync byte");
  }
}

void Server::read_alarm() {
  Bytes bytes;
  std::string error;
  Connection::ReadStatus status = session_.alarm()->read_some(bytes, error);
  if (status == Connection::ReadStatus::kClosed) return close_alarm("peer-closed");
  if (status == Connection::ReadStatus::kError) return close_alarm("read-error: " + error);
  if (status != Connection::ReadStatus::kData) return;
  log_.emit("alarm-bytes", {{"length", bytes.size()}, {"hex", to_hex(bytes)}});
  log_.say("<- alarm " + std::to_string(bytes.size()) + " bytes " + to_hex(bytes));
}

void Server::handle_frame(const Frame& f) {
  DecodedCommand command = decode_command(f.code, f.payload);
  Json event{
      {"code", f.code},          {"name", command.name},       {"module", f.module},
      {"trans", f.trans},        {"length", f.payload.size()}, {"payload", to_hex(f.payload)},
      {"fields", command.fields}};
  if (!command.mode_name.empty()) event["modeName"] = command.mode_name;
  if (!command.problems.empty()) event["problems"] = command.problems;
  log_.emit("command", event);
  log_.say(describe_command(f.code, f.module, f.trans, f.payload.size(), command));

  bool was_scanning = model_.scanning();
  std::vector<Reply> replies = model_.on_command(f.code, f.payload, command);
  std::optional<std::vector<Frame>> recorded;
  if (replay_) recorded = replay_->replies(f.code, f.module, f.trans);
  if (faults_.answer() && recorded) {
    for (Frame& r : *recorded) {
      if (session_.data() == nullptr) break;
      send_frame(r);
    }
  } else if (faults_.answer()) {
    for (Reply& r : replies) {
      if (session_.data() == nullptr) break;
      send_frame(Frame{f.module, r.code, f.trans, std::move(r.payload)});
    }
  }
  bool started = f.code == code::kStartScan || f.code == code::kStartTdScan;
  scan_changed(was_scanning, started);
  if (replay_ && started) start_replay();
  if (replay_ && was_scanning && !model_.scanning()) replay_->stop();
}

void Server::scan_changed(bool was_scanning, bool started) {
  if (!model_.scanning()) {
    next_report_.reset();
    if (was_scanning) {
      log_.emit("scan", {{"scanning", false}});
      log_.say("scan stopped");
    }
    return;
  }
  if (!started) return;
  // A start while scanning restarts the clock with the current plan.
  ScanPlan plan = model_.plan();
  std::uint16_t report = report_code_for(plan.family, plan.mode);
  Json mode = plan.mode ? Json(*plan.mode) : Json(nullptr);
  log_.emit("scan", {{"scanning", true},
                     {"family", family_text(plan.family)},
                     {"mode", mode},
                     {"finger", plan.finger},
                     {"report", report},
                     {"rate", rate_}});
  log_.say("scan started: " + std::string(family_text(plan.family)) + " reports " + hex16(report) +
           " at " + std::to_string(rate_) + "/s");
  next_report_ = rate_ > 0 ? std::optional(Clock::now()) : std::nullopt;
}

void Server::send_frame(const Frame& f, const Json& detail) {
  Connection* c = session_.data();
  if (c == nullptr) return;
  bool report = f.trans == kUnsolicitedTrans;
  Json event{{"code", f.code},
             {"name", frame_name(f.code, f.trans)},
             {"module", f.module},
             {"trans", f.trans},
             {"length", f.payload.size()}};
  if (!report || options_.log_payloads) event["payload"] = to_hex(f.payload);
  if (!detail.empty()) event["detail"] = detail;
  log_.emit("sent", event);
  if (!report || options_.verbose) {
    std::string payload = to_hex(f.payload);
    if (payload.size() > 96) payload = payload.substr(0, 96) + "...";
    log_.say("-> " + hex16(f.code) + " " + std::string(frame_name(f.code, f.trans)) + " " +
             payload + " (module " + std::to_string(f.module) + ", trans " +
             std::to_string(f.trans) + ", " + std::to_string(f.payload.size()) + " bytes)");
  }
  const Bytes bytes = encode_frame(f);
  record(bytes);
  if (!c->send(bytes)) close_data("send-error");
}

void Server::send_due_reports(Clock::time_point now) {
  if (!next_report_ || now < *next_report_) return;
  auto interval =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate_));
  *next_report_ += interval;
  // After a stall, go on from now rather than sending the missed reports in a burst.
  if (*next_report_ + std::chrono::seconds(1) < now) *next_report_ = now + interval;
  Connection* c = session_.data();
  if (c == nullptr) return;
  double elapsed = std::chrono::duration<double>(now - started_).count();
  GeneratedReport r = generator_.next(model_.plan(), elapsed, started_utc_s_);
  if (c->queued() > kMaxBacklog) {
    log_.emit("dropped", {{"code", r.code}, {"queued", c->queued()}});
    return;
  }
  send_frame(Frame{0, r.code, kUnsolicitedTrans, std::move(r.payload)}, r.detail);
}

void Server::start_replay() {
  replay_->start(Clock::now());
  log_.emit("replay", {{"playing", true}, {"units", replay_->stream_units()}});
  log_.say("replay: streaming " + std::to_string(replay_->stream_units()) + " recorded units");
}

void Server::send_due_replay(Clock::time_point now) {
  if (!replay_) return;
  for (Replay::Unit& u : replay_->due(now)) {
    if (u.alarm) {
      Connection* alarm = session_.alarm();
      if (alarm == nullptr) continue;
      log_.emit("alarm-sent", {{"length", u.bytes.size()}, {"hex", to_hex(u.bytes)}});
      if (!alarm->send(u.bytes)) close_alarm("send-error");
      continue;
    }
    Connection* c = session_.data();
    if (c == nullptr) continue;  // as reports are: nobody to send them to
    if (c->queued() > kMaxBacklog) {
      log_.emit("dropped", {{"queued", c->queued()}});
      continue;
    }
    Json event{{"replay", true}, {"length", u.bytes.size()}};
    if (u.bytes.size() >= kHeaderSize && u.bytes[0] == kSync) {
      event["code"] = get_u16(u.bytes, 2);
      event["trans"] = get_u16(u.bytes, 4);
    }
    if (options_.log_payloads) event["payload"] = to_hex(u.bytes);
    log_.emit("sent", event);
    record(u.bytes);
    if (!c->send(u.bytes)) close_data("send-error");
  }
  if (replay_->finished()) {
    if (!replay_ended_) log_.emit("replay", {{"playing", false}});
    replay_ended_ = true;
    // Ends once what is queued has gone out, as a drive ends.
    if (session_.data() == nullptr || session_.data()->queued() == 0) quit("end of recording");
  }
}

void Server::read_stdin() {
  char buf[4096];
  ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) {
    stdin_open_ = false;
    if (!stdin_buffer_.empty()) handle_control(std::exchange(stdin_buffer_, {}));
    quit("stdin closed");
    return;
  }
  stdin_buffer_.append(buf, static_cast<std::size_t>(n));
  std::size_t nl;
  while (!quit_ && (nl = stdin_buffer_.find('\n')) != std::string::npos) {
    std::string line = stdin_buffer_.substr(0, nl);
    stdin_buffer_.erase(0, nl + 1);
    handle_control(line);
  }
}

void Server::handle_control(const std::string& raw) {
  std::string line = raw;
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  ControlParse parsed = parse_control(line);
  if (!parsed.command && parsed.error.empty()) return;  // blank line
  ++control_seq_;
  std::string error = parsed.command ? apply_control(*parsed.command) : parsed.error;
  Json ack{{"seq", control_seq_}, {"cmd", line}, {"ok", error.empty()}};
  if (!error.empty()) ack["error"] = error;
  log_.emit("control", ack);
  log_.say("control: " + line + (error.empty() ? " ok" : " FAILED: " + error));
}

std::string Server::apply_control(const ControlCommand& c) {
  using Kind = ControlCommand::Kind;
  Connection* data = session_.data();
  switch (c.kind) {
    case Kind::kCloseData:
      if (data == nullptr) return "no data connection";
      close_data("close-data");
      return {};
    case Kind::kCloseAlarm:
      if (session_.alarm() == nullptr) return "no alarm connection";
      close_alarm("close-alarm");
      return {};
    case Kind::kResetData:
      if (data == nullptr) return "no data connection";
      close_data("reset-data", true);
      return {};
    case Kind::kResetMidFrame: {
      if (data == nullptr) return "no data connection";
      Json fields{{"headerByte", 1},
                  {"gpsText", gga_text({started_utc_s_, {options_.start_lon, options_.start_lat}})},
                  {"count", 4},
                  {"values", {1, 2, 3, 4}}};
      Frame f{0, report_code::kValueList, kUnsolicitedTrans,
              encode(*report_layout(report_code::kValueList), fields)};
      Bytes bytes = encode_frame(f);
      log_.emit("sent", {{"code", f.code},
                         {"name", frame_name(f.code, f.trans)},
                         {"module", 0},
                         {"trans", f.trans},
                         {"length", f.payload.size()},
                         {"partial", bytes.size() / 2}});
      auto c_owned = session_.take_data();
      FaultInjector::reset_mid_frame(*c_owned, bytes);
      log_.emit("data-closed", {{"reason", "reset-mid-frame"}});
      log_.say("data connection reset after " + std::to_string(bytes.size() / 2) + " of " +
               std::to_string(bytes.size()) + " frame bytes");
      return {};
    }
    case Kind::kStopListening:
      faults_.take_listeners_down(std::chrono::milliseconds(c.number));
      close_listeners();
      return {};
    case Kind::kRefuseAlarm:
      faults_.set_refuse_alarm(c.on);
      update_listeners(Clock::now());
      return {};
    case Kind::kStall:
      faults_.set_stall(c.on);
      return {};
    case Kind::kAnswer:
      faults_.set_answer(c.on);
      return {};
    case Kind::kRestart: {
      close_data("restart");
      close_alarm("restart");
      close_listeners();
      model_ = ScannerModel(options_.family, options_.reply_order);
      generator_.reset();
      faults_ = FaultInjector{};
      next_report_.reset();
      listen_retry_.reset();
      update_listeners(Clock::now());
      return {};
    }
    case Kind::kSend: {
      if (data == nullptr) return "no data connection";
      log_.emit("sent", {{"raw", true}, {"length", c.bytes.size()}, {"payload", to_hex(c.bytes)}});
      record(c.bytes);
      if (!data->send(c.bytes)) close_data("send-error");
      return {};
    }
    case Kind::kFrame:
      if (data == nullptr) return "no data connection";
      send_frame(c.frame);
      return {};
    case Kind::kAlarm: {
      Connection* alarm = session_.alarm();
      if (alarm == nullptr) return "no alarm connection";
      log_.emit("alarm-sent", {{"length", c.bytes.size()}, {"hex", to_hex(c.bytes)}});
      if (!alarm->send(c.bytes)) close_alarm("send-error");
      return {};
    }
    case Kind::kStart: {
      bool was = model_.scanning();
      model_.start(c.family.value_or(model_.native_family()));
      scan_changed(was, true);
      return {};
    }
    case Kind::kStop: {
      bool was = model_.scanning();
      model_.stop();
      scan_changed(was, false);
      return {};
    }
    case Kind::kRate:
      if (c.number > kMaxRate) return "rate above " + std::to_string(kMaxRate);
      rate_ = c.number;
      if (model_.scanning()) next_report_ = rate_ > 0 ? std::optional(Clock::now()) : std::nullopt;
      return {};
    case Kind::kFamily:
      options_.family = c.number;
      model_.set_family_value(c.number);
      return {};
    case Kind::kQuit:
      quit("quit");
      return {};
  }
  return "unhandled control command";
}

void Server::quit(const std::string& reason) {
  if (quit_) return;
  quit_ = true;
  quit_reason_ = reason;
}

std::optional<Server::Clock::time_point> Server::next_deadline() const {
  std::optional<Clock::time_point> d;
  auto consider = [&](std::optional<Clock::time_point> t) {
    if (t && (!d || *t < *d)) d = t;
  };
  if (session_.data() != nullptr) consider(next_report_);
  if (replay_) consider(replay_->next_due());
  consider(faults_.down_until());
  consider(listen_retry_);
  return d;
}

int Server::run(int stop_fd) {
  if (!update_listeners(Clock::now())) return 1;

  while (!quit_) {
    std::vector<pollfd> fds;
    auto add = [&](int fd, short events) -> int {
      if (fd < 0) return -1;
      fds.push_back(pollfd{fd, events, 0});
      return static_cast<int>(fds.size()) - 1;
    };
    int i_stop = add(stop_fd, POLLIN);
    int i_stdin = stdin_open_ ? add(STDIN_FILENO, POLLIN) : -1;
    int i_dl = add(data_listener_, POLLIN);
    int i_al = add(alarm_listener_, POLLIN);
    int i_data = -1;
    if (Connection* d = session_.data()) {
      short ev =
          static_cast<short>((faults_.stall() ? 0 : POLLIN) | (d->queued() > 0 ? POLLOUT : 0));
      i_data = add(d->fd(), ev);
    }
    int i_alarm = -1;
    if (Connection* a = session_.alarm()) {
      i_alarm = add(a->fd(), static_cast<short>(POLLIN | (a->queued() > 0 ? POLLOUT : 0)));
    }

    auto wait = kMaxPollWait;
    if (auto deadline = next_deadline()) {
      auto until = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
      wait = std::clamp(until, std::chrono::milliseconds(0), kMaxPollWait);
    }
    int n = ::poll(fds.data(), fds.size(), static_cast<int>(wait.count()));
    if (n < 0 && errno != EINTR) {
      log_.emit("error", {{"what", "poll"}, {"message", std::to_string(errno)}});
      quit("poll failed");
      break;
    }
    auto ready = [&](int i, short mask) { return n > 0 && i >= 0 && (fds[i].revents & mask) != 0; };
    constexpr short kIn = POLLIN | POLLHUP | POLLERR;

    if (ready(i_stop, POLLIN)) quit("signal");
    if (!quit_ && ready(i_stdin, kIn)) read_stdin();
    if (!quit_ && ready(i_dl, POLLIN) && data_listener_ >= 0) accept_data();
    if (!quit_ && ready(i_al, POLLIN) && alarm_listener_ >= 0) accept_alarm();
    // The session may have changed above; only act on the connections that were polled.
    if (!quit_ && i_data >= 0 && session_.data() != nullptr &&
        session_.data()->fd() == fds[i_data].fd) {
      if (ready(i_data, POLLOUT) && !session_.data()->flush()) close_data("send-error");
      if (!faults_.stall() && session_.data() != nullptr && ready(i_data, kIn)) read_data();
      if (faults_.stall() && session_.data() != nullptr && ready(i_data, POLLERR | POLLHUP)) {
        close_data("socket-error");
      }
    }
    if (!quit_ && i_alarm >= 0 && session_.alarm() != nullptr &&
        session_.alarm()->fd() == fds[i_alarm].fd) {
      if (ready(i_alarm, POLLOUT) && !session_.alarm()->flush()) close_alarm("send-error");
      if (session_.alarm() != nullptr && ready(i_alarm, kIn)) read_alarm();
    }
    if (quit_) break;
    auto now = Clock::now();
    update_listeners(now);
    send_due_reports(now);
    send_due_replay(now);
  }

  close_data(quit_reason_);
  close_alarm(quit_reason_);
  close_listeners();
  log_.emit("exit", {{"reason", quit_reason_}});
  log_.say("exit: " + quit_reason_);
  return 0;
}

}  // namespace scanlink::sim
