// scanlink demo: the library's main job against the simulator, narrated, ending by itself.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "common_options.h"
#include "console.h"
#include "exit_codes.h"
#include "gps_text.h"
#include "record_text.h"
#include "sim_process.h"
#include "subcommands.h"

namespace scanlink::cli {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct DemoOptions {
  std::string sim;
  OutputFlags output;
  double scanSeconds = 3;
  int rate = 4;
  bool keep = false;
};

constexpr int kDataPort = 5000, kAlarmPort = 8050;
constexpr int kFamily = 21;      // a TD-SCDMA scanner
constexpr int kDelayError = 40;  // quarter chips off for the simulator's bad cells
constexpr int kGpsLimit = 5;     // tolerance given to the library (x4 quarter chips)
constexpr double kStartLat = 39.9, kStartLon = 116.4;

// Six stations around the route's start; the simulator makes every third one report a delay
// that disagrees with its distance.
std::vector<Station> DemoStations() {
  return {{"North", 10054, 1, kStartLon + 0.004, kStartLat + 0.012},
          {"East", 10055, 2, kStartLon + 0.018, kStartLat + 0.003},
          {"Tower-3", 10071, 3, kStartLon + 0.010, kStartLat - 0.008},
          {"West", 10080, 4, kStartLon - 0.009, kStartLat + 0.004},
          {"South", 10093, 5, kStartLon + 0.006, kStartLat - 0.015},
          {"Tower-6", 10102, 6, kStartLon + 0.024, kStartLat + 0.011}};
}

bool Broadcast(const LinkEvent& e, uint16_t code) {
  return e.kind == LinkEvent::kRecord && e.record->nCode == code;
}

class Demo {
 public:
  Demo(const DemoOptions& o, OutputOptions output)
      : o_(o), colour_(IsTerminal(stdout) && !output.json), out_(std::move(output)) {}
  ~Demo() {
    if (!o_.keep && !dir_.empty()) {
      std::error_code ec;
      fs::remove_all(dir_, ec);
    }
  }

  int Run();

 private:
  void Step(const std::string& title) {
    out_.Note(colour_ ? "\n\033[1m== " + title + "\033[0m" : "\n== " + title);
  }
  void Say(const std::string& line) { out_.Note("   " + line); }
  // Prints every event until the deadline or until one satisfies done; whether one did.
  bool Pump(Clock::time_point deadline, const std::function<bool(const LinkEvent&)>& done = {});
  // Prints events until the reply of trans; throws when none comes.
  void Await(int trans, const char* what);
  void StartSimulator(const std::string& program);
  void Summary(Clock::time_point started);

