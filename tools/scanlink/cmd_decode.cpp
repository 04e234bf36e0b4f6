// scanlink decode FILE: a recorded stream through the library's framer and decoder.
#include <filesystem>
#include <memory>

#include "capture/capture.h"
#include "common_options.h"
#include "exit_codes.h"
#include "subcommands.h"
#include "transport/framer.h"

namespace scanlink::cli {
namespace {

struct DecodeOptions {
  std::string file;
  OutputFlags output;
  int finger = -1;
  size_t chunk = 4096;
};

class FrameSink {
 public:
  explicit FrameSink(RecordOutput& out) : out_(out) {}
  void OnFrame(const uint8_t* f, size_t n) {
    auto message = std::make_unique<CMyPcCommMessage>(
        static_cast<uint16_t>(f[2] << 8 | f[3]), static_cast<uint16_t>(n - 8),
        static_cast<uint16_t>(f[4] << 8 | f[5]), f + 8);
    auto record = std::make_unique<CCmdManage>();
    record->DecodeMessage(*message);
    out_.Record(*record);
    ++frames;
  }
  void OnTrace(const char*) {}
  void OnOversized(size_t) { ++oversized; }
  void OnDiscard(size_t n) { skipped += n; }

  size_t frames = 0, oversized = 0, skipped = 0;

 private:
  RecordOutput& out_;
};

int Run(const DecodeOptions& o) {
  capture::Recording capture;
  try {
    capture = capture::ReadRecording(o.file);
  } catch (const std::runtime_error& e) {
    throw CliError(kExitFile, e.what());
  }
  const std::vector<uint8_t> stream = capture::ScannerStream(capture);
  OutputFlags flags = o.output;
  const auto header = [&](const char* key) {
    auto it = capture.header.find(key);
    return it == capture.header.end() ? std::string() : it->second;
  };
  // A header's list is named relative to the capture.
  if (flags.bsList.empty() && !header("bs-list").empty())
    flags.bsList = (std::filesystem::path(o.file).parent_path() / header("bs-list")).string();
  if (flags.gpsLimit < 0 && !header("gps-limit").empty())
    flags.gpsLimit = std::stoi(header("gps-limit"));
  const int finger = o.finger >= 0 ? o.finger : header("finger-test") == "1";

  OutputOptions output = MakeOutput(flags);
  // The decoder reads the finger setting and the GPS check's list from the library's state,
  // which a client object sets; it is never connected.
  LinkClient link;
  ApplyStations(link, flags, output);
  FingerTestFlag = finger;
  RecordOutput out(std::move(output));
  FrameSink sink(out);
  auto framer = std::make_unique<scanlink::transport::Framer>();
  for (size_t at = 0; at < stream.size(); at += o.chunk) {
    const size_t n = std::min(o.chunk, stream.size() - at);
    framer->Feed(stream.data() + at, n, sink);
  }
  if (framer->Pending() > 0)
    out.Note("# stream ends inside a frame (" + std::to_string(framer->Pending()) +
             " bytes left over)");
  if (sink.skipped > 0 || sink.oversized > 0)
    out.Note("# " + std::to_string(sink.skipped) + " bytes skipped, " +
             std::to_string(sink.oversized) + " oversized frames");
  if (auto error = out.Finish(); !error.empty()) throw CliError(kExitFile, error);
  return kExitOk;
}

}  // namespace

Subcommand AddDecode(CLI::App& parent) {
  auto o = std::make_shared<DecodeOptions>();
  CLI::App* app = parent.add_subcommand(
      "decode", "Decode a recorded byte stream (what a scanner sent) into readable lines or JSON");
  app->add_option("file", o->file, "the stream; it may start with '# key: value' header lines")
      ->required();
  AddOutputOptions(app, o->output, true);
  app->add_option("--finger", o->finger,
                  "TD cell records carry finger fields: 1 or 0 (default: the file's finger-test "
                  "header, else 0)")
      ->check(CLI::Range(0, 1));
  app->add_option("--chunk", o->chunk, "feed the framer this many bytes at a time")
      ->capture_default_str()
      ->check(CLI::Range(1, 1 << 20));
  return {app, [o] { return Run(*o); }};
}

}  // namespace scanlink::cli
