// scanlink: drives a scanner (or the simulator) through the library from the shell.
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "console.h"
#include "exit_codes.h"
#include "subcommands.h"

namespace {

// One line on stderr: text, or under --json an object of kind "error" with the exit status.
int Fail(bool json, int status, const std::string& message) {
  if (json)
    std::fprintf(stderr, "%s\n",
                 nlohmann::ordered_json{{"kind", "error"}, {"status", status}, {"message", message}}
                     .dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                     .c_str());
  else
    std::fprintf(stderr, "scanlink: %s\n", message.c_str());
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace scanlink::cli;
  bool json = false;
  for (int i = 1; i < argc; ++i) json = json || std::strcmp(argv[i], "--json") == 0;
  IgnoreBrokenPipe();
  CLI::App app{
      "scanlink: drives a radio scanner through the scanlink library.\n"
#ifdef _WIN32
      // The simulator demo needs runs on Linux only.
      "Try it without hardware: scanlink decode on a recorded stream (a .scl file)"
#else
      "Try it without hardware: scanlink demo"
#endif
  };
  app.footer(ExitCodesHelp());
  app.set_version_flag("--version", "scanlink " SCANLINK_TOOL_VERSION);
  app.require_subcommand(1);
  std::vector<Subcommand> subcommands = {AddDemo(app), AddMonitor(app), AddQuery(app),
                                         AddSend(app), AddDecode(app),  AddExport(app),
                                         AddView(app)};
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    return Fail(json, kExitUsage, std::string(e.what()) + " (see scanlink --help)");
  }
  try {
    for (Subcommand& s : subcommands)
      if (s.app->parsed()) return s.run();
  } catch (const CliError& e) {
    return Fail(json, e.code(), e.what());
  } catch (const std::exception& e) {
    return Fail(json, kExitFailure, e.what());
  }
  return kExitUsage;
}
