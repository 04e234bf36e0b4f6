// The subcommands of scanlink; each registers its options and returns what runs it.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>

namespace scanlink::cli {

struct Subcommand {
  CLI::App* app;
  std::function<int()> run;  // the exit status; errors are thrown as CliError
};

Subcommand AddDemo(CLI::App& parent);
Subcommand AddMonitor(CLI::App& parent);
Subcommand AddQuery(CLI::App& parent);
Subcommand AddSend(CLI::App& parent);
Subcommand AddDecode(CLI::App& parent);
Subcommand AddExport(CLI::App& parent);
Subcommand AddView(CLI::App& parent);

}  // namespace scanlink::cli
