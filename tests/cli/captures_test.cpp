// The regression captures: each recorded stream decodes to the JSON Lines kept beside it, however
// the stream is cut into chunks. After a deliberate change: scripts/update-captures.sh.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "run_tool.h"

namespace scanlink::test {
namespace {

namespace fs = std::filesystem;

std::vector<fs::path> Captures() {
  std::vector<fs::path> out;
  for (const auto& e : fs::directory_iterator(SCANLINK_CAPTURES_DIR))
    if (e.path().extension() == ".scl") out.push_back(e.path());
  std::sort(out.begin(), out.end());
  return out;
}

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(Captures, EachDecodesToItsExpectedLinesInAnyChunking) {
  const auto captures = Captures();
  ASSERT_GE(captures.size(), 5u);
  for (const fs::path& capture : captures) {
    SCOPED_TRACE(capture.filename().string());
    fs::path expected = capture;
    expected.replace_extension(".jsonl");
    const std::string want = Slurp(expected);
    ASSERT_FALSE(want.empty()) << "no expected file; run scripts/update-captures.sh";
    // 1 byte at a time splits every header; 7 and 1000 split frames at odd places.
    for (const char* chunk : {"4096", "1", "7", "1000"}) {
      const ToolRun run = RunScanlink({"decode", "--json", "--chunk", chunk, capture.string()});
      EXPECT_EQ(run.status, 0) << run.err;
      EXPECT_EQ(run.out, want) << "chunk " << chunk << " (scripts/update-captures.sh rebuilds "
                               << "the expected files after a deliberate change)";
    }
  }
}

TEST(Captures, HeadersSayWhereTheyCameFrom) {
  for (const fs::path& capture : Captures()) {
    const std::string text = Slurp(capture);
    for (const char* key : {"# source: ", "# date: ", "# notes: "})
      EXPECT_NE(text.find(key), std::string::npos) << capture << " lacks " << key;
  }
}

// What the captures exercise: the GPS check on recorded bytes gives all three verdicts, and the
// finger fields are read only when the header says so.
TEST(Captures, TdCellCaptureCarriesEveryVerdictAndFingers) {
  const fs::path capture = fs::path(SCANLINK_CAPTURES_DIR) / "td-cells.scl";
  const ToolRun run = RunScanlink({"decode", "--json", capture.string()});
  ASSERT_EQ(run.status, 0) << run.err;
  auto count = [](const std::string& out) {
    std::map<std::string, int> verdicts;
    for (const auto& j : JsonLines(out)) {
      if (j["name"] != "TDCellReport") continue;
      ++verdicts["reports"];
      EXPECT_EQ(j["body"]["cells"].size(), j["body"]["count"].get<size_t>());
      for (const auto& c : j["body"]["cells"]) ++verdicts[c["verdict"].get<std::string>()];
    }
    return verdicts;
  };
  auto verdicts = count(run.out);
  EXPECT_GT(verdicts["reports"], 5);
  EXPECT_GT(verdicts["found"], 0);
  EXPECT_GT(verdicts["delay-mismatch"], 0);
  EXPECT_GT(verdicts["not-listed"], 0);
  EXPECT_EQ(verdicts.count("unchecked"), 0u);

  // A station list without a tolerance gets the tools' default, under which the cells with
  // true delays pass (the library's own 0 would fail every listed cell).
  std::string text = Slurp(capture);
  text.erase(text.find("# gps-limit: 5\n"), std::string("# gps-limit: 5\n").size());
  const std::string unlimited = TempPath("no-limit.scl");
  std::ofstream(unlimited, std::ios::binary) << text;
  const ToolRun defaulted = RunScanlink(
      {"decode", "--json", "--bs-list", SCANLINK_CAPTURES_DIR "/stations.csv", unlimited});
  ASSERT_EQ(defaulted.status, 0) << defaulted.err;
  EXPECT_EQ(count(defaulted.out), verdicts);
  std::remove(unlimited.c_str());

  // The finger fields come only from the capture's finger-test header: read without it, no
  // record may carry them.
  auto fingerValues = [](const std::string& out) {
    int nonZero = 0;
    for (const auto& j : JsonLines(out))
      if (j["name"] == "TDCellReport")
        for (const auto& c : j["body"]["cells"]) nonZero += c["fingerValue"] != 0;
    return nonZero;
  };
  EXPECT_GT(fingerValues(run.out), 0);
  const ToolRun plain = RunScanlink({"decode", "--json", "--finger", "0", capture.string()});
  ASSERT_EQ(plain.status, 0);
  EXPECT_EQ(fingerValues(plain.out), 0);
}

// A damaged recording still decodes what is whole and says what it could not use, on stderr in
// JSON mode so stdout stays JSON Lines.
TEST(Captures, DamagedStreamsDecodeWhatIsWholeAndSayWhatIsNot) {
  const fs::path capture = fs::path(SCANLINK_CAPTURES_DIR) / "td-sweep.scl";
  const std::string text = Slurp(capture);
  fs::path expected = capture;
  const auto want = Lines(Slurp(expected.replace_extension(".jsonl")));
  ASSERT_GT(want.size(), 2u);

  const std::string cut = TempPath("cut.scl");
  std::ofstream(cut, std::ios::binary) << text.substr(0, text.size() - 5);
  ToolRun run = RunScanlink({"decode", "--json", cut});
  EXPECT_EQ(run.status, 8);  // damaged: not a success, though all that is whole is shown
  EXPECT_EQ(Lines(run.out), std::vector<std::string>(want.begin(), want.end() - 1));
  EXPECT_NE(run.err.find("stream ends inside a frame"), std::string::npos) << run.err;

  // Bytes that are no frame, where a frame should start, are skipped and counted.
  const std::string junk = TempPath("junk.scl");
  std::ofstream(junk, std::ios::binary) << text << "garbage";
  run = RunScanlink({"decode", "--json", junk});
  EXPECT_EQ(run.status, 8);
  EXPECT_EQ(Lines(run.out), want);
  EXPECT_NE(run.err.find("7 bytes skipped"), std::string::npos) << run.err;

  // An empty file is an empty stream, not an error.
  const std::string empty = TempPath("empty.scl");
  std::ofstream(empty, std::ios::binary).flush();
  run = RunScanlink({"decode", empty});
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.out.empty());
  for (const auto& f : {cut, junk, empty}) std::remove(f.c_str());
}

// Texts from the scanner are bytes: one that is not UTF-8 is replaced in the text and kept in a
// hex field beside it, and every record is still shown.
TEST(Captures, ScannerTextsThatAreNotUtf8AreEscapedNotFatal) {
  const fs::path capture = fs::path(SCANLINK_CAPTURES_DIR) / "td-cells.scl";
  std::string text = Slurp(capture);
  const size_t at = text.find("$GPGGA", text.find("$GPGGA") + 1);
  ASSERT_NE(at, std::string::npos);
  text[at + 7] = '\xff';  // in the time field
  const std::string bad = TempPath("not-utf8.scl");
  std::ofstream(bad, std::ios::binary) << text;
  const ToolRun run = RunScanlink({"decode", "--json", bad});
  EXPECT_EQ(run.status, 0) << run.err;
  const auto lines = JsonLines(run.out);
  fs::path expected = capture;
  EXPECT_EQ(lines.size(), Lines(Slurp(expected.replace_extension(".jsonl"))).size());
  int escaped = 0;
  for (const auto& j : lines) {
    if (!j["body"].contains("gpsTextHex")) continue;
    ++escaped;
    EXPECT_NE(j["body"]["gpsText"].get<std::string>().find("\xEF\xBF\xBD"), std::string::npos);
    EXPECT_NE(j["body"]["gpsTextHex"].get<std::string>().find("ff"), std::string::npos);
  }
  EXPECT_EQ(escaped, 1);
  std::remove(bad.c_str());
}

// --count, --only and --quiet on a recording.
TEST(Captures, CountOnlyAndQuietChooseWhatIsShown) {
  const std::string capture = SCANLINK_CAPTURES_DIR "/td-cells.scl";
  ToolRun run = RunScanlink({"decode", "--json", "--count", "3", capture});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(JsonLines(run.out).size(), 3u);
  run = RunScanlink({"decode", "--json", "--only", "0xF025", "--only", "FamilyReply", capture});
  std::set<std::string> names;
  for (const auto& j : JsonLines(run.out)) names.insert(j["name"].get<std::string>());
  EXPECT_EQ(names, (std::set<std::string>{"FamilyReply", "TDCellReport"}));
  run = RunScanlink({"decode", "--only", "reply", capture});
  for (const std::string& line : Lines(run.out)) EXPECT_EQ(line.rfind("reply ", 0), 0u) << line;
  EXPECT_FALSE(Lines(run.out).empty());
  run = RunScanlink({"decode", "--quiet", capture});
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.out.empty()) << run.out;
}

