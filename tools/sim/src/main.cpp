// scanlink-sim: a stand-in scanner for trying the client library without the device.
#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <optional>
#include <stdexcept>

#include "bs_list.h"
#include "event_log.h"
#include "options.h"
#include "replay.h"
#include "report_generator.h"
#include "route.h"
#include "server.h"

#ifdef SCANLINK_SIM_REPLAY
#include "capture/capture.h"
#endif

namespace {

int g_stop_pipe[2] = {-1, -1};

extern "C" void on_stop_signal(int) {
  int saved = errno;
  char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(g_stop_pipe[1], &byte, 1);
  errno = saved;
}

bool install_signal_handlers() {
  if (::pipe2(g_stop_pipe, O_NONBLOCK | O_CLOEXEC) != 0) return false;
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);  // a vanished peer is reported by send(), not by a signal
  return true;
}

#ifdef SCANLINK_SIM_REPLAY
std::optional<scanlink::sim::Replay> load_replay(const scanlink::sim::Options& o, double speed) {
  using namespace scanlink;
  capture::Recording recording = capture::ReadRecording(o.replay_path);
  std::vector<sim::RecordedPacket> packets;
  packets.reserve(recording.packets.size());
  for (capture::Packet& p : recording.packets) {
    packets.push_back({p.timeUs, p.direction == capture::Direction::kToScanner,
                       p.channel == capture::Channel::kAlarm, std::move(p.bytes)});
  }
  for (const std::string& w : recording.warnings)
    if (!o.quiet) std::fprintf(stderr, "scanlink-sim: %s: %s\n", o.replay_path.c_str(), w.c_str());
  return sim::Replay(packets, {speed, o.replay_loop, static_cast<double>(o.rate)});
}
#else
std::optional<scanlink::sim::Replay> load_replay(const scanlink::sim::Options&, double) {
  throw std::runtime_error("this build cannot replay: it has no capture library");
}
#endif

}  // namespace