  const DemoOptions& o_;
  bool colour_;
  RecordOutput out_;
  std::unique_ptr<LinkClient> link_;
  SimProcess sim_;
  fs::path dir_;
  std::string address_;
};

bool Demo::Pump(Clock::time_point deadline, const std::function<bool(const LinkEvent&)>& done) {
  while (auto e = link_->Next(deadline)) {
    Show(out_, *e);
    if (done && done(*e)) return true;
  }
  return false;
}

void Demo::Await(int trans, const char* what) {
  if (trans == 0) throw CliError(kExitFailure, std::string("the library sent no ") + what);
  const bool got = Pump(Clock::now() + milliseconds(3000), [&](const LinkEvent& e) {
    return e.kind == LinkEvent::kRecord && e.record->nTransID == trans;
  });
  if (!got) throw CliError(kExitNoReply, std::string("no reply to ") + what);
}

void Demo::StartSimulator(const std::string& program) {
  address_ = PickLoopbackAddress(kDataPort, kAlarmPort);
  dir_ = MakeTempFolder("scanlink-demo");
  if (o_.keep) Say("simulator files in " + dir_.string());
  WriteStations((dir_ / "stations.csv").string(), out_.options().stations);
  const fs::path log = dir_ / "sim.jsonl";
  sim_.Start(program,
             {"--bind",
              address_,
              "--port",
              std::to_string(kDataPort),
              "--alarm-port",
              std::to_string(kAlarmPort),
              "--family",
              std::to_string(kFamily),
              "--rate",
              std::to_string(o_.rate),
              "--bs-list",
              (dir_ / "stations.csv").string(),
              "--bad-cell-every",
              "3",
              "--delay-error",
              std::to_string(kDelayError),
              "--start-lat",
              std::to_string(kStartLat),
              "--start-lon",
              std::to_string(kStartLon),
              "--log",
              log.string()},
             (dir_ / "sim.log").string());
  // Ready once it says it listens; bounded, in case it fails to start.
  for (const auto deadline = Clock::now() + milliseconds(5000); Clock::now() < deadline;) {
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    if (text.str().find("\"listening\"") != std::string::npos) return;
    std::this_thread::sleep_for(milliseconds(20));
  }
  std::ifstream in(dir_ / "sim.log");
  std::string first;
  std::getline(in, first);
  throw CliError(kExitSimulator,
                 "the simulator did not start" + (first.empty() ? std::string() : ": " + first));
}

int Demo::Run() {
  const auto started = Clock::now();
  // Before any narration: where there is no simulator to start, the one error line is all.
  const std::string program = FindSimulator(o_.sim);
  Step("Starting the scanner simulator");
  StartSimulator(program);
  Say("scanlink-sim listens on " + address_ + ":" + std::to_string(kDataPort) + " (alarm port " +
      std::to_string(kAlarmPort) + "), a TD-SCDMA scanner walking a route near " +
      FormatPosition({kStartLat, kStartLon}));

  Step("Bringing the link up and logging in");
  link_ = std::make_unique<LinkClient>();
  if (auto error = link_->Connect(address_, kDataPort); !error.empty())
    throw CliError(kExitUnreachable, error);
  Say("ClientInitPcComm: link up (probe, data connection, alarm connection)");
  std::vector<LinkEvent> seen;
  const auto family = link_->Login("admin", "admin", milliseconds(3000), &seen);
  for (const LinkEvent& e : seen) Show(out_, e);
  if (!family) throw CliError(kExitLoginRefused, "the simulator did not answer the login");
  Say("the scanner reports family value " + std::to_string(*family) + ": a " + FamilyText(*family) +
      " scanner (TDorWCDMAConfig " + std::to_string(TDorWCDMAConfig) + ", nScannerType " +
      std::to_string(nScannerType) + ")");

  Step("Configuring a TD cell-list scan with finger test and the GPS check");
  const auto& stations = out_.options().stations;
  auto list = ToCellInfo(stations);
  link_->client().SetBSList(list.data(), static_cast<int>(list.size()));
  link_->client().SetGpsMismatchLimit(kGpsLimit);
  Say("SetBSList: " + std::to_string(stations.size()) + " base stations; SetGpsMismatchLimit: " +
      std::to_string(kGpsLimit) + " chips (" + std::to_string(kGpsLimit * 4) + " quarter chips)");
  // The listed stations plus two cells the list does not know.
  std::vector<unsigned> keys, params;
  for (const Station& s : stations) keys.push_back(s.key1), params.push_back(s.key2);
  keys.insert(keys.end(), {20001, 20002});
  params.insert(params.end(), {7, 9});
  Await(link_->client().SetTDCellListScanMode(0, keys.data(), params.data(),
                                              static_cast<unsigned>(keys.size()), 0, true, 0),
        "SetTDCellListScanMode");

  Step("Scanning: each report with its position and the verdict per cell");
  Await(link_->client().StartScanData(), "StartScanData");
  const auto scan = milliseconds(static_cast<long>(o_.scanSeconds * 1000));
  Pump(Clock::now() + scan);

  Step("Asking for the version and the battery while scanning");
  Await(link_->client().GetScanerVersion(), "GetScanerVersion");
  Await(link_->client().QueryBattery(), "QueryBattery");

  Step("Breaking the link on purpose (the simulator resets the data connection)");
  sim_.Control("reset-data");
  bool lost = false;
  const bool back = Pump(Clock::now() + milliseconds(10000), [&](const LinkEvent& e) {
    if (e.kind == LinkEvent::kConnect && !e.connected) lost = true;
    return lost && e.kind == LinkEvent::kConnect && e.connected;
  });
  if (!back) throw CliError(kExitUnreachable, "the link did not come back");
  // The restored notice follows ConnectMsg(true); show it before going on.
  Pump(Clock::now() + milliseconds(1000), [](const LinkEvent& e) {
    return Broadcast(e, SCANLINK_CODE_LINK_STATUS) &&
           e.record->body.linkStatus.nStatusByte1 == SCANLINK_LINK_RESTORED;
  });
  Say("the library rebuilt the link by itself; the scan goes on");
  Pump(Clock::now() + scan / 2);

  Step("Stopping and closing");
  Await(link_->client().StopScanData(), "StopScanData");
  link_->Close();
  Say("ExitConnection: link closed");
  sim_.Stop(milliseconds(2000));
  Summary(started);
  if (auto error = out_.Finish(); !error.empty()) throw CliError(kExitFile, error);
  return kExitOk;
}

void Demo::Summary(Clock::time_point started) {
  Step("Summary");
  const Tally& t = out_.tally();
  int reports = 0;
  for (const auto& [code, n] : t.reports) reports += n;
  ScanlinkCounters c;
  ScanlinkReadCounters(&c);
  Say(std::to_string(reports) + " reports, " + std::to_string(t.replies) + " replies, " +
      std::to_string(c.framesReceived) + " frames received, " +
      std::to_string(c.droppedSync + c.droppedLength) + " rejected");
  Say("GPS check (tolerance " + std::to_string(kGpsLimit) + " chips): " + std::to_string(t.found) +
      " cells found, " + std::to_string(t.mismatched) +
      " with a delay that disagrees with the distance, " + std::to_string(t.notListed) +
      " not in the list");
  Say("link: " + std::to_string(c.linkLosses) + " loss, " + std::to_string(c.reconnections) +
      " reconnection, ConnectMsg false " + std::to_string(t.connectFalse) + "x / true " +
      std::to_string(t.connectTrue) + "x");
  if (t.lastPosition) Say("last position " + FormatPosition(*t.lastPosition));
  char took[64];
  std::snprintf(took, sizeof took, "done in %.1f s",
                std::chrono::duration<double>(Clock::now() - started).count());
  Say(took);
}

}  // namespace

