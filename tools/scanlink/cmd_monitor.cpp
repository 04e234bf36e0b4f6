// scanlink monitor: logs in, configures, starts, and prints what the scanner measures until
// Ctrl-C (or --seconds), then stops the scan and closes cleanly.
#include <atomic>
#include <sstream>

#include "common_options.h"
#include "console.h"
#include "exit_codes.h"
#include "operations.h"
#include "status_line.h"
#include "subcommands.h"

namespace scanlink::cli {
namespace {

using Clock = std::chrono::steady_clock;

struct MonitorOptions {
  ConnectOptions connect;
  OutputFlags output;
  std::string scan;
  double seconds = 0;
  bool noStart = false;
};

std::atomic<bool> g_interrupted{false};
void OnInterrupt() { g_interrupted = true; }

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

int Run(const MonitorOptions& o) {
  OutputOptions output = MakeOutput(o.output);
  const auto scan = Words(o.scan);
  if (!scan.empty()) CheckOperation(scan);  // a typo fails before connecting
  RecordOutput out(std::move(output));
  LinkClient link;
  ApplyStations(link, o.output, out.options());
  ConnectAndLogin(link, o.connect, out);

  CatchInterrupt(OnInterrupt);
  StatusLine status;
  bool up = true;
  auto pump = [&](Clock::time_point until, int trans) {
    while (!g_interrupted && Clock::now() < until) {
      // Short waits, so Ctrl-C and the status line are served.
      auto e = link.Next(std::min(until, Clock::now() + std::chrono::milliseconds(200)));
      if (!e) {
        status.Draw(up, out.tally());
        continue;
      }
      status.Clear();
      Show(out, *e);
      if (e->kind == LinkEvent::kConnect) up = e->connected;
      status.Draw(up, out.tally());
      if (trans != 0 && e->kind == LinkEvent::kRecord && e->record->nTransID == trans) return true;
    }
    return false;
  };
  const auto replyWait = Timeout(o.connect);
  if (!scan.empty() && !pump(Clock::now() + replyWait, SendOperation(link.client(), scan)))
    if (!g_interrupted) throw CliError(kExitNoReply, "no reply to " + o.scan);
  if (!o.noStart && !g_interrupted &&
      !pump(Clock::now() + replyWait, link.client().StartScanData()) && !g_interrupted)
    throw CliError(kExitNoReply, "no reply to StartScanData");
  const auto end =
      o.seconds > 0 ? Clock::now() + std::chrono::milliseconds(static_cast<long>(o.seconds * 1000))
                    : Clock::time_point::max();
  pump(end, 0);
  status.Clear();
  g_interrupted = false;
  if (!o.noStart && gInitFinishFlag == 1)
    pump(Clock::now() + replyWait, link.client().StopScanData());
  status.Clear();
  link.Close();
  ReleaseInterrupt();
  if (auto error = out.Finish(); !error.empty()) throw CliError(kExitFile, error);
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
  app->add_flag("--no-start", o->noStart, "only listen: send neither start nor stop");
  return {app, [o] { return Run(*o); }};
}

}  // namespace scanlink::cli
