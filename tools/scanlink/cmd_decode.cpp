// scanlink decode FILE: a recorded stream through the library's framer and decoder; scanlink
// export: the same, written as a table or a map layer.
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>

#include "capture/capture.h"
#include "codec/frame_header.h"
#include "common_options.h"
#include "exit_codes.h"
#include "subcommands.h"
#include "timestamp.h"
#include "transport/framer.h"

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
  scanlink::transport::Framer received, sent;
  std::string label;  // a packet capture's scanner, address:port; empty in our recordings
};

// Decodes the file into out; throws CliError(kExitDamaged) after a damaged stream.
void Decode(const DecodeOptions& o, bool exporting) {
  if (std::filesystem::is_directory(o.file))
    throw CliError(kExitFile, "cannot read " + o.file + ": it is a folder");
  capture::Recording capture;
  try {
    capture = capture::ReadRecording(o.file, capture::Selection{o.host, o.port});
  } catch (const std::exception& e) {
    throw CliError(kExitFile, e.what());
  }
  OutputFlags flags = o.output;
  const auto header = [&](const char* key) {
    auto it = capture.header.find(key);
    return it == capture.header.end() ? std::string() : it->second;
  };
  // The list the recording carries, else the file its header names (relative to the capture);
  // a named file that is not there costs the GPS check, not the decoding.
  std::string missingList;
  const bool embeddedList = flags.bsList.empty() && !header("bs-list-data").empty();
  if (flags.bsList.empty() && !embeddedList && !header("bs-list").empty()) {
    const auto named = std::filesystem::path(o.file).parent_path() / header("bs-list");
    if (std::filesystem::exists(named))
      flags.bsList = named.string();
    else
      missingList = named.string();
  }
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
  if (embeddedList) {
    try {
      output.stations =
          ParseStations(Unescaped(header("bs-list-data")), o.file + ": its station list");
    } catch (const std::exception& e) {
      throw CliError(kExitFile, e.what());
    }
    output.stationsLoaded = true;
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
  if (!missingList.empty())
    out.Warn("the station list " + missingList +
             " named by the recording is not there: no GPS check");
  // An export may go to standard output: the narration must not end up inside it.
  const auto note = [&](const std::string& line) {
    if (exporting)
      std::fprintf(stderr, "%s\n", line.c_str());
    else
      out.Note(line);
  };
  for (const std::string& n : capture.notes) note("# " + n);
  if ((!o.host.empty() || o.port != 0) && capture.connections.empty())
    out.Warn("--host and --port choose among a packet capture's connections; " + o.file +
             " records one session, shown whole");
  FrameSink sink(out);
  sink.followFinger = o.finger < 0;
  std::map<uint32_t, Stream> streams;
  // Each scanner's finger setting, as its scan modes set it (a capture may hold several).
  std::map<std::string, SentFrames> settings;
  std::map<std::string, int> finger;
  const int initialFinger = FingerTestFlag;
  std::string damage;
  auto add = [&](const std::string& what) { damage += (damage.empty() ? "" : ", ") + what; };
  size_t cutOff = 0;  // bytes of frames a connection's end left unfinished
  // A connection that ends takes its unfinished frame with it, as the library's cutter does.
  auto ended = [&](uint32_t connection) {
    auto it = streams.find(connection);
    if (it == streams.end()) return;
    cutOff += it->second.received.Pending();
    streams.erase(it);
  };
  for (const capture::Packet& p : capture.packets) {
    if (out.done()) break;
    Stream& stream = streams[p.connection];
    if (p.connection < capture.connections.size())
      stream.label = capture.connections[p.connection].scanner;
    if (p.direction == capture::Direction::kEvent) {
      if (p.event == capture::Event::kLinkLost || p.event == capture::Event::kLinkRestored) {
        out.Link(p.event == capture::Event::kLinkRestored, p.timeUs);
      } else if (p.channel == capture::Channel::kData) {
        // Bytes after a connection's start are a stream of their own, whatever came before.
        for (auto it = streams.begin(); it != streams.end();) {
          const bool earlier = capture.connections.empty() && it->first < p.connection;
          ++it;
          if (earlier) ended(std::prev(it)->first);
        }
        if (p.event == capture::Event::kConnectionEnds) ended(p.connection);
        note("# " + capture::EventName(p.event) + ": " +
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
      if (o.finger < 0 && sent.finger >= 0) finger[stream.label] = sent.finger;
      continue;
    }
    sink.timeUs = p.timeUs;
    out.SetConnection(stream.label);
    if (o.finger < 0) FingerTestFlag = finger.emplace(stream.label, initialFinger).first->second;
    for (size_t at = 0; at < p.bytes.size() && !out.done(); at += o.chunk) {
      const size_t n = std::min(o.chunk, p.bytes.size() - at);
      stream.received.Feed(p.bytes.data() + at, n, sink);
    }
    if (o.finger < 0) finger[stream.label] = FingerTestFlag;  // a scan mode reply may change it
  }
  out.SetConnection({});
  for (const std::string& w : capture.warnings) add(w);
  size_t pending = 0;
  for (const auto& [connection, stream] : streams) pending += stream.received.Pending();
  if (!out.done() && pending > 0)
    add("stream ends inside a frame (" + std::to_string(pending) + " bytes left over)");
  if (cutOff > 0)
    note("# " + std::to_string(cutOff) +
         " bytes of frames left unfinished where a connection ended (not decoded, as live)");
  if (sink.skipped > 0 || sink.oversized > 0)
    add(std::to_string(sink.skipped) + " bytes skipped, " + std::to_string(sink.oversized) +
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
