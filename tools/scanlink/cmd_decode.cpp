// scanlink decode FILE: a recorded stream through the library's framer and decoder; scanlink
// export: the same, written as a table or a map layer.
#include <filesystem>
#include <memory>

#include "capture/capture.h"
#include "codec/frame_header.h"
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
  std::string format, exportPath;  // export only
};

class FrameSink {
 public:
  explicit FrameSink(RecordOutput& out) : out_(out) {}
  void OnFrame(const uint8_t* f, size_t n) {
    const auto record = DecodeFrame(f, n);
    out_.Record(*record, timeUs);
    ++frames;
    // A scan mode the scanner reports is the setting its later reports follow.
    if (followFinger && record->nCode == 0xF00B && record->nTransID != SCANLINK_TRANS_BROADCAST)
      FingerTestFlag = record->body.tdScanMode.nFingerTest != 0;
  }
  void OnTrace(const char*) {}
  void OnOversized(size_t) { ++oversized; }
  void OnDiscard(size_t n) { skipped += n; }

  int64_t timeUs = -1;  // of the unit being fed
  bool followFinger = false;
  size_t frames = 0, oversized = 0, skipped = 0;

 private:
  RecordOutput& out_;
};

// The finger-test byte of a TD scan mode the tool sent (0xF001): the command carries the layout
// of the scan mode reply (0xF00B), which the decoder reads. -1 for any other frame.
int FingerSetting(const uint8_t* f, size_t n) {
  codec::FrameHeader header = codec::read_header(f);
  if (header.code != 0xF001) return -1;
  std::vector<uint8_t> asReply(f, f + n);
  header.code = 0xF00B;
  codec::write_header(asReply.data(), header);
  return DecodeFrame(asReply.data(), n)->body.tdScanMode.nFingerTest != 0;
}

// Frames the tool sent: only their finger setting matters to decoding what came back.
struct SentFrames {
  int finger = -1;
  void OnFrame(const uint8_t* f, size_t n) {
    if (const int v = FingerSetting(f, n); v >= 0) finger = v;
  }
  void OnTrace(const char*) {}
  void OnOversized(size_t) {}
  void OnDiscard(size_t) {}
};

// Decodes the file into out; throws CliError(kExitDamaged) after a damaged stream.
void Decode(const DecodeOptions& o, bool exporting) {
  if (std::filesystem::is_directory(o.file))
    throw CliError(kExitFile, "cannot read " + o.file + ": it is a folder");
  capture::Recording capture;
  try {
    capture = capture::ReadRecording(o.file);
  } catch (const std::exception& e) {
    throw CliError(kExitFile, e.what());
  }
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

  OutputOptions output = MakeOutput(flags);
  if (flags.levelUnit.empty()) {
    try {
      output.levels = LevelConvention::FromHeader(capture.header);
    } catch (const std::exception& e) {
      throw CliError(kExitFile, o.file + ": " + e.what());
    }
  }
  if (exporting) {
    output.quiet = true;
    output.exportFormat = o.format;
    output.exportPath = o.exportPath;
  }
  // The decoder reads the finger setting and the GPS check's list from the library's state,
  // which a client object sets; it is never connected.
  LinkClient link;
  ApplyStations(link, flags, output);
  FingerTestFlag = o.finger >= 0 ? o.finger : header("finger-test") == "1";
  RecordOutput out(std::move(output));
  FrameSink sink(out);
  sink.followFinger = o.finger < 0;
  auto framer = std::make_unique<scanlink::transport::Framer>();
  auto sentFramer = std::make_unique<scanlink::transport::Framer>();
  SentFrames sent;
  for (const capture::Packet& p : capture.packets) {
    if (out.done()) break;
    if (p.channel != capture::Channel::kData) continue;
    if (p.direction == capture::Direction::kToScanner) {
      // The session's scan settings as they were made, so finger fields are read as the
      // library read them live (unless --finger says otherwise).
      sentFramer->Feed(p.bytes.data(), p.bytes.size(), sent);
      if (o.finger < 0 && sent.finger >= 0) FingerTestFlag = sent.finger;
      continue;
    }
    sink.timeUs = p.timeUs;
    for (size_t at = 0; at < p.bytes.size() && !out.done(); at += o.chunk) {
      const size_t n = std::min(o.chunk, p.bytes.size() - at);
      framer->Feed(p.bytes.data() + at, n, sink);
    }
  }
  std::string damage;
  for (const std::string& w : capture.warnings) damage += (damage.empty() ? "" : ", ") + w;
  if (!out.done() && framer->Pending() > 0)
    damage += (damage.empty() ? "" : ", ") + std::string("stream ends inside a frame (") +
              std::to_string(framer->Pending()) + " bytes left over)";
  if (sink.skipped > 0 || sink.oversized > 0)
    damage += (damage.empty() ? "" : ", ") + std::to_string(sink.skipped) + " bytes skipped, " +
              std::to_string(sink.oversized) + " oversized frames";
  if (auto error = out.Finish(); !error.empty()) throw CliError(kExitFile, error);
  if (!damage.empty())
    throw CliError(kExitDamaged, o.file + " is damaged: " + damage + "; the whole frames shown");
  if (auto empty = out.EmptyExport()) throw CliError(kExitFailure, *empty);
}

