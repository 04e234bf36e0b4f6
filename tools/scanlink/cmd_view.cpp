// scanlink view FILE --serve: the live page over a recording, played in the browser; and the
// live page of `monitor --serve`.
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <set>
#include <thread>

#include "capture/capture.h"
#include "common_options.h"
#include "console.h"
#include "exit_codes.h"
#include "live_page.h"
#include "recording_feed.h"
#include "subcommands.h"
#include "timestamp.h"

namespace scanlink::cli {

LivePage::LivePage(const std::string& serve, const std::string& tiles, const OutputOptions& output)
    : view_(output.stations, output.stationsLoaded, output.levels, "live"),
      server_(LiveServerOptions{ParseServeAddress(serve), "live", tiles, {}}) {
  ScanlinkReadCounters(&start_);
}

LivePage::~LivePage() = default;

void LivePage::Event(const LinkEvent& e) {
  if (e.kind == LinkEvent::kConnect)
    view_.Link(e.connected, e.timeUs);
  else
    view_.Record(*e.record, e.timeUs);
}

void LivePage::AskBattery(CMyPcCommSocketClient* client, double seconds) {
  batteryClient_ = client;
  batteryEveryUs_ = static_cast<int64_t>(seconds * 1e6);
}

void LivePage::Tick() {
  const int64_t now = NowUs();
  if (now - lastUs_ < LiveView::kBatchUs) return;
  lastUs_ = now;
  if (batteryClient_ && batteryEveryUs_ > 0 && now - batteryUs_ >= batteryEveryUs_ &&
      std::atomic_ref<int>(gInitFinishFlag).load() == 1) {
    batteryUs_ = now;
    batteryClient_->QueryBattery();
  }
  ScanlinkCounters c;
  ScanlinkReadCounters(&c);
  view_.SetCounters({c.framesReceived - start_.framesReceived,
                     c.droppedSync - start_.droppedSync + c.droppedLength - start_.droppedLength +
                         c.framesOversized - start_.framesOversized,
                     c.bytesSkipped - start_.bytesSkipped, c.linkLosses - start_.linkLosses,
                     c.reconnections - start_.reconnections});
  const auto batch = view_.Batch(now);
  if (!batch && !server_.Waiting()) return;
  constexpr auto kReplace = nlohmann::json::error_handler_t::replace;
  server_.Publish(batch ? batch->dump(-1, ' ', false, kReplace) : std::string(),
                  [&] { return view_.Snapshot(now).dump(-1, ' ', false, kReplace); });
}

namespace {

struct ViewOptions {
  std::string file, serve = "8080", tiles;
  std::string host;  // packet captures: the scanner at this address
  int port = 0;      // and this port
  OutputFlags output;
  int finger = -1;
  double seconds = 0;
};

std::atomic<bool> g_stop{false};
void OnStop() { g_stop = true; }

// Hands the recording to the view, batched by the recording's own clock.
class ViewSink : public RecordingSink {
 public:
  ViewSink(LiveView& view, nlohmann::json& frames) : view_(view), frames_(frames) {}
  void Frame(const CCmdManage& record, int64_t packetUs) override {
    if (record.nCode == 0xFFEE) return;
    // A stream without times (an old .scl file) plays at ten frames a second.
    if (packetUs < 0) {
      timeUs += LiveView::kBatchUs;
      view_.Record(record, timeUs);
      Flush(timeUs, false);
    } else {
      timeUs = packetUs;
      view_.Record(record, timeUs);
    }
  }
  void Link(bool up, int64_t atUs) override {
    // Noted when the tool heard of it, which may be after bytes stamped later.
    timeUs = std::max(timeUs, atUs);
    ++(up ? counters_.reconnections : counters_.losses);
    view_.Link(up, timeUs);
    // A loss shows in a batch of its own, stamped when it happened.
    if (!up) Flush(timeUs, true);
  }
  void Note(const std::string&) override {}
  void PacketDone(int64_t packetUs) override {
    if (packetUs >= 0) Flush(packetUs, false);
  }
  // A batch for every 100 ms of the recording that saw something.
  void Flush(int64_t untilUs, bool force) {
    // The page plays batches in order of their time.
    untilUs = std::max(untilUs, lastUs);
    if (firstUs < 0) firstUs = untilUs;
    if (!force && untilUs - lastUs < LiveView::kBatchUs) return;
    lastUs = untilUs;
    counters_.frames = stats.frames;
    counters_.rejected = stats.oversized;
    counters_.skipped = stats.skipped;
    view_.SetCounters(counters_);
    if (auto batch = view_.Batch(untilUs)) {
      (*batch)["at"] = (untilUs - firstUs) / 1000;
      frames_.push_back(std::move(*batch));
    }
  }

