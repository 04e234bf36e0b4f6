// scanlink decode FILE: a recorded stream through the library's framer and decoder; scanlink
// export: the same, written as a table or a map layer.
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>

#include "capture/capture.h"
#include "codec/frame_header.h"
#include "codec/framer.h"
#include "common_options.h"
#include "exit_codes.h"
#include "recording_feed.h"
#include "subcommands.h"
#include "timestamp.h"

namespace scanlink::cli {
namespace {

struct DecodeOptions {
  std::string file;
  OutputFlags output;
  int finger = -1;
  size_t chunk = 4096;
  std::string host;                // packet captures: only the scanner at this address
  int port = 0;                    // and this port
  std::string format, exportPath;  // export only
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

// A header value written on one line ("\\n" for a line end, "\\\\" for a backslash).
std::string Unescaped(const std::string& value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) {
      out += value[i + 1] == 'n' ? '\n' : value[i + 1];
      ++i;
    } else {
      out += value[i];
    }
  }
  return out;
}

// One connection's streams: frames never span two connections.
struct Stream {
  scanlink::codec::Framer received, sent;
  std::string label;  // a packet capture's scanner, address:port; empty in our recordings
};

// Whole frames of one connection to the sink, following the scan settings when asked.
class FrameCutter {
 public:
  FrameCutter(RecordingSink& sink, bool followFinger) : sink_(sink), followFinger_(followFinger) {}
  void OnFrame(const uint8_t* f, size_t n) {
    const auto record = DecodeFrame(f, n);
    ++sink_.stats.frames;
    sink_.Frame(*record, timeUs);
    // A scan mode the scanner reports is the setting its later reports follow.
    if (followFinger_ && record->nCode == 0xF00B && record->nTransID != SCANLINK_TRANS_BROADCAST)
      FingerTestFlag = record->body.tdScanMode.nFingerTest != 0;
  }
  void OnTrace(const char*) {}
  void OnOversized(size_t) { ++sink_.stats.oversized; }
  void OnDiscard(size_t n) { sink_.stats.skipped += n; }

  int64_t timeUs = -1;  // of the unit being fed

 private:
  RecordingSink& sink_;
  bool followFinger_;
};

}  // namespace

std::string RecordingInput::Header(const char* key) const {
  auto it = capture.header.find(key);
  return it == capture.header.end() ? std::string() : it->second;
}

RecordingInput OpenRecording(const std::string& file, const OutputFlags& given,
                             const capture::Selection& selection) {
  if (std::filesystem::is_directory(file))
    throw CliError(kExitFile, "cannot read " + file + ": it is a folder");
  RecordingInput in;
  try {
    in.capture = capture::ReadRecording(file, selection);
  } catch (const std::exception& e) {
    throw CliError(kExitFile, e.what());
  }
  OutputFlags& flags = in.flags;
  flags = given;
  // The list the recording carries, else the file its header names (relative to the capture);
  // a named file that is not there costs the GPS check, not the decoding.
  const bool embeddedList = flags.bsList.empty() && !in.Header("bs-list-data").empty();
  if (flags.bsList.empty() && !embeddedList && !in.Header("bs-list").empty()) {
    const auto named = std::filesystem::path(file).parent_path() / in.Header("bs-list");
    if (std::filesystem::exists(named))
      flags.bsList = named.string();
    else
      in.missingList = named.string();
  }
  if (flags.gpsLimit < 0 && !in.Header("gps-limit").empty()) {
    try {
      flags.gpsLimit = std::stoi(in.Header("gps-limit"));
    } catch (const std::exception&) {
      throw CliError(kExitFile, file + ": gps-limit '" + in.Header("gps-limit") + "' is no number");
    }
  }
  in.output = MakeOutput(flags);
  if (flags.levelUnit.empty()) {
    try {
      in.output.levels = LevelConvention::FromHeader(in.capture.header);
    } catch (const std::exception& e) {
      throw CliError(kExitFile, file + ": " + e.what());
    }
  }
  if (embeddedList) {
    try {
      in.output.stations =
          ParseStations(Unescaped(in.Header("bs-list-data")), file + ": its station list");
    } catch (const std::exception& e) {
      throw CliError(kExitFile, e.what());
    }
    in.output.stationsLoaded = true;
  }
  return in;
}

