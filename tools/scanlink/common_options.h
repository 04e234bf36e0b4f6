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
};

void AddConnectOptions(CLI::App* app, ConnectOptions& o);
// A text option that goes into a fixed wire field: refused when longer, never cut.
CLI::Validator MaxLength(size_t length);
void AddOutputOptions(CLI::App* app, OutputFlags& o, bool withStations);
// --count, --only, --quiet and --export, for the subcommands that print a stream of records.
void AddStreamOptions(CLI::App* app, OutputFlags& o);

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