  int64_t timeUs = -1, firstUs = -1, lastUs = -1;

 private:
  LiveView& view_;
  nlohmann::json& frames_;
  LiveCounters counters_;
};

int RunView(const ViewOptions& o) {
  RecordingInput in = OpenRecording(o.file, o.output, capture::Selection{o.host, o.port});
  // One page is one scanner: two drives mixed would be one route jumping between them.
  std::set<std::string> scanners;
  for (const capture::Connection& c : in.capture.connections)
    if (c.channel == capture::Channel::kData) scanners.insert(c.scanner);
  if (scanners.size() > 1) {
    std::string names;
    for (const std::string& s : scanners) names += (names.empty() ? "" : ", ") + s;
    throw CliError(kExitUsage, o.file + " holds " + std::to_string(scanners.size()) +
                                   " scanners (" + names + "): choose one with --host and --port");
  }
  ServeAddress at = ParseServeAddress(o.serve);
  if (!in.missingList.empty())
    std::fprintf(stderr,
                 "scanlink: warning: the station list %s named by the recording is not there: no "
                 "GPS check\n",
                 in.missingList.c_str());

  // The decoder reads the finger setting and the GPS check's list from the library's state.
  LinkClient link;
  ApplyStations(link, in.flags, in.output);
  FingerTestFlag = o.finger >= 0 ? o.finger : in.Header("finger-test") == "1";
  LiveView view(in.output.stations, in.output.stationsLoaded, in.output.levels, "recording");
  nlohmann::json frames = nlohmann::json::array();
  ViewSink sink(view, frames);
  FeedRecording(in.capture, o.finger, size_t{1} << 20, sink);
  sink.Flush(sink.timeUs, true);
  constexpr auto kReplace = nlohmann::json::error_handler_t::replace;
  nlohmann::json all{{"snapshot", view.Snapshot(sink.firstUs)}, {"frames", std::move(frames)}};
  // The snapshot's route is the whole drive; the page builds its own from the frames.
  all["snapshot"]["route"] = nlohmann::json::array();
  LiveServer server(
      LiveServerOptions{at, "recording", o.tiles, all.dump(-1, ' ', false, kReplace)});
  std::printf("# %s: %zu frames; live view at %s (Ctrl-C ends)\n", o.file.c_str(),
              sink.stats.frames, server.Url().c_str());
  std::fflush(stdout);
  CatchInterrupt(OnStop);
  const auto end = o.seconds > 0
                       ? std::chrono::steady_clock::now() +
                             std::chrono::milliseconds(static_cast<long>(o.seconds * 1000))
                       : std::chrono::steady_clock::time_point::max();
  std::string failed;
  while (!g_stop && std::chrono::steady_clock::now() < end && (failed = server.Failed()).empty())
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ReleaseInterrupt();
  // Serving is all this does: a server that gave up ends it.
  if (!failed.empty())
    throw CliError(kExitFailure, "the live page's server stopped (" + failed + ")");
  return kExitOk;
}

}  // namespace

Subcommand AddView(CLI::App& parent) {
  auto o = std::make_shared<ViewOptions>();
  CLI::App* app = parent.add_subcommand(
      "view", "Serve the live page over a recording: map, cells, spectrum, played in a browser");
  app->add_option("file", o->file, "a recording (monitor --record) or a tcpdump capture")
      ->required();
  app->add_option("--serve", o->serve, "[ADDRESS:]PORT to serve on (default 127.0.0.1:8080)")
      ->capture_default_str();
  app->add_option("--tiles", o->tiles,
                  "map tiles: a URL template such as http://localhost:8000/{z}/{x}/{y}.png, or a "
                  "folder of Z/X/Y.png files (default: a plain grid with a scale)");
  app->add_option("--bs-list", o->output.bsList,
                  "base stations (CSV name,key1,key2,longitude,latitude) for the GPS check");
  app->add_option("--gps-limit", o->output.gpsLimit, GpsLimitHelp())->check(CLI::Range(0, 1 << 20));
  AddLevelOptions(app, o->output);
  app->add_option("--finger", o->finger,
                  "TD cell records carry finger fields: 1 or 0 (default: the file's finger-test "
                  "header, else 0)")
      ->check(CLI::Range(0, 1));
  app->add_option("--host", o->host,
                  "a packet capture of several scanners: the scanner at this IPv4 address");
  app->add_option("--port", o->port, "a packet capture: the scanner at this port")
      ->check(CLI::Range(1, 65535));
  app->add_option("--seconds", o->seconds, "stop serving after this many seconds (default: Ctrl-C)")
      ->check(CLI::Range(0.0, 1e6));
  return {app, [o] { return RunView(*o); }};
}

}  // namespace scanlink::cli