void AddDecoderOptions(CLI::App* app, DecodeOptions& o) {
  app->add_option("--finger", o.finger,
                  "TD cell records carry finger fields: 1 or 0 (default: the file's finger-test "
                  "header, else 0)")
      ->check(CLI::Range(0, 1));
  app->add_option("--chunk", o.chunk, "feed the framer this many bytes at a time")
      ->capture_default_str()
      ->check(CLI::Range(1, 1 << 20));
}

}  // namespace

Subcommand AddDecode(CLI::App& parent) {
  auto o = std::make_shared<DecodeOptions>();
  CLI::App* app = parent.add_subcommand(
      "decode", "Decode a recording (what a scanner sent) into readable lines or JSON");
  app->add_option("file", o->file,
                  "a recording (monitor --record), a tcpdump capture of a session, or a raw "
                  "stream that may start with '# key: value' header lines")
      ->required();
  AddOutputOptions(app, o->output, true);
  AddStreamOptions(app, o->output);
  AddDecoderOptions(app, *o);
  app->footer(
      "Status 8 when the stream is damaged (bytes skipped, a frame cut off): the whole frames are "
      "shown all the same.");
  return {app, [o] {
            Decode(*o, false);
            return kExitOk;
          }};
}

Subcommand AddExport(CLI::App& parent) {
  auto o = std::make_shared<DecodeOptions>();
  CLI::App* app = parent.add_subcommand(
      "export",
      "Write the reports of a recording with their position, time, levels, delays and verdicts as "
      "CSV, GeoJSON, KML or GPX");
  app->add_option("file", o->file, "the recording")->required();
  app->add_option("--format", o->format,
                  "csv (a row per report, a column per cell and value), csv-long (a row per cell "
                  "per report), geojson, kml or gpx")
      ->required()
      ->check(CLI::IsMember({"csv", "csv-long", "geojson", "kml", "gpx"}));
  app->add_option("-o,--output", o->exportPath, "the file to write (default: standard output)");
  app->add_option("--bs-list", o->output.bsList,
                  "base stations (CSV name,key1,key2,longitude,latitude) for the GPS check");
  app->add_option("--gps-limit", o->output.gpsLimit, GpsLimitHelp())->check(CLI::Range(0, 1 << 20));
  AddLevelOptions(app, o->output);
  AddDecoderOptions(app, *o);
  app->footer(
      "Every report is written with its position; one without (a sweep) is placed between the "
      "GPS fixes around it in time (column position: interpolated), or counted in a warning. "
      "Levels are in the recording's declared unit (level-offset/level-unit header, or "
      "--level-offset/--level-unit), else raw. KML colours levels in dBm: -75 and above, -85, "
      "-95, -105, below (green to red). Status 1 when the export would hold no report.");
  return {app, [o] {
            Decode(*o, true);
            return kExitOk;
          }};
}

}  // namespace scanlink::cli
