// scanlink query and scanlink send: one exchange each, replies printed as they come.
#include <mutex>

#include "codec/framer.h"
#include "common_options.h"
#include "exit_codes.h"
#include "operations.h"
#include "subcommands.h"
#include "timestamp.h"

namespace scanlink::cli {
namespace {

using Clock = std::chrono::steady_clock;

struct ExchangeOptions {
  ConnectOptions connect;
  OutputFlags output;
  std::vector<std::string> words;
};

// The replies as they arrived on the wire, cut by the library's own frame cutter. The library
// delivers the first reply to a request and drops a second one; this keeps it visible.
class ReplyWatch {
 public:
  struct Frame {
    int64_t timeUs;
    std::vector<uint8_t> bytes;
  };
  ReplyWatch() { ScanlinkSetWireTap(&ReplyWatch::OnWire, this); }
  // The link must be closed first.
  ~ReplyWatch() { ScanlinkSetWireTap(nullptr, nullptr); }
  ReplyWatch(const ReplyWatch&) = delete;
  ReplyWatch& operator=(const ReplyWatch&) = delete;

  // The frames of transaction trans received so far, in order.
  std::vector<Frame> Take(int trans) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Frame> out;
    for (auto it = frames_.begin(); it != frames_.end();) {
      if ((it->bytes[4] << 8 | it->bytes[5]) == trans) {
        out.push_back(std::move(*it));
        it = frames_.erase(it);
      } else {
        ++it;
      }
    }
    return out;
  }

  // Framer sink, under mutex_.
  void OnFrame(const uint8_t* f, size_t n) {
    if ((f[4] << 8 | f[5]) != SCANLINK_TRANS_BROADCAST)
      frames_.push_back({now_, std::vector<uint8_t>(f, f + n)});
  }
  void OnTrace(const char*) {}
  void OnOversized(size_t) {}
  void OnDiscard(size_t) {}

 private:
  static void OnWire(int direction, int channel, const unsigned char* bytes, int length,
                     void* context) {
    if (direction != 0 || channel != 0 || length <= 0) return;
    auto* self = static_cast<ReplyWatch*>(context);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->now_ = NowUs();
    self->framer_.Feed(bytes, static_cast<size_t>(length), *self);
  }

  std::mutex mutex_;
  codec::Framer framer_;
  int64_t now_ = -1;
  std::vector<Frame> frames_;
};

// What an exchange shows: replies and link changes. A scanner that is scanning sends its reports
// all the while; they would bury the replies, so they are only counted.
void ShowReply(RecordOutput& out, const LinkEvent& e, size_t& reports) {
  if (e.kind == LinkEvent::kRecord && e.record->nTransID == SCANLINK_TRANS_BROADCAST)
    ++reports;
  else
    Show(out, e);
}

// Sends one operation and prints its replies: a second reply (data and value replies share the
// transaction) is awaited briefly after the first.
bool Exchange(LinkClient& link, RecordOutput& out, const std::vector<std::string>& words,
              std::chrono::milliseconds timeout, int& trans, size_t& reports) {
  const Operation& op = FindOperation(words[0]);
  trans = SendOperation(link.client(), words);
  if (trans == 0) throw CliError(kExitFailure, "the library refused to send " + words[0]);
  if (!op.replies) {
    out.Note("# " + words[0] + " sent as request " + std::to_string(trans) +
             " (the scanner does not reply to it)");
    return true;
  }
  auto deadline = Clock::now() + timeout;
  bool replied = false;
  while (auto e = link.Next(deadline)) {
    ShowReply(out, *e, reports);
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
  ReplyWatch watch;  // outlives the link
  LinkClient link;
  size_t reports = 0;
  ConnectAndLogin(link, o.connect, out, [&](const LinkEvent& e) { ShowReply(out, e, reports); });
  int status = kExitOk;
  for (const auto& words : steps) {
    int trans = 0;
    const bool replied = Exchange(link, out, words, Timeout(o.connect), trans, reports);
    // The library releases a request with its first reply: a second one (a code's data and
    // its result) never reaches the tool. Show it from the wire and say so.
    const auto frames = watch.Take(trans);
    for (size_t i = 1; i < frames.size(); ++i)
      out.Record(*DecodeFrame(frames[i].bytes.data(), frames[i].bytes.size()), frames[i].timeUs);
    if (frames.size() > 1)
      out.Warn(std::to_string(frames.size() - 1) + " more repl" +
               (frames.size() == 2 ? "y" : "ies") + " to " + words[0] +
               " arrived after the first; the library drops it, shown here from the wire");
    if (!replied) {
      out.Error("no reply to " + words[0], kExitNoReply);
      status = kExitNoReply;
    }
  }
  link.Close();
  if (reports > 0)
    out.Note("# " + std::to_string(reports) + " report" + (reports == 1 ? "" : "s") +
             " of the running scan not shown (scanlink monitor shows them)");
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
  app->footer(OperationsHelp() +
              "\nA request answered twice (a code's data reply, then its result) shows the first "
              "reply only: the library releases the request with it and drops the second, which "
              "is reported as a warning.");
  return {app, [o] { return RunExchanges(*o, {o->words}); }};
}

}  // namespace scanlink::cli