Subcommand AddDemo(CLI::App& parent) {
  auto o = std::make_shared<DemoOptions>();
  CLI::App* app = parent.add_subcommand(
      "demo",
      "Try the library on the simulator: login, a scan with the GPS check, queries, a broken "
      "and rebuilt link");
  app->footer(
      "Starts scanlink-sim on a free address in 127.0.0.0/8 (the alarm port 8050 is fixed), "
      "logs in, loads a base-station list and a tolerance, runs a TD cell-list scan with finger "
      "test, prints each report with the verdict per cell, asks for version and battery, breaks "
      "the link through the simulator's control input, shows the library rebuilding it, then "
      "stops, closes and sums up.");
  app->add_option("--sim", o->sim, "the simulator program (default: next to scanlink, or on PATH)");
  app->add_flag("--json", o->output.json, "records as JSON Lines on stdout, narration on stderr");
  app->add_option("--seconds", o->scanSeconds, "seconds of scanning before the link is broken")
      ->capture_default_str()
      ->check(CLI::Range(0.5, 30.0));
  app->add_option("--rate", o->rate, "reports per second")
      ->capture_default_str()
      ->check(CLI::Range(1, 100));
  app->add_flag("--keep", o->keep, "keep the temporary folder with the simulator's logs");
  return {app, [o] {
            OutputOptions output = MakeOutput(o->output);
            output.stations = DemoStations();
            output.stationsLoaded = true;
            // The simulator's level fields hold dBm + 150.
            output.levels = {-150, "dBm"};
            Demo demo(*o, std::move(output));
            return demo.Run();
          }};
}

}  // namespace scanlink::cli