void FeedRecording(const capture::Recording& capture, int fingerOption, size_t chunk,
                   RecordingSink& sink) {
  FrameCutter cutter(sink, fingerOption < 0);
  std::map<uint32_t, Stream> streams;
  // Each scanner's finger setting, as its scan modes set it (a capture may hold several).
  std::map<std::string, SentFrames> settings;
  std::map<std::string, int> finger;
  const int initialFinger = FingerTestFlag;
  // A connection that ends takes its unfinished frame with it, as the library's cutter does.
  auto ended = [&](uint32_t connection) {
    auto it = streams.find(connection);
    if (it == streams.end()) return;
    sink.stats.cutOff += it->second.received.Pending();
    streams.erase(it);
  };
  for (const capture::Packet& p : capture.packets) {
    if (sink.Done()) break;
    Stream& stream = streams[p.connection];
    if (p.connection < capture.connections.size())
      stream.label = capture.connections[p.connection].scanner;
    if (p.direction == capture::Direction::kEvent) {
      if (p.event == capture::Event::kLinkLost || p.event == capture::Event::kLinkRestored) {
        sink.Link(p.event == capture::Event::kLinkRestored, p.timeUs);
      } else if (p.channel == capture::Channel::kData) {
        // Bytes after a connection's start are a stream of their own, whatever came before.
        for (auto it = streams.begin(); it != streams.end();) {
          const bool earlier = capture.connections.empty() && it->first < p.connection;
          ++it;
          if (earlier) ended(std::prev(it)->first);
        }
        if (p.event == capture::Event::kConnectionEnds) ended(p.connection);
        sink.Note("# " + capture::EventName(p.event) + ": " +
                  std::string(p.bytes.begin(), p.bytes.end()) +
                  (p.timeUs >= 0 ? " at " + IsoTime(p.timeUs) : std::string()));
      }
      continue;
    }
    if (p.channel != capture::Channel::kData) continue;
    if (p.direction == capture::Direction::kToScanner) {
      // The session's scan settings as they were made, so finger fields are read as the
      // library read them live (unless --finger says otherwise).
      SentFrames& sent = settings[stream.label];
      stream.sent.Feed(p.bytes.data(), p.bytes.size(), sent);
      if (fingerOption < 0 && sent.finger >= 0) finger[stream.label] = sent.finger;
      continue;
    }
    cutter.timeUs = p.timeUs;
    sink.Connection(stream.label);
    if (fingerOption < 0)
      FingerTestFlag = finger.emplace(stream.label, initialFinger).first->second;
    for (size_t at = 0; at < p.bytes.size() && !sink.Done(); at += chunk) {
      const size_t n = std::min(chunk, p.bytes.size() - at);
      stream.received.Feed(p.bytes.data() + at, n, cutter);
    }
    if (fingerOption < 0) finger[stream.label] = FingerTestFlag;  // a scan mode reply may change it
    sink.PacketDone(p.timeUs);
  }
  sink.Connection({});
  for (const auto& [connection, stream] : streams) sink.stats.pending += stream.received.Pending();
}

namespace {

// Decoded records to the readable or exported output.
class OutputSink : public RecordingSink {
 public:
  OutputSink(RecordOutput& out, bool exporting) : out_(out), exporting_(exporting) {}
  bool Done() const override { return out_.done(); }
  void Frame(const CCmdManage& record, int64_t timeUs) override { out_.Record(record, timeUs); }
  void Link(bool up, int64_t timeUs) override { out_.Link(up, timeUs); }
  void Connection(const std::string& label) override { out_.SetConnection(label); }
  // An export may go to standard output: the narration must not end up inside it.
  void Note(const std::string& line) override {
    if (exporting_)
      std::fprintf(stderr, "%s\n", line.c_str());
    else
      out_.Note(line);
  }

 private:
  RecordOutput& out_;
  bool exporting_;
};

// Decodes the file into out; throws CliError(kExitDamaged) after a damaged stream.
void Decode(const DecodeOptions& o, bool exporting) {
  RecordingInput in = OpenRecording(o.file, o.output, capture::Selection{o.host, o.port});
  const capture::Recording& capture = in.capture;
  OutputOptions output = std::move(in.output);
  if (exporting) {
    output.quiet = true;
    output.exportFormat = o.format;
    output.exportPath = o.exportPath;
  }
  // The decoder reads the finger setting and the GPS check's list from the library's state,
  // which a client object sets; it is never connected.
  LinkClient link;
  ApplyStations(link, in.flags, output);
  FingerTestFlag = o.finger >= 0 ? o.finger : in.Header("finger-test") == "1";
  RecordOutput out(std::move(output));
  if (!in.missingList.empty())
    out.Warn("the station list " + in.missingList +
             " named by the recording is not there: no GPS check");
  OutputSink sink(out, exporting);
  for (const std::string& n : capture.notes) sink.Note("# " + n);
  if ((!o.host.empty() || o.port != 0) && capture.connections.empty())
    out.Warn("--host and --port choose among a packet capture's connections; " + o.file +
             " records one session, shown whole");
  FeedRecording(capture, o.finger, o.chunk, sink);
  std::string damage;
  auto add = [&](const std::string& what) { damage += (damage.empty() ? "" : ", ") + what; };
  for (const std::string& w : capture.warnings) add(w);
  const FeedStats& s = sink.stats;
  if (!out.done() && s.pending > 0)
    add("stream ends inside a frame (" + std::to_string(s.pending) + " bytes left over)");
  if (s.cutOff > 0)
    sink.Note("# " + std::to_string(s.cutOff) +
              " bytes of frames left unfinished where a connection ended (not decoded, as live)");
  if (s.skipped > 0 || s.oversized > 0)
    add(std::to_string(s.skipped) + " bytes skipped, " + std::to_string(s.oversized) +
        " oversized frames");
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
  app->add_option("--host", o.host,
                  "a packet capture of several scanners: only the connections of the scanner at "
                  "this IPv4 address");
  app->add_option("--port", o.port,
                  "a packet capture: only the connections to this scanner port (its alarm "
                  "connection comes with it)")
      ->check(CLI::Range(1, 65535));
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
