// scanlink monitor: logs in, configures, starts, and prints what the scanner measures until
// Ctrl-C (or --seconds), then stops the scan and closes cleanly.
#include <atomic>
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
#include "status_line.h"
#include "subcommands.h"
#include "timestamp.h"

namespace scanlink::cli {
namespace {

using Clock = std::chrono::steady_clock;

struct MonitorOptions {
  ConnectOptions connect;
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

// Installs the wire tap for as long as it lives; the link it taps must be closed first.
class WireRecording {
 public:
  WireRecording(const MonitorOptions& o, const OutputOptions& output) {
    if (o.record.empty()) return;
    std::map<std::string, std::string> header{{"scanner", o.connect.host},
                                              {"port", std::to_string(o.connect.port)}};
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
      recorder_ = std::make_unique<capture::Recorder>(o.record, header, split);
    } catch (const std::exception& e) {
      throw CliError(kExitFile, e.what());
    }
    context_ = {recorder_.get(), o.connect.host + ":" + std::to_string(o.connect.port)};
    ScanlinkSetWireTapEx(OnWire, &context_, SCANLINK_TAP_CONNECTIONS);
  }
  ~WireRecording() {
    if (recorder_) ScanlinkSetWireTap(nullptr, nullptr);
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
    ScanlinkSetWireTap(nullptr, nullptr);
    recorder_->Close();
    return recorder_->Ok() ? std::string() : "the recording is incomplete: " + recorder_->Error();
  }

 private:
  std::unique_ptr<capture::Recorder> recorder_;
  WireContext context_{};
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

void Summarize(RecordOutput& out, const ScanlinkCounters& before) {
  ScanlinkCounters c;
  ScanlinkReadCounters(&c);
  const Tally& t = out.tally();
  int reports = 0;
  for (const auto& [code, n] : t.reports) reports += n;
  const uint64_t frames = c.framesReceived - before.framesReceived;
  const uint64_t skipped = c.bytesSkipped - before.bytesSkipped;
  const uint64_t dropped = c.droppedTransaction - before.droppedTransaction;
  const uint64_t rejected = c.droppedSync - before.droppedSync + c.droppedLength -
                            before.droppedLength + c.framesOversized - before.framesOversized;
  const uint64_t losses = c.linkLosses - before.linkLosses;
  const uint64_t reconnections = c.reconnections - before.reconnections;
  std::string text =
      "# summary: " + Counted(t.shown, "record", "records") + " shown, " +
      Counted(reports, "report", "reports") + ", " + Counted(t.replies, "reply", "replies") + ", " +
      Counted(frames, "frame", "frames") + " received, " + Counted(rejected, "frame", "frames") +
      " rejected, " + Counted(skipped, "byte", "bytes") + " skipped, " +
      Counted(dropped, "late reply", "late replies") + " dropped, " +
      Counted(losses, "link loss", "link losses") + ", " +
      Counted(reconnections, "reconnection", "reconnections");
  nlohmann::ordered_json fields{{"shown", t.shown},
                                {"reports", reports},
                                {"replies", t.replies},
                                {"framesReceived", frames},
                                {"framesRejected", rejected},
                                {"bytesSkipped", skipped},
                                {"lateRepliesDropped", dropped},
                                {"linkLosses", losses},
                                {"reconnections", reconnections}};
  // Only TD scanners report cells the check can judge, and only against a list.
  const OutputOptions& o = out.options();
  if (o.stationsLoaded && LoadShared(TDorWCDMAConfig) == 2) {
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

}  // namespace

Subcommand AddMonitor(CLI::App& parent) {
  auto o = std::make_shared<MonitorOptions>();
  CLI::App* app = parent.add_subcommand(
      "monitor", "Log in, configure, start scanning and print every record until Ctrl-C");
  AddConnectOptions(app, o->connect);
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
  return {app, [o] { return Run(*o); }};
}

}  // namespace scanlink::cli
