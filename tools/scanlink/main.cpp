// scanlink: drives a scanner (or the simulator) through the library from the shell.
#include <cstdio>
#include <string>
#include <vector>

#include "console.h"
#include "exit_codes.h"
#include "subcommands.h"

int main(int argc, char** argv) {
  using namespace scanlink::cli;
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
  app.require_subcommand(1);
  std::vector<Subcommand> subcommands = {AddDemo(app), AddMonitor(app), AddQuery(app), AddSend(app),
                                         AddDecode(app)};
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    std::fprintf(stderr, "scanlink: %s (see scanlink --help)\n", e.what());
    return kExitUsage;
  }
  try {
    for (Subcommand& s : subcommands)
      if (s.app->parsed()) return s.run();
  } catch (const CliError& e) {
    std::fprintf(stderr, "scanlink: %s\n", e.what());
    return e.code();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "scanlink: %s\n", e.what());
    return kExitFailure;
  }
  return kExitUsage;
}
