#include "common_options.h"

#include <cstdint>

#include "exit_codes.h"
#include "operations.h"
#include "scanner_links.h"

namespace scanlink::cli {

CLI::Validator MaxLength(size_t length) {
  return CLI::Validator(
      [length](std::string& text) {
        return text.size() <= length
                   ? std::string()
                   : "longer than " + std::to_string(length) + " bytes (the field's size)";
      },
      "TEXT", "at most " + std::to_string(length) + " bytes");
}

void AddConnectOptions(CLI::App* app, ConnectOptions& o, std::vector<std::string>* hosts) {
  if (hosts) {
    app->add_option("--host", *hosts,
                    "scanner address, dotted decimal, with :PORT when it differs from --port; "
                    "repeat it for several scanners side by side")
        ->required()
        ->check(CLI::Validator(
            [](std::string& text) {
              return ParseScannerAddress(text, 1) ? std::string()
                                                  : "'" + text +
                                                        "' is no IPv4 address (A.B.C.D, each "
                                                        "0-255, optionally :PORT)";
            },
            "A.B.C.D[:PORT]", ""));
  } else {
    app->add_option("--host", o.host, "scanner address, dotted decimal")
        ->required()
        ->check(CLI::Validator(
            [](std::string& text) {
              return IsDottedQuad(text) ? std::string()
                                        : "'" + text + "' is no IPv4 address (A.B.C.D, each 0-255)";
            },
            "A.B.C.D", ""));
  }
  app->add_option("--port", o.port, "data port")
      ->capture_default_str()
      ->check(CLI::Range(1, 65535));
  app->add_option("--user", o.user, "login name (at most 15 bytes)")
      ->capture_default_str()
      ->check(MaxLength(15));
  app->add_option("--password", o.password, "login password (at most 15 bytes)")
      ->check(MaxLength(15));
  auto* noLogin = app->add_flag("--no-login", o.noLogin, "do not log in first");
  // Without a login reply the library cannot know the family; it would send WCDMA codes.
  app->add_option("--family", o.family,
                  "with --no-login: the scanner's family, whose codes are sent (default wcdma)")
      ->check(CLI::IsMember({"td", "wcdma"}))
      ->needs(noLogin);
  app->add_option("--timeout", o.timeout, "seconds to wait for a reply")
      ->capture_default_str()
      ->check(CLI::Range(0.1, 600.0));
}

void AddOutputOptions(CLI::App* app, OutputFlags& o, bool withStations) {
  app->add_flag("--json", o.json, "JSON Lines: one object per record, every field named");
  if (withStations) {
    app->add_option("--bs-list", o.bsList,
                    "base stations (CSV name,key1,key2,longitude,latitude) for the GPS check");
    app->add_option("--gps-limit", o.gpsLimit, GpsLimitHelp())->check(CLI::Range(0, 1 << 20));
  }
  AddLevelOptions(app, o);
}

std::string GpsLimitHelp() {
  return "delay tolerance of the GPS check in chips (the library stores quarter chips, 4 per "
         "chip; 1 chip is 234 m); with --bs-list the default is " +
         std::to_string(kDefaultGpsLimitChips) +
         " chips. A cell whose delay differs from its distance by this much or more is marked";
}

int GpsLimit(const OutputFlags& flags) {
  if (flags.gpsLimit >= 0) return flags.gpsLimit;
  return flags.bsList.empty() ? -1 : kDefaultGpsLimitChips;
}

void AddLevelOptions(CLI::App* app, OutputFlags& o) {
  auto* unit = app->add_option(
      "--level-unit", o.levelUnit,
      "what the level fields are in once --level-offset is added, e.g. dBm; 'raw' shows them as "
      "they are (the default when the recording declares nothing)");
  app->add_option("--level-offset", o.levelOffset,
                  "added to a level field to give --level-unit, e.g. -150 for fields holding "
                  "dBm + 150")
      ->check(CLI::Range(-1e6, 1e6))
      ->needs(unit);
}

void AddStreamOptions(CLI::App* app, OutputFlags& o) {
  app->add_option("--count", o.count, "stop after this many records shown")
      ->check(CLI::Range(int64_t{1}, int64_t{1} << 40));
  app->add_option("--only", o.only,
                  "show only records of these kinds (reply, report, link, connect), codes "
                  "(61477, 0xF025) or code names (TDCellReport); repeatable")
      ->take_all();
  app->add_flag("--quiet", o.quiet, "show no records (summaries and exports still)");
  app->add_option("--export", o.exportSpec,
                  std::string("FORMAT:FILE, FORMAT one of ") + ExportFormatsText() +
                      ": one row or feature per report with its position, time, levels, delays "
                      "and verdicts (csv-long: one row per cell per report)");
}

OutputOptions MakeOutput(const OutputFlags& flags) {
  OutputOptions out;
  out.json = flags.json;
  out.quiet = flags.quiet;
  out.count = flags.count;
  CheckOnly(flags.only);
  out.only = flags.only;
  if (!flags.exportSpec.empty()) {
    const size_t colon = flags.exportSpec.find(':');
    out.exportFormat = flags.exportSpec.substr(0, colon);
    if (colon == std::string::npos || colon + 1 == flags.exportSpec.size() ||
        !IsExportFormat(out.exportFormat))
      throw CliError(kExitUsage, "--export '" + flags.exportSpec +
                                     "': FORMAT:FILE expected, FORMAT one of " +
                                     ExportFormatsText());
    out.exportPath = flags.exportSpec.substr(colon + 1);
  }
  if (!flags.bsList.empty()) {
    try {
      out.stations = LoadStations(flags.bsList);
    } catch (const std::exception& e) {
      throw CliError(kExitFile, e.what());
    }
    out.stationsLoaded = true;
  }
  out.gpsLimit = GpsLimit(flags);
  if (!flags.levelUnit.empty()) out.levels = {flags.levelOffset, flags.levelUnit};
  return out;
}

void ApplyStations(LinkClient& link, const OutputFlags& flags, const OutputOptions& output) {
  if (output.stationsLoaded) {
    auto list = ToCellInfo(output.stations);
    link.client().SetBSList(list.data(), static_cast<int>(list.size()));
  }
  if (const int limit = GpsLimit(flags); limit >= 0) link.client().SetGpsMismatchLimit(limit);
}

std::chrono::milliseconds Timeout(const ConnectOptions& o) {
  return std::chrono::milliseconds(static_cast<long>(o.timeout * 1000));
}

void ConnectAndLogin(LinkClient& link, const ConnectOptions& o, RecordOutput& out,
                     const std::function<void(const LinkEvent&)>& show) {
  // Set before the library's threads run; a login reply would overwrite it.
  if (o.noLogin) TDorWCDMAConfig = o.family == "td" ? 2 : 1;
  if (auto error = link.Connect(o.host, o.port); !error.empty())
    throw CliError(kExitUnreachable, error);
  if (o.noLogin) return;
  std::vector<LinkEvent> seen;
  const auto family = link.Login(o.user, o.password, Timeout(o), &seen);
  for (const LinkEvent& e : seen) show ? show(e) : Show(out, e);
  if (!family)
    throw CliError(kExitLoginRefused,
                   "login as '" + o.user + "' refused: no login reply from " + o.host);
}

void Show(RecordOutput& out, const LinkEvent& e) {
  if (e.kind == LinkEvent::kConnect)
    out.Link(e.connected, e.timeUs);
  else
    out.Record(*e.record, e.timeUs);
}

}  // namespace scanlink::cli
