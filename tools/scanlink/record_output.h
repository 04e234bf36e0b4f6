// Where decoded records go: readable lines or JSON Lines on stdout, the pictures, and a tally
// for summaries. Used by every subcommand that receives records.
#pragma once

#include <scanlink/scanlink.h>

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bs_list.h"
#include "svg.h"

namespace scanlink::cli {

struct OutputOptions {
  bool json = false;
  std::string plotPath;         // sweep plot, when set
  std::string mapPath;          // route map, when set
  bool stationsLoaded = false;  // verdicts of TD cell reports mean something
  std::vector<Station> stations;
};

struct Tally {
  std::map<uint16_t, int> reports;  // by code
  int replies = 0;
  int linkNotices = 0;
  int connectFalse = 0, connectTrue = 0;
  int found = 0, notListed = 0, mismatched = 0;
  std::optional<Position> lastPosition;
};

class RecordOutput {
 public:
  explicit RecordOutput(OutputOptions options, FILE* out = stdout);

  void Record(const CCmdManage& record);
  void Link(bool connected);
  // The tool's own narration; in JSON mode it goes to stderr so stdout stays JSON Lines.
  void Note(const std::string& line);
  // Writes the pictures asked for; empty on success, else the error.
  std::string Finish();

  const Tally& tally() const { return tally_; }
  const OutputOptions& options() const { return options_; }

 private:
  void Collect(const CCmdManage& record);

  OutputOptions options_;
  FILE* out_;
  Tally tally_;
  std::vector<SweepTrace> sweeps_;
  std::vector<RouteReport> route_;
};

}  // namespace scanlink::cli