int main(int argc, char** argv) {
  using namespace scanlink::sim;
  Options o;
  std::string reply_order = "data-first";

  CLI::App app{"Scanner simulator: answers the scanner protocol on a data port and an alarm port."};
  app.add_option("--bind", o.bind, "IPv4 address to listen on")->capture_default_str();
  app.add_option("--port", o.port, "data port (0 = any free port)")->capture_default_str();
  app.add_option("--alarm-port", o.alarm_port, "alarm port (0 = any free port)")
      ->capture_default_str();
  app.add_option("--log", o.log_path, "JSON-lines event log file, - for stdout");
  app.add_option("--record", o.record_path,
                 "copy every byte sent on the data connection into this file (a capture that "
                 "scanlink decode reads), after header lines declaring the level fields as "
                 "dBm + 150 (not with --replay)");
  app.add_option("--family", o.family,
                 "family value of the login reply (11, 12: WCDMA; 21, 22: TD)")
      ->capture_default_str();
  app.add_flag("--no-alarm", o.no_alarm, "do not listen on the alarm port");
  app.add_flag("--quiet", o.quiet, "print nothing on stderr");
  app.add_flag("--verbose", o.verbose, "also print every report on stderr");
  app.add_flag("--log-payloads", o.log_payloads, "put report payloads (hex) into the sent events");
  app.add_flag("--ignore-stdin", o.ignore_stdin,
               "run until a signal, without reading control lines");
  app.add_option("--rate", o.rate, "report frames per second while scanning (0..1000)")
      ->capture_default_str()
      ->check(CLI::Range(0, 1000));
  app.add_option("--chunk", o.chunk,
                 "write the data connection in pieces of at most N bytes, one TCP segment each")
      ->check(CLI::Range(0, 65536));
  app.add_option("--reply-order", reply_order,
                 "data-first or value-first, for commands with two replies")
      ->capture_default_str()
      ->check(CLI::IsMember({"data-first", "value-first"}));
  app.add_option("--bs-list", o.bs_list_path,
                 "base stations, CSV name,key1,key2,longitude,latitude");
  app.add_option("--route", o.route_path,
                 "route waypoints, CSV longitude,latitude (default: a 10 km drive)");
  app.add_option("--start-lat", o.start_lat, "latitude where the default route starts")
      ->capture_default_str();
  app.add_option("--start-lon", o.start_lon, "longitude where the default route starts")
      ->capture_default_str();
  app.add_option("--speed", o.speed_mps,
                 "cruising speed along the route, m/s; with --replay, times the recorded pace "
                 "(default 1)")
      ->capture_default_str();
  app.add_option("--replay", o.replay_path,
                 "play this recording back (our pcapng, a tcpdump capture or a .scl stream): "
                 "its replies to each command code, its reports and alarm bytes at their pace")
      ->check(CLI::ExistingFile);
  app.add_flag("--loop", o.replay_loop, "with --replay: start over at the end instead of exiting");
  app.add_option("--seed", o.generator.seed,
                 "draws the default drive, traffic and its lights, the masts without a list, "
                 "shadowing and fading: the same seed gives the same drive")
      ->capture_default_str();
  app.add_option("--delay-error", o.generator.delay_error,
                 "quarter chips added to the delay of bad cells")
      ->capture_default_str();
  app.add_option("--bad-cell-every", o.generator.bad_cell_every,
                 "every K-th base station of the list is a bad cell (0 = none)")
      ->capture_default_str();
  app.add_option("--gps-mode", o.generator.gps_mode, "GPS mode field of TD cell reports")
      ->capture_default_str();
  app.add_option("--cells-per-report", o.generator.cells_per_report, "TD cell records per report")
      ->capture_default_str()
      ->check(CLI::Range(0, 38));
  app.add_option("--status-every", o.generator.status_every,
                 "every N-th frame of a scan is a status frame")
      ->capture_default_str();
  app.footer(R"(How it behaves:
  Family: --family 11 or 12 makes a WCDMA scanner, 21 or 22 a TD-SCDMA one (login reply 44).
  Scanning starts with the start command of the family (4 or 0xF004) or the control line
  "start"; reports then go out at --rate per second, chosen by the last scan mode set:
    WCDMA  none/0/6/8: value list 36   1/2/3: cell records 41/257/259   4: sweep 73
           5: short value list 38      7: cell list 40
    TD     none/1/2/7: TD cell report 0xF025 (cells of the list, GPS delays)
           3: sweep 0xF026   4: value list 0xF027   5/8: short profile 0xF102   6: profile 0xF100
  every --status-every-th frame is a status frame (37 or 0xF028).
  Reports follow a route (--route, or a 10 km drive from --start-lat/--start-lon) at up to
  --speed m/s, slower in corners and traffic, stopping at traffic lights. Reports carry the latest
  GPS fix (one a second, as RMC and then GGA). Levels (dBm + 150 in the level fields) come from
  path loss to the base stations of --bs-list (or six masts of its own) with shadowing and
  fading, over a -110 dBm noise floor; sweeps show the 5 MHz WCDMA and 1.6 MHz TD carriers.
  TD cells of --bs-list report the delay of their distance, every --bad-cell-every-th one
  --delay-error quarter chips off.
Replay (--replay FILE [--speed X] [--loop]): a command gets the replies recorded for the same
  code (the n-th request the n-th recorded ones), rewritten to its module and transaction ids;
  a command never recorded gets the usual answer. Reports, status frames and alarm bytes follow
  at the recorded pace times X from the client's start command (4 or 0xF004; from the
  connection when the recording has none). At the end the simulator exits, or starts over.
Standard input takes control lines (one a line, acknowledged in the --log):
  close-data | close-alarm | reset-data | reset-mid-frame | stop-listening MS | refuse-alarm on|off
  stall on|off | answer on|off | restart | send HEX | frame CODE TRANS HEX [MODULE] | alarm HEX
  start [wcdma|td] | stop | rate N | family N | quit
Standard error shows each command decoded and each reply (--verbose: every report too).
Exit status: 0 after quit, end of input, a signal or the end of a replay; 1 when a port or file
  cannot be used.)");
  CLI11_PARSE(app, argc, argv);
  o.reply_order = reply_order == "value-first" ? ReplyOrder::kValueFirst : ReplyOrder::kDataFirst;
  const double replay_speed = app.count("--speed") > 0 ? o.speed_mps : 1.0;
  if (!o.replay_path.empty() && !(replay_speed > 0)) {
    std::fprintf(stderr, "scanlink-sim: --speed must be above 0 with --replay\n");
    return 1;
  }

  try {
    std::vector<BaseStation> stations;
    if (!o.bs_list_path.empty()) stations = load_bs_list(o.bs_list_path);
    Route route = o.route_path.empty()
                      ? Route::drive({o.start_lon, o.start_lat}, o.speed_mps, o.generator.seed)
                      : Route(load_route(o.route_path), o.speed_mps, o.generator.seed);
    EventLog log(o.log_path, !o.quiet);
    if (!install_signal_handlers()) {
      std::fprintf(stderr, "scanlink-sim: cannot set up signal handling\n");
      return 1;
    }
    std::optional<Replay> replay;
    if (!o.replay_path.empty()) replay = load_replay(o, replay_speed);
    ReportGenerator generator(o.generator, std::move(stations), std::move(route));
    Server server(o, log, std::move(generator), std::move(replay));
    return server.run(g_stop_pipe[0]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "scanlink-sim: %s\n", e.what());
    return 1;
  }
}
