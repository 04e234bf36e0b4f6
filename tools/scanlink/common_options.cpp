#include "common_options.h"

#include "exit_codes.h"

namespace scanlink::cli {

void AddConnectOptions(CLI::App* app, ConnectOptions& o) {
  app->add_option("--host", o.host, "scanner address, dotted decimal")->required();
  app->add_option("--port", o.port, "data port")
      ->capture_default_str()
      ->check(CLI::Range(1, 65535));
  app->add_option("--user", o.user, "login name (at most 15 characters)")->capture_default_str();
  app->add_option("--password", o.password, "login password (at most 15 characters)");
  app->add_flag("--no-login", o.noLogin, "do not log in first");
  app->add_option("--timeout", o.timeout, "seconds to wait for a reply")
      ->capture_default_str()
      ->check(CLI::Range(0.1, 600.0));
}

void AddOutputOptions(CLI::App* app, OutputFlags& o, bool withStations) {
  app->add_flag("--json", o.json, "JSON Lines: one object per record, every field named");
  app->add_option("--plot", o.plot, "draw the sweep reports into this SVG file");
  app->add_option("--map", o.map,
                  "draw the route, GPS check verdicts and stations into this SVG file");
  if (withStations) {
    app->add_option("--bs-list", o.bsList,
                    "base stations (CSV name,key1,key2,longitude,latitude) for the GPS check");
    app->add_option("--gps-limit", o.gpsLimit,
                    "delay tolerance of the GPS check (SetGpsMismatchLimit)")
        ->check(CLI::Range(0, 1 << 20));
  }
}

OutputOptions MakeOutput(const OutputFlags& flags) {
  OutputOptions out;
  out.json = flags.json;
  out.plotPath = flags.plot;
  out.mapPath = flags.map;
  if (!flags.bsList.empty()) {
    try {
      out.stations = LoadStations(flags.bsList);
    } catch (const std::exception& e) {
      throw CliError(kExitFile, e.what());
    }
    out.stationsLoaded = true;
  }
  return out;
}

void ApplyStations(LinkClient& link, const OutputFlags& flags, const OutputOptions& output) {
  if (output.stationsLoaded) {
    auto list = ToCellInfo(output.stations);
    link.client().SetBSList(list.data(), static_cast<int>(list.size()));
  }
  if (flags.gpsLimit >= 0) link.client().SetGpsMismatchLimit(flags.gpsLimit);
}

std::chrono::milliseconds Timeout(const ConnectOptions& o) {
  return std::chrono::milliseconds(static_cast<long>(o.timeout * 1000));
}

void ConnectAndLogin(LinkClient& link, const ConnectOptions& o, RecordOutput& out) {
  if (auto error = link.Connect(o.host, o.port); !error.empty())
    throw CliError(kExitUnreachable, error);
  if (o.noLogin) return;
  std::vector<LinkEvent> seen;
  const auto family = link.Login(o.user, o.password, Timeout(o), &seen);
  for (const LinkEvent& e : seen) Show(out, e);
  if (!family)
    throw CliError(kExitLoginRefused,
                   "login as '" + o.user + "' refused: no login reply from " + o.host);
}

void Show(RecordOutput& out, const LinkEvent& e) {
  if (e.kind == LinkEvent::kConnect)
    out.Link(e.connected);
  else
    out.Record(*e.record);
}

}  // namespace scanlink::cli
