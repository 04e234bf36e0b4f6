// scanlink monitor: logs in, configures, starts, and prints what the scanner measures until
// Ctrl-C (or --seconds), then stops the scan and closes cleanly.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <sstream>

#include "capture/capture.h"
#include "common_options.h"
#include "console.h"
#include "exit_codes.h"
#include "live_page.h"
#include "operations.h"
#include "scanner_links.h"
#include "status_line.h"
#include "subcommands.h"
#include "timestamp.h"

namespace scanlink::cli {
namespace {

using Clock = std::chrono::steady_clock;

struct MonitorOptions {
  ConnectOptions connect;
  std::vector<std::string> hosts;  // --host as given, once or several times
  OutputFlags output;
  std::string scan;
  double seconds = 0;
  bool noStart = false;
  int finger = -1;  // -1: as the scan set up, else as the scanner's scan mode says
  std::string record;
  double splitMb = 0, splitSeconds = 0;
  std::string serve, tiles;  // the live page
  double batteryEvery = 0;
};

struct WireContext {
  capture::Recorder* recorder;
  std::string scanner;  // host:port, for the connection notes
};

// Every byte exchanged with the scanner goes to the recording, stamped as it passes, and each
// connection's start and end with it. Runs on the library's threads; the recorder takes its own
// lock.
void OnWire(int direction, int channel, const unsigned char* bytes, int length, void* context) {
  auto* wire = static_cast<WireContext*>(context);
  const auto ch = channel == 0 ? capture::Channel::kData : capture::Channel::kAlarm;
  const size_t n = length > 0 ? static_cast<size_t>(length) : 0;
  if (direction == 0)
    wire->recorder->Received(ch, bytes, n, NowUs());
  else if (direction == 1)
    wire->recorder->Sent(ch, bytes, n, NowUs());
  else if (direction == 2 || direction == 3)
    wire->recorder->Note(
        direction == 2 ? capture::Event::kConnectionBegins : capture::Event::kConnectionEnds, ch,
        wire->scanner, NowUs());
}

// A header value on one line: backslashes and line ends escaped.
std::string OneLine(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else if (c != '\r')
      out += c;
  }
  return out;
}

// A session's bytes, as the process's tap hears the first session's.
void SCANLINK_CALL OnSessionWire(void* context, int, int direction, int channel,
                                 const unsigned char* bytes, int length) {
  OnWire(direction, channel, bytes, length, context);
}

// Installs the wire tap for as long as it lives; the link it taps must be closed first.
class WireRecording {
 public:
  WireRecording(const MonitorOptions& o, const OutputOptions& output)
      : WireRecording(o, output, {o.connect.host, o.connect.port}, o.record, nullptr) {}
  // One scanner of several: its own file, tapping its own session only.
  WireRecording(const MonitorOptions& o, const OutputOptions& output, const ScannerAddress& at,
                const std::string& path, scanlink_session* session)
      : session_(session) {
    if (path.empty()) return;
    std::map<std::string, std::string> header{{"scanner", at.host},
                                              {"port", std::to_string(at.port)}};
    if (o.finger >= 0) header["finger-test"] = std::to_string(o.finger);
    // What decoding needs travels in the file itself, so it can be moved and shared.
    if (output.stationsLoaded) {
      header["bs-list"] = std::filesystem::path(o.output.bsList).filename().string();
      header["bs-list-data"] = OneLine(StationsText(output.stations));
    }
    if (const int limit = GpsLimit(o.output); limit >= 0)
      header["gps-limit"] = std::to_string(limit);
    // What the user said the level fields are: decoding the file later reads them the same way.
    if (!o.output.levelUnit.empty())
      LevelConvention{o.output.levelOffset, o.output.levelUnit}.WriteHeader(header);
    if (!o.connect.family.empty()) header["family"] = o.connect.family;
    capture::Recorder::Split split;
    split.bytes = static_cast<uint64_t>(o.splitMb * 1e6);
    split.us = static_cast<int64_t>(o.splitSeconds * 1e6);
    try {
      recorder_ = std::make_unique<capture::Recorder>(path, header, split);
    } catch (const std::exception& e) {
      throw CliError(kExitFile, e.what());
    }
    context_ = {recorder_.get(), at.Label()};
    if (session_)
      scanlink_set_tap(session_, OnSessionWire, &context_);
    else
      ScanlinkSetWireTapEx(OnWire, &context_, SCANLINK_TAP_CONNECTIONS);
  }
  ~WireRecording() {
    if (recorder_) Untap();
  }
  // The link went down or came back, as the application was told.
  void Link(bool connected, int64_t timeUs) {
    if (recorder_)
      recorder_->Note(connected ? capture::Event::kLinkRestored : capture::Event::kLinkLost,
                      capture::Channel::kData, "", timeUs);
  }
  // For the files a long drive is split into: each decodes on its own.
  void SetHeader(const std::string& key, const std::string& value) {
    if (recorder_) recorder_->SetHeader(key, value);
  }
  // The session it taps is closed: its tap ended with it.
  void Detached() { untapped_ = true; }
  // Once, when the recording stopped (a full disk): why, else empty.
  std::string Failure() {
    if (!recorder_ || told_ || recorder_->Ok()) return {};
    told_ = true;
    return "the recording stopped: " + recorder_->Error() +
           "; every unit written before is kept, the session goes on";
  }
  // After the link is closed: empty on success, else why the recording is incomplete.
  std::string Finish() {
    if (!recorder_) return {};
    Untap();
    recorder_->Close();
    return recorder_->Ok() ? std::string() : "the recording is incomplete: " + recorder_->Error();
  }

