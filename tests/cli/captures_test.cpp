// The regression captures: each recorded stream decodes to the JSON Lines kept beside it, however
// the stream is cut into chunks. After a deliberate change: scripts/update-captures.sh.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
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
  std::map<std::string, int> verdicts;
  int reports = 0;
  for (const auto& j : JsonLines(run.out)) {
    if (j["name"] != "TDCellReport") continue;
    ++reports;
    ASSERT_EQ(j["body"]["cells"].size(), j["body"]["count"].get<size_t>());
    for (const auto& c : j["body"]["cells"]) ++verdicts[c["verdict"].get<std::string>()];
  }
  EXPECT_GT(reports, 5);
  EXPECT_GT(verdicts["found"], 0);
  EXPECT_GT(verdicts["delay-mismatch"], 0);
  EXPECT_GT(verdicts["not-listed"], 0);
  EXPECT_EQ(verdicts["unchecked"], 0);

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
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(Lines(run.out), std::vector<std::string>(want.begin(), want.end() - 1));
  EXPECT_NE(run.err.find("stream ends inside a frame"), std::string::npos) << run.err;

  // Bytes that are no frame, where a frame should start, are skipped and counted.
  const std::string junk = TempPath("junk.scl");
  std::ofstream(junk, std::ios::binary) << text << "garbage";
  run = RunScanlink({"decode", "--json", junk});
  EXPECT_EQ(run.status, 0);
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

}  // namespace
}  // namespace scanlink::test
