// scanlink query and scanlink send: one exchange each, replies printed as they come.
#include "common_options.h"
#include "exit_codes.h"
#include "operations.h"
#include "subcommands.h"

namespace scanlink::cli {
namespace {

using Clock = std::chrono::steady_clock;

struct ExchangeOptions {
  ConnectOptions connect;
  OutputFlags output;
  std::vector<std::string> words;
};

// Sends one operation and prints its replies: a second reply (data and value replies share the
// transaction) is awaited briefly after the first.
bool Exchange(LinkClient& link, RecordOutput& out, const std::vector<std::string>& words,
              std::chrono::milliseconds timeout) {
  const Operation& op = FindOperation(words[0]);
  const int trans = SendOperation(link.client(), words);
  if (trans == 0) throw CliError(kExitFailure, "the library refused to send " + words[0]);
  if (!op.replies) {
    out.Note("# " + words[0] + " sent as request " + std::to_string(trans) +
             " (the scanner does not reply to it)");
    return true;
  }
  auto deadline = Clock::now() + timeout;
  bool replied = false;
  while (auto e = link.Next(deadline)) {
    Show(out, *e);
    if (e->kind == LinkEvent::kRecord && e->record->nTransID == trans && !replied) {
      replied = true;
      deadline = Clock::now() + std::chrono::milliseconds(300);
    }
  }
  return replied;
}

int RunExchanges(const ExchangeOptions& o, const std::vector<std::vector<std::string>>& steps) {
  for (const auto& words : steps) CheckOperation(words);  // typos fail before connecting
  RecordOutput out(MakeOutput(o.output));
  LinkClient link;
  ConnectAndLogin(link, o.connect, out);
  int status = kExitOk;
  for (const auto& words : steps) {
    if (!Exchange(link, out, words, Timeout(o.connect))) {
      std::fprintf(stderr, "scanlink: no reply to %s\n", words[0].c_str());
      status = kExitNoReply;
    }
  }
  link.Close();
  return status;
}

}  // namespace

Subcommand AddQuery(CLI::App& parent) {
  auto o = std::make_shared<ExchangeOptions>();
  CLI::App* app =
      parent.add_subcommand("query", "Log in and ask for the version, scan mode and battery");
  AddConnectOptions(app, o->connect);
  app->add_flag("--json", o->output.json, "JSON Lines: one object per record");
  return {app, [o] { return RunExchanges(*o, {{"version"}, {"mode"}, {"battery"}}); }};
}

Subcommand AddSend(CLI::App& parent) {
  auto o = std::make_shared<ExchangeOptions>();
  CLI::App* app = parent.add_subcommand("send", "Log in, send one command and print its reply");
  AddConnectOptions(app, o->connect);
  app->add_flag("--json", o->output.json, "JSON Lines: one object per record");
  app->add_option("operation", o->words, "the operation and its arguments (see below)")->required();
  app->footer(OperationsHelp());
  return {app, [o] { return RunExchanges(*o, {o->words}); }};
}

}  // namespace scanlink::cli