 private:
  void Untap() {
    if (!session_)
      ScanlinkSetWireTap(nullptr, nullptr);
    else if (!untapped_)
      scanlink_set_tap(session_, nullptr, nullptr);
    untapped_ = true;  // a session's tap ends with it: its handle may be gone by now
  }

  std::unique_ptr<capture::Recorder> recorder_;
  WireContext context_{};
  scanlink_session* session_ = nullptr;
  bool untapped_ = false;
  bool told_ = false;
};

std::atomic<bool> g_interrupted{false};
void OnInterrupt() { g_interrupted = true; }

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

// The library's threads read these while the link is up.
int LoadShared(int& global) { return std::atomic_ref<int>(global).load(); }
void StoreShared(int& global, int value) { std::atomic_ref<int>(global).store(value); }

std::string Counted(uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// What a summary says of the frames, beside the records counted.
struct FrameCounts {
  uint64_t received, rejected, skipped, lateReplies, losses, reconnections;
};

// One summary line: of the run (label empty) or of one scanner. The GPS check is told only for a
// TD scanner with a station list, the only case where it judges cells.
void WriteSummary(RecordOutput& out, const std::string& label, const Tally& t, const FrameCounts& f,
                  bool td) {
  int reports = 0;
  for (const auto& [code, n] : t.reports) reports += n;
  std::string text = label.empty()
                         ? "# summary: " + Counted(t.shown, "record", "records") + " shown, "
                         : "# summary [" + label + "]: ";
  text += Counted(reports, "report", "reports") + ", " + Counted(t.replies, "reply", "replies") +
          ", " + Counted(f.received, "frame", "frames") + " received, " +
          Counted(f.rejected, "frame", "frames") + " rejected, " +
          Counted(f.skipped, "byte", "bytes") + " skipped, " +
          Counted(f.lateReplies, "late reply", "late replies") + " dropped, " +
          Counted(f.losses, "link loss", "link losses") + ", " +
          Counted(f.reconnections, "reconnection", "reconnections");
  nlohmann::ordered_json fields;
  if (label.empty())
    fields["shown"] = t.shown;
  else
    fields["scanner"] = label;
  fields["reports"] = reports;
  fields["replies"] = t.replies;
  fields["framesReceived"] = f.received;
  fields["framesRejected"] = f.rejected;
  fields["bytesSkipped"] = f.skipped;
  fields["lateRepliesDropped"] = f.lateReplies;
  fields["linkLosses"] = f.losses;
  fields["reconnections"] = f.reconnections;
  const OutputOptions& o = out.options();
  if (o.stationsLoaded && td) {
    text += "; GPS check (tolerance " + std::to_string(o.gpsLimit) +
            " chips = " + std::to_string(o.gpsLimit * 4) +
            " quarter chips): " + std::to_string(t.found) + " found, " +
            std::to_string(t.mismatched) + " delay mismatch, " + std::to_string(t.notListed) +
            " not listed";
    fields["gpsLimitChips"] = o.gpsLimit;
    fields["found"] = t.found;
    fields["delayMismatch"] = t.mismatched;
    fields["notListed"] = t.notListed;
  }
  out.Summary(text, fields);
}

void Summarize(RecordOutput& out, const ScanlinkCounters& before) {
  ScanlinkCounters c;
  ScanlinkReadCounters(&c);
  const FrameCounts f{c.framesReceived - before.framesReceived,
                      c.droppedSync - before.droppedSync + c.droppedLength - before.droppedLength +
                          c.framesOversized - before.framesOversized,
                      c.bytesSkipped - before.bytesSkipped,
                      c.droppedTransaction - before.droppedTransaction,
                      c.linkLosses - before.linkLosses,
                      c.reconnections - before.reconnections};
  WriteSummary(out, "", out.tally(), f, LoadShared(TDorWCDMAConfig) == 2);
}

// The live page's server, watched from the pump: once it gives up, that is said at once and
// becomes the exit status, but monitoring goes on (the output and the recording still matter).
class PageWatch {
 public:
  template <typename Page>
  void Check(const Page* page, RecordOutput& out) {
    if (page == nullptr || !why_.empty()) return;
    why_ = page->Failed();
    if (!why_.empty()) out.Warn("the live page stopped updating: its server failed (" + why_ + ")");
  }
  void Into(std::optional<CliError>& failure) const {
    if (!failure && !why_.empty())
      failure.emplace(kExitFailure, "the live page's server stopped (" + why_ + ")");
  }

 private:
  std::string why_;
};

int Run(const MonitorOptions& o) {
  OutputOptions output = MakeOutput(o.output);
  const auto scan = Words(o.scan);
  if (!scan.empty()) CheckOperation(scan);  // a typo fails before connecting
  RecordOutput out(std::move(output));
  WireRecording recording(o, out.options());  // outlives the link
  std::unique_ptr<LivePage> live;
  if (!o.serve.empty()) {
    live = std::make_unique<LivePage>(o.serve, o.tiles, out.options());
    out.Note("# live view at " + live->Url());
  }
  LinkClient link;
  ApplyStations(link, o.output, out.options());
  if (o.finger >= 0) StoreShared(FingerTestFlag, o.finger);
  ScanlinkCounters before;
  ScanlinkReadCounters(&before);
  ConnectAndLogin(link, o.connect, out);
  if (live) live->AskBattery(&link.client(), o.batteryEvery);

  CatchInterrupt(OnInterrupt);
  StatusLine status;
  bool up = true;
  PageWatch pageWatch;
  auto nextBattery = Clock::now() + std::chrono::seconds(2);
  // Runs until the reply of trans (0: none awaited) or the deadline; a closed output or --count
  // ends it early unless whole is set. The reply, when it came.
  auto pump = [&](Clock::time_point until, int trans,
                  bool whole = false) -> std::shared_ptr<const CCmdManage> {
    while (!g_interrupted && (whole || !out.done()) && Clock::now() < until) {
      // The status line's battery, asked now and then while someone watches it.
      if (status.enabled() && !o.noStart && LoadShared(gInitFinishFlag) == 1 &&
          Clock::now() >= nextBattery) {
        nextBattery = Clock::now() + std::chrono::minutes(5);
        link.client().QueryBattery();
      }
      // Short waits, so Ctrl-C and the status line are served.
      auto e =
          link.Next(std::min(until, Clock::now() + std::chrono::milliseconds(live ? 100 : 200)));
      if (live) live->Tick();
      pageWatch.Check(live.get(), out);
      if (!e) {
        status.Draw(up, out.tally());
        continue;
      }
      status.Clear();
      Show(out, *e);
      if (live) live->Event(*e);
      if (e->kind == LinkEvent::kConnect) {
        up = e->connected;
        recording.Link(e->connected, e->timeUs);
      }
      if (auto failure = recording.Failure(); !failure.empty()) out.Warn(failure);
      status.Draw(up, out.tally());
      if (trans != 0 && e->kind == LinkEvent::kRecord && e->record->nTransID == trans)
        return e->record;
    }
    return nullptr;
  };
  auto stopped = [&] { return g_interrupted || out.done(); };
  const auto replyWait = Timeout(o.connect);
  if (!scan.empty() && !pump(Clock::now() + replyWait, SendOperation(link.client(), scan)) &&
      !stopped())
    throw CliError(kExitNoReply, "no reply to " + o.scan);
  // Whether TD cell records carry finger fields is the decoder's setting, not the record's: a
  // scan set up elsewhere is learned from the scanner's scan mode.
  if (scan.empty() && !stopped() && (!o.connect.noLogin || !o.connect.family.empty()) &&
      LoadShared(TDorWCDMAConfig) == 2) {
    const auto mode = pump(Clock::now() + replyWait, link.client().GetScanMode());
    if (mode && mode->nCode == 0xF00B) {
      const int scanner = mode->body.tdScanMode.nFingerTest != 0;
      if (o.finger < 0) {
        StoreShared(FingerTestFlag, scanner);
      } else if (o.finger != scanner) {
        out.Warn(std::string("--finger ") + std::to_string(o.finger) +
                 " but the scanner's scan mode has finger test " + (scanner ? "on" : "off") +
                 ": TD cell records will not read as they are");
      }
    } else if (!stopped() && o.finger < 0) {
      out.Warn("the scanner did not tell its scan mode: TD cell records are read " +
               std::string(LoadShared(FingerTestFlag) ? "with" : "without") +
               " finger fields (--finger sets it)");
    }
  }
  if (!o.noStart && !stopped() && !pump(Clock::now() + replyWait, link.client().StartScanData()) &&
      !stopped())
    throw CliError(kExitNoReply, "no reply to StartScanData");
  recording.SetHeader("finger-test", std::to_string(LoadShared(FingerTestFlag)));
  const auto end =
      o.seconds > 0 ? Clock::now() + std::chrono::milliseconds(static_cast<long>(o.seconds * 1000))
                    : Clock::time_point::max();
  pump(end, 0);
  status.Clear();
  g_interrupted = false;
  // How the run ended is the exit status: a scan left running, or a link that is down, is no
  // success.
  std::optional<CliError> failure;
  if (LoadShared(gInitFinishFlag) != 1) {
    failure.emplace(kExitUnreachable, std::string("the link was down at the end") +
                                          (o.noStart ? "" : ": the scan could not be stopped"));
  } else if (!o.noStart && !pump(Clock::now() + replyWait, link.client().StopScanData(), true)) {
    failure.emplace(kExitNoReply, "no reply to StopScanData: the scan may still run");
  }
  pageWatch.Into(failure);
  status.Clear();
  link.Close();
  ReleaseInterrupt();
  if (!out.closed()) Summarize(out, before);
  if (auto error = recording.Finish(); !error.empty()) throw CliError(kExitFile, error);
  if (auto error = out.Finish(); !error.empty()) throw CliError(kExitFile, error);
  if (failure) throw *failure;
  if (auto empty = out.EmptyExport()) throw CliError(kExitFailure, *empty);
  return kExitOk;
}

// Several scanners, one session each: every line labelled with its scanner, each scanner's
// bytes recorded into a file of its own, and its own summary.

// FILE.pcapng → FILE-A.B.C.D-PORT.pcapng: one recording per scanner, each decoding on its own.
std::string RecordingPath(const std::string& path, const ScannerAddress& a) {
  const std::filesystem::path p(path);
  const std::string ext = p.has_extension() ? p.extension().string() : ".pcapng";
  return (p.parent_path() / (p.stem().string() + "-" + a.host + "-" + std::to_string(a.port) + ext))
      .string();
}

// c: the session's counters, read as it closes; family: what its login reply said.
void SummarizeScanner(RecordOutput& out, const std::string& label, const scanlink_counters& c,
                      int family) {
  const FrameCounts f{c.frames_received, c.dropped_sync + c.dropped_length + c.frames_oversized,
                      c.bytes_skipped,   c.dropped_transaction,
                      c.link_losses,     c.reconnections};
  out.SetConnection(label);
  WriteSummary(out, label, out.tally(label), f, family == 2);
}

int RunSeveral(const MonitorOptions& o, const std::vector<ScannerAddress>& at) {
  // A session learns its family from its login reply and its finger setting from the scan mode
  // it is given; neither can be told otherwise.
  if (o.connect.noLogin)
    throw CliError(kExitUsage, "--no-login: several scanners are each logged in");
  if (o.finger >= 0)
    throw CliError(kExitUsage,
                   "--finger: with several scanners the finger setting comes from "
                   "--scan (td-cells, td-freqs, td-search)");
  OutputOptions output = MakeOutput(o.output);
  const auto scan = Words(o.scan);
  if (!scan.empty()) CheckOperation(scan);
  RecordOutput out(std::move(output));
  ScannerLinks links(at);
  const size_t n = links.size();
  std::vector<std::unique_ptr<WireRecording>> recordings;
  for (size_t i = 0; i < n; ++i)
    recordings.push_back(std::make_unique<WireRecording>(
        o, out.options(), at[i], o.record.empty() ? "" : RecordingPath(o.record, at[i]),
        links.session(i)));
  std::unique_ptr<LiveScanners> live;
  if (!o.serve.empty()) {
    live = std::make_unique<LiveScanners>(o.serve, o.tiles, out.options(), links);
    live->AskBattery(o.batteryEvery);
    out.Note("# live view at " + live->Url());
  }
  std::vector<scanlink_station> stations;
  for (const Station& st : out.options().stations) {
    scanlink_station c{};
    std::snprintf(c.name, sizeof c.name, "%s", st.name.c_str());
    c.cell_key1 = st.key1;
    c.cell_key2 = st.key2;
    c.longitude = st.longitude;
    c.latitude = st.latitude;
    stations.push_back(c);
  }
  for (size_t i = 0; i < n; ++i) {
    if (out.options().stationsLoaded)
      scanlink_set_bs_list(links.session(i), stations.data(), static_cast<int>(stations.size()));
    if (const int limit = GpsLimit(o.output); limit >= 0)
      scanlink_set_gps_mismatch_limit(links.session(i), limit);
  }
  for (size_t i = 0; i < n; ++i)
    if (auto error = links.Connect(i); !error.empty()) throw CliError(kExitUnreachable, error);

  CatchInterrupt(OnInterrupt);
  // Runs until every awaited reply came (awaited[i]: scanner i's transaction, 0 none) or the
  // deadline; the replies into replies[i].
  std::vector<std::shared_ptr<const CCmdManage>> replies(n);
  PageWatch pageWatch;
  auto pump = [&](Clock::time_point until, std::vector<int> awaited, bool whole = false) {
    std::fill(replies.begin(), replies.end(), nullptr);
    auto waiting = [&] {
      return std::any_of(awaited.begin(), awaited.end(), [](int t) { return t != 0; });
    };
    const bool forever = !waiting();
    while (!g_interrupted && (whole || !out.done()) && Clock::now() < until &&
           (forever || waiting())) {
      auto next = links.Next(std::min(until, Clock::now() + std::chrono::milliseconds(100)));
      if (live) live->Tick();
      pageWatch.Check(live.get(), out);
      if (!next) continue;
      const size_t i = next->scanner;
      const LinkEvent& e = next->event;
      out.SetConnection(links.label(i));
      Show(out, e);
      if (live) live->Event(i, e);
      if (e.kind == LinkEvent::kConnect) {
        recordings[i]->Link(e.connected, e.timeUs);
      } else if (awaited[i] != 0 && e.record->nTransID == awaited[i]) {
        replies[i] = e.record;
        awaited[i] = 0;
      }
      if (auto failure = recordings[i]->Failure(); !failure.empty())
        out.Warn("[" + links.label(i) + "] " + failure);
    }
  };
  // Sends to every scanner (send: its transaction, 0 nothing sent) and waits for the replies;
  // throws CliError naming the first scanner that sent none, unless the run was stopped.
  auto everyone = [&](const std::string& what, auto send, ExitCode status,
                      bool whole = false) -> std::optional<CliError> {
    std::vector<int> awaited(n);
    for (size_t i = 0; i < n; ++i) awaited[i] = send(i);
    // Nothing sent (no TD scanner asked its scan mode): nothing to wait for.
    if (std::any_of(awaited.begin(), awaited.end(), [](int t) { return t != 0; }))
      pump(Clock::now() + Timeout(o.connect), awaited, whole);
    else
      std::fill(replies.begin(), replies.end(), nullptr);
    for (size_t i = 0; i < n; ++i)
      if (!replies[i] && (whole || !(g_interrupted || out.done())))
        return CliError(status, (what == "login" ? "login as '" + o.connect.user +
                                                       "' refused: no login reply from "
                                                 : "no reply to " + what + " from ") +
                                    links.label(i));
    return std::nullopt;
  };
  auto sessionOf = [&](size_t i) { return links.session(i); };
  if (auto error = everyone(
          "login",
          [&](size_t i) {
            return scanlink_login(sessionOf(i), o.connect.user.c_str(), o.connect.password.c_str());
          },
          kExitLoginRefused))
    throw *error;
  if (!scan.empty())
    if (auto error = everyone(
            o.scan, [&](size_t i) { return SendOperation(sessionOf(i), scan); }, kExitNoReply))
      throw *error;
  // A TD scanner left in a finger mode by someone else: its records would not read as they are.
  if (scan.empty() && !(g_interrupted || out.done())) {
    (void)everyone(
        "GetScanMode",
        [&](size_t i) {
          return links.State(i).family == 2 ? scanlink_get_scan_mode(sessionOf(i)) : 0;
        },
        kExitNoReply);
    for (size_t i = 0; i < n; ++i) {
      if (!replies[i] || replies[i]->nCode != 0xF00B) continue;
      const int scanner = replies[i]->body.tdScanMode.nFingerTest != 0;
      if (scanner != links.State(i).finger_test)
        out.Warn("[" + links.label(i) + "] the scanner's scan mode has finger test " +
                 (scanner ? "on" : "off") +
                 ": TD cell records will not read as they are (--scan sets the scan mode)");
    }
  }
  if (!o.noStart)
    if (auto error = everyone(
            "StartScanData", [&](size_t i) { return scanlink_start_scan(sessionOf(i)); },
            kExitNoReply))
      throw *error;
  for (size_t i = 0; i < n; ++i)
    recordings[i]->SetHeader("finger-test", std::to_string(links.State(i).finger_test));
  const auto end =
      o.seconds > 0 ? Clock::now() + std::chrono::milliseconds(static_cast<long>(o.seconds * 1000))
                    : Clock::time_point::max();
  pump(end, std::vector<int>(n));
  g_interrupted = false;
  std::optional<CliError> failure;
  for (size_t i = 0; i < n && !failure; ++i)
    if (links.State(i).link_up != 1)
      failure.emplace(kExitUnreachable, "the link to " + links.label(i) + " was down at the end" +
                                            (o.noStart ? "" : ": the scan could not be stopped"));
  if (!failure && !o.noStart)
    failure = everyone(
        "StopScanData", [&](size_t i) { return scanlink_stop_scan(sessionOf(i)); }, kExitNoReply,
        true);
  if (failure && failure->code() == kExitNoReply)
    failure.emplace(kExitNoReply, std::string(failure->what()) + ": the scan may still run");
  pageWatch.Into(failure);
  // Read before the sessions close.
  std::vector<scanlink_counters> counters(n);
  std::vector<int> families(n);
  for (size_t i = 0; i < n; ++i) {
    scanlink_read_counters(links.session(i), &counters[i]);
    families[i] = links.State(i).family;
  }
  links.Close();
  for (auto& r : recordings) r->Detached();
  ReleaseInterrupt();
  if (!out.closed())
    for (size_t i = 0; i < n; ++i) SummarizeScanner(out, links.label(i), counters[i], families[i]);
  for (size_t i = 0; i < n; ++i)
    if (auto error = recordings[i]->Finish(); !error.empty()) throw CliError(kExitFile, error);
  if (auto error = out.Finish(); !error.empty()) throw CliError(kExitFile, error);
  if (failure) throw *failure;
  if (auto empty = out.EmptyExport()) throw CliError(kExitFailure, *empty);
  return kExitOk;
}

// One scanner keeps the first session's path; several get a session each.
int RunMonitor(MonitorOptions o) {
  std::vector<ScannerAddress> at;
  for (const std::string& host : o.hosts) {
    auto a = ParseScannerAddress(host, o.connect.port);
    if (!a) throw CliError(kExitUsage, "'" + host + "' is no IPv4 address");
    at.push_back(*a);
  }
  if (at.size() == 1) {
    o.connect.host = at[0].host;
    o.connect.port = at[0].port;
    return Run(o);
  }
  for (size_t i = 0; i < at.size(); ++i)
    for (size_t k = 0; k < i; ++k)
      if (at[i].Label() == at[k].Label())
        throw CliError(kExitUsage, "--host " + at[i].Label() + " is given twice");
  return RunSeveral(o, at);
}

}  // namespace

Subcommand AddMonitor(CLI::App& parent) {
  auto o = std::make_shared<MonitorOptions>();
  CLI::App* app = parent.add_subcommand(
      "monitor", "Log in, configure, start scanning and print every record until Ctrl-C");
  AddConnectOptions(app, o->connect, &o->hosts);
  AddOutputOptions(app, o->output, true);
  app->add_option("--scan", o->scan,
                  "scan mode to set first, as an operation of 'scanlink send', e.g. "
                  "\"td-cells 10054/1,10055/2 1\" (cells, finger test)");
  app->add_option("--seconds", o->seconds, "stop after this many seconds (default: at Ctrl-C)")
      ->check(CLI::Range(0.0, 1e6));
  app->add_flag("--no-start", o->noStart,
                "only listen: send neither start nor stop (a TD scanner is still asked its scan "
                "mode, for the finger setting)");
  app->add_option("--finger", o->finger,
                  "TD cell records carry finger fields: 1 or 0 (default: as --scan sets it, "
                  "else as the scanner's scan mode says)")
      ->check(CLI::Range(0, 1));
  AddStreamOptions(app, o->output);
  CLI::Option* record = app->add_option(
      "--record", o->record,
      "record every byte exchanged with the scanner, with its time, into this pcapng "
      "file (Wireshark with the dissector, scanlink decode, scanlink-sim --replay); "
      "it carries the station list and settings decoding needs");
  app->add_option("--record-split-size", o->splitMb,
                  "long drives: a new recording file after this many MB (FILE-0001.pcapng, "
                  "FILE-0002.pcapng...)")
      ->check(CLI::Range(0.01, 1e6))
      ->needs(record);
  app->add_option("--record-split-time", o->splitSeconds,
                  "long drives: a new recording file after this many seconds (numbered as with "
                  "--record-split-size)")
      ->check(CLI::Range(1.0, 1e7))
      ->needs(record);
  app->add_option("--serve", o->serve,
                  "serve a live page (map, cells, spectrum, link) on [ADDRESS:]PORT; the "
                  "address is 127.0.0.1 unless given");
  app->add_option("--tiles", o->tiles,
                  "map tiles: a URL template such as http://localhost:8000/{z}/{x}/{y}.png, or a "
                  "folder of Z/X/Y.png files (default: a plain grid with a scale)");
  app->add_option("--battery-every", o->batteryEvery,
                  "with --serve: ask the scanner's battery every so many seconds, for the page "
                  "(default: never)")
      ->check(CLI::Range(0.0, 1e6));
  app->footer(
      "Ends at Ctrl-C, --seconds, --count, or when standard output is closed (e.g. '| head'): "
      "the scan is stopped, the link closed, a summary printed. Status 3 when the link was down "
      "at the end, 6 when the stop got no reply.\n"
      "A code that answers a request with two replies (its data, then its result) shows the "
      "first: the library releases the request with it and drops the second, which the summary "
      "counts as a late reply.");
  return {app, [o] { return RunMonitor(*o); }};
}

}  // namespace scanlink::cli
