// Where decoded records go: readable lines or JSON Lines on stdout, the pictures, the exports,
// and a tally for summaries. Used by every subcommand that receives records.
#pragma once

#include <scanlink/scanlink.h>

#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "bs_list.h"
#include "export.h"
#include "gps_text.h"
#include "levels.h"
#include "verdict.h"

namespace scanlink::cli {

struct OutputOptions {
  bool json = false;
  bool quiet = false;                    // no record lines (summaries and errors still)
  long count = 0;                        // stop after this many shown records; 0: no limit
  std::vector<std::string> only;         // show only these kinds, codes or names; empty: all
  std::string exportFormat, exportPath;  // export, when set
  bool stationsLoaded = false;           // verdicts of TD cell reports mean something
  std::vector<Station> stations;
  int gpsLimit = -1;       // the GPS check's tolerance in chips as applied, -1 none
  LevelConvention levels;  // what the level fields mean
};

struct Tally {
  std::map<uint16_t, int> reports;  // by code
  int replies = 0;
  int linkNotices = 0;
  int connectFalse = 0, connectTrue = 0;
  int found = 0, notListed = 0, mismatched = 0;
  long shown = 0;
  std::optional<Position> lastPosition;
  size_t exported = 0, unplaced = 0;  // of the export: reports written, left without a position
  int64_t lastPositionUs = -1;        // when it arrived
  std::string battery;                // the last battery reply, "value1/value2"
};

// Throws CliError(kExitUsage) for a --only item that is no kind, code or name.
void CheckOnly(const std::vector<std::string>& only);

// One report's measurements as the exports carry them: each cell, channel or sweep point with
// its raw level, and for TD cells the delay, the distance from the report's position to the
// listed station and the verdict. Nothing for a frame that measures nothing.
std::optional<ExportRow> Measured(const CCmdManage& m, int64_t timeUs,
                                  const std::vector<Station>& stations, bool stationsLoaded);

class RecordOutput {
 public:
  explicit RecordOutput(OutputOptions options, FILE* out = stdout);

  // timeUs: when it arrived (UTC microseconds), -1 unknown.
  void Record(const CCmdManage& record, int64_t timeUs = -1);
  void Link(bool connected, int64_t timeUs = -1);
  // The connection the next records came on ("address:port"; empty: one connection, unnamed).
  void SetConnection(const std::string& label) { connection_ = label; }
  // The tool's own narration; in JSON mode it goes to stderr so stdout stays JSON Lines.
  void Note(const std::string& line);
  // Something the user must know about the data (damage, a setting that does not fit): on
  // stderr, "scanlink: warning: ..." or in JSON mode an object of kind "warning".
  void Warn(const std::string& message);
  // An error that does not end the run at once: "scanlink: ..." or an object of kind "error".
  void Error(const std::string& message, int status);
  // A summary line: readable text, or in JSON mode an object of kind "summary" on stdout.
  void Summary(const std::string& text, const nlohmann::ordered_json& fields);
  // Writes the export asked for; empty on success, else the error. Reports left without a
  // position are counted in a warning.
  std::string Finish();
  // After Finish: why the export holds no report, when it holds none (a failure of the run).
  std::optional<std::string> EmptyExport() const;

  // The reader went away (a closed pipe) or --count records were shown: time to stop.
  bool done() const { return closed_ || (options_.count > 0 && tally_.shown >= options_.count); }
  bool closed() const { return closed_; }
  const Tally& tally() const { return tally_; }
  // What came on one connection: its records, replies, reports and verdicts (empty if none).
  const Tally& tally(const std::string& connection) const;
  const OutputOptions& options() const { return options_; }

 private:
  void Collect(const CCmdManage& record, int64_t timeUs);
  bool Shown(const CCmdManage* record);
  void Put(FILE* to, const std::string& line);

  OutputOptions options_;
  FILE* out_;
  bool closed_ = false;
  std::set<std::string> onlyKinds_;
  std::set<uint16_t> onlyCodes_;
  Tally tally_;
  std::map<std::string, Tally> byConnection_;
  std::vector<ExportRow> rows_;
  std::string connection_;
};

}  // namespace scanlink::cli
