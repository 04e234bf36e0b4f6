// Options several subcommands share: where the scanner is, and where the output goes.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <string>

#include "link_client.h"
#include "record_output.h"

namespace scanlink::cli {

struct ConnectOptions {
  std::string host;
  int port = 5000;
  std::string user = "admin";
  std::string password = "admin";
  bool noLogin = false;
  std::string family;    // "td" or "wcdma": which codes to send without a login reply
  double timeout = 3.0;  // seconds to wait for a reply
};

struct OutputFlags {
  bool json = false;
  std::string bsList;
  int gpsLimit = -1;
  bool quiet = false;
  long count = 0;
  std::vector<std::string> only;
  std::string exportSpec;  // FORMAT:FILE
  double levelOffset = 0;
  std::string levelUnit;  // empty: not given
};

// The tools' GPS-check tolerance when a station list comes without one. The library's own
// default (0) passes no cell; 2 chips (469 m of path) covers the quarter-chip rounding of the
// delay, GPS error and the first-path excess delay of a typical urban channel, while a cell
// measured from a wrong site or with a wrong delay is still off by more.
constexpr int kDefaultGpsLimitChips = 2;
// The tolerance in chips the flags give, the default with a station list, else -1.
int GpsLimit(const OutputFlags& flags);

// hosts: --host may be repeated (A.B.C.D or A.B.C.D:PORT each), into hosts instead of o.host.
void AddConnectOptions(CLI::App* app, ConnectOptions& o, std::vector<std::string>* hosts = nullptr);
// A text option that goes into a fixed wire field: refused when longer, never cut.
CLI::Validator MaxLength(size_t length);
void AddOutputOptions(CLI::App* app, OutputFlags& o, bool withStations);
// --count, --only, --quiet and --export, for the subcommands that print a stream of records.
void AddStreamOptions(CLI::App* app, OutputFlags& o);
// --level-offset and --level-unit: how to read the level fields.
void AddLevelOptions(CLI::App* app, OutputFlags& o);
// The help text of --gps-limit.
std::string GpsLimitHelp();

// Loads the base-station list named by the flags. Throws CliError(kExitFile), or
// CliError(kExitUsage) for a bad --only or --export.
OutputOptions MakeOutput(const OutputFlags& flags);
// Hands the list and tolerance of the flags to the library's GPS check.
void ApplyStations(LinkClient& link, const OutputFlags& flags, const OutputOptions& output);
// Brings the link up and logs in (unless --no-login), printing the login reply and what came
// before it (through show, when given). Throws CliError.
void ConnectAndLogin(LinkClient& link, const ConnectOptions& o, RecordOutput& out,
                     const std::function<void(const LinkEvent&)>& show = {});
// Prints whatever the link delivered.
void Show(RecordOutput& out, const LinkEvent& e);
std::chrono::milliseconds Timeout(const ConnectOptions& o);

}  // namespace scanlink::cli