// Each export format read back by its parser (tests/cli/export_check.py): its structure, and per
// report the position, levels, delays and verdicts `decode --json` shows, for a TD and a WCDMA
// drive and a value-list scan.
TEST(Captures, ExportsCarryEveryMeasurementAsDecoded) {
  for (const char* name : {"td-cells", "wcdma-cells", "td-values"}) {
    SCOPED_TRACE(name);
    const std::string capture = std::string(SCANLINK_CAPTURES_DIR "/") + name + ".scl";
    const ToolRun decode = RunScanlink({"decode", "--json", capture});
    ASSERT_EQ(decode.status, 0) << decode.err;
    size_t positioned = 0;
    for (const auto& j : JsonLines(decode.out))
      positioned +=
          j.contains("body") && j["body"].contains("position") && !j["body"]["position"].is_null();
    ASSERT_GT(positioned, 5u);
    const std::string decoded = TempPath("decoded.jsonl");
    std::ofstream(decoded) << decode.out;
    for (const char* format : {"csv", "csv-long", "geojson", "kml", "gpx"}) {
      SCOPED_TRACE(format);
      const std::string path = TempPath(std::string("export.") + format);
      const ToolRun run = RunScanlink({"export", "--format", format, capture, "-o", path});
      ASSERT_EQ(run.status, 0) << run.err;
      if (format == std::string("kml") || format == std::string("gpx")) {
        EXPECT_TRUE(WellFormedXml(path));
      }
      const ToolRun check =
          RunProgram("/usr/bin/python3", {SCANLINK_EXPORT_CHECK, decoded, format, path});
      EXPECT_EQ(check.status, 0) << check.err;
      EXPECT_EQ(check.out, std::to_string(positioned) + "\n");
      std::remove(path.c_str());
    }
    std::remove(decoded.c_str());
  }
  // Sweeps carry no position, and this recording no fix to place them by: said, and no success.
  const ToolRun sweeps =
      RunScanlink({"export", "--format", "geojson", SCANLINK_CAPTURES_DIR "/wcdma-sweep.scl", "-o",
                   TempPath("sweeps.geojson")});
  EXPECT_EQ(sweeps.status, 1);
  EXPECT_NE(sweeps.err.find("18 of 18 reports are not in the export"), std::string::npos)
      << sweeps.err;
  EXPECT_NE(sweeps.err.find("holds no report"), std::string::npos) << sweeps.err;
  std::remove(TempPath("sweeps.geojson").c_str());
}

}  // namespace
}  // namespace scanlink::test
