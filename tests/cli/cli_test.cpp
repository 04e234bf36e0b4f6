// scanlink end to end against the simulator, in a network namespace of each test's own.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <map>
#include <set>

#include "run_tool.h"
#include "sim_peer.h"

namespace scanlink::test {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A simulator on 127.0.0.1 with the fixed alarm port, for the client-side subcommands.
class AgainstSimulator : public ::testing::Test {
 protected:
  void Start(std::vector<std::string> args) {
    args.insert(args.end(), {"--bind", "127.0.0.1", "--port", "0", "--alarm-port", "8050"});
    ASSERT_TRUE(sim_.start(args));
    port_ = std::to_string(sim_.data_port());
  }
  std::vector<std::string> Connect(std::vector<std::string> args) {
    args.insert(args.begin() + 1, {"--host", "127.0.0.1", "--port", port_});
    return args;
  }

  SimPeer sim_;
  std::string port_;
};

TEST(Demo, EndsByItselfShowingReportsVerdictsAndARecoveredLink) {
  const ToolRun run = RunScanlink({"demo", "--seconds", "1.5"}, 40s);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_LT(run.seconds, 20);
  EXPECT_TRUE(run.err.empty()) << run.err;
  EXPECT_NE(run.out.find("family value 21 (TD-SCDMA)"), std::string::npos);
  EXPECT_GE(Count(run.out, "report TDCellReport"), 4);
  for (const char* verdict :
       {"found 100", "delay disagrees with distance 100", "not in the list 200"})
    EXPECT_NE(run.out.find(verdict), std::string::npos) << verdict;
  // Lost, told, rebuilt, told: status notices and ConnectMsg both ways, in that order.
  const size_t lost = run.out.find("link lost"), down = run.out.find("ConnectMsg           false");
  const size_t restored = run.out.find("link restored"),
               up = run.out.find("ConnectMsg           true");
  ASSERT_NE(lost, std::string::npos);
  ASSERT_NE(down, std::string::npos);
  ASSERT_NE(restored, std::string::npos);
  ASSERT_NE(up, std::string::npos);
  EXPECT_LT(lost, restored);
  EXPECT_LT(down, up);
  EXPECT_NE(run.out.find("TDVersion"), std::string::npos);
  EXPECT_NE(run.out.find("Battery"), std::string::npos);
  EXPECT_NE(run.out.find("StopTDScanResult"), std::string::npos);
  EXPECT_NE(run.out.find("1 loss, 1 reconnection"), std::string::npos);
  // Not a terminal: no colour codes.
  EXPECT_EQ(run.out.find('\033'), std::string::npos);
}

TEST(Demo, JsonLinesAndMapAgree) {
  const std::string map = TempPath("demo-map.svg");
  const ToolRun run = RunScanlink({"demo", "--seconds", "1", "--json", "--map", map}, 40s);
  ASSERT_EQ(run.status, 0) << run.err;
  int positioned = 0, connects = 0;
  std::set<std::string> verdicts;
  for (const Json& j : JsonLines(run.out)) {
    if (j["kind"] == "connect") {
      ++connects;
      continue;
    }
    for (const char* key : {"kind", "code", "codeHex", "name", "trans", "length", "body"})
      EXPECT_TRUE(j.contains(key)) << key << " missing in " << j.dump();
    if (j["name"] == "TDCellReport") {
      ++positioned;
      const Json& b = j["body"];
      EXPECT_EQ(b["cells"].size(), b["count"].get<size_t>());
      EXPECT_TRUE(b["position"].is_object());
      for (const Json& c : b["cells"]) {
        verdicts.insert(c["verdict"].get<std::string>());
        for (const char* key :
             {"cellKey1", "cellKey2", "cellValues", "measuredDelay", "fingerValue", "fingers"})
          EXPECT_TRUE(c.contains(key)) << key;
        EXPECT_EQ(c["fingers"].size(), 4u);
      }
    }
  }
  EXPECT_EQ(connects, 2);
  EXPECT_EQ(verdicts, (std::set<std::string>{"found", "delay-mismatch", "not-listed"}));
  ASSERT_TRUE(WellFormedXml(map));
  EXPECT_EQ(XPath(map, "string(//*[local-name()='polyline'][@class='route']/@data-points)"),
            std::to_string(positioned));
  EXPECT_EQ(XPath(map, "count(//*[local-name()='circle'][@class='report'])"),
            std::to_string(positioned));
  EXPECT_EQ(XPath(map, "count(//*[local-name()='rect'][@class='station'])"), "6");
  std::remove(map.c_str());
}

TEST_F(AgainstSimulator, MonitorPrintsSweepsAsJsonAndPlotsThem) {
  Start({"--family", "11", "--rate", "20"});
  const std::string plot = TempPath("plot.svg");
  const ToolRun run =
      RunScanlink(Connect({"monitor", "--json", "--seconds", "1", "--plot", plot, "--scan",
                           "w-mode 4 2110000 2112000 100 0 0 0 0 0 0 0 0 0 0 0"}));
  ASSERT_EQ(run.status, 0) << run.err;
  int sweeps = 0;
  for (const Json& j : JsonLines(run.out)) {
    if (j["name"] != "SweepReport") continue;
    ++sweeps;
    const Json& b = j["body"];
    EXPECT_EQ(b["start"], 2110000);
    EXPECT_EQ(b["step"], 100);
    EXPECT_EQ(b["pointCount"], 21);
    EXPECT_EQ(b["points"].size(), 21u);
  }
  EXPECT_GE(sweeps, 5);
  // The scan was started, then stopped before closing.
  EXPECT_TRUE(sim_.wait_for(SimPeer::command(4), 2s));
  EXPECT_TRUE(sim_.wait_for(SimPeer::command(7), 2s));
  ASSERT_TRUE(WellFormedXml(plot));
  EXPECT_EQ(XPath(plot, "count(//*[local-name()='polyline'][@class='sweep'])"),
            std::to_string(sweeps));
  const std::string points =
      XPath(plot, "string(//*[local-name()='polyline'][@class='sweep'][1]/@points)");
  EXPECT_EQ(Count(points, ","), 21) << points;
  EXPECT_NE(XPath(plot, "string(//*[local-name()='text'][@class='x-title'])").find("frequency"),
            std::string::npos);
  std::remove(plot.c_str());
}

// Ctrl-C: the scan is stopped and the link closed before the program ends, with status 0.
TEST_F(AgainstSimulator, MonitorStopsAndClosesOnInterrupt) {
  Start({"--family", "21", "--rate", "50"});
  const Started monitor =
      StartProgram(SCANLINK_TOOL_PATH, Connect({"monitor", "--json", "--scan", "td-search"}));
  ASSERT_TRUE(sim_.wait_for(SimPeer::sent(0xF025), 10s));
  const size_t mark = sim_.mark();
  ::kill(monitor.pid, SIGINT);
  const ToolRun run = Finish(monitor, 20s);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(sim_.wait_for(SimPeer::command(0xF007), 2s, mark));
  EXPECT_TRUE(sim_.wait_for("data-closed", 2s, mark));
  // Every line written before the interrupt is whole JSON.
  EXPECT_FALSE(JsonLines(run.out).empty());
}

TEST_F(AgainstSimulator, QueryAsksForVersionModeAndBattery) {
  Start({"--family", "21"});
  const ToolRun run = RunScanlink(Connect({"query"}));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("TDVersion"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("TDScanMode"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Battery"), std::string::npos) << run.out;
}

// Every operation reaches the scanner as the command it names.
TEST_F(AgainstSimulator, SendReachesEveryOperation) {
  Start({"--family", "21"});
  const std::vector<std::pair<std::vector<std::string>, int>> cases = {
      {{"version"}, 0xF014},
      {{"mode"}, 0xF00A},
      {{"battery"}, 0xF030},
      {{"start"}, 0xF004},
      {{"stop"}, 0xF007},
      {{"reset"}, 0xF012},
      {{"login", "field", "secret"}, 43},
      {{"change-password", "field", "newer"}, 46},
      {{"ip", "10.1.2.3"}, 81},
      {{"mac", "00-1a-2B-3c-4D-5e"}, 84},
      {{"gps-format", "1", "2"}, 0xF040},
      {{"w-mode", "4", "1", "2", "3", "4", "5", "6", "7", "8", "1", "-2", "9", "10", "11", "12"},
       1},
      {{"w-freqs", "1", "2", "3", "10700,10725"}, 1},
      {{"w-cells", "1", "2", "3", "100/1,200/2"}, 1},
      {{"td-cells", "10054/1,10055/2", "1"}, 0xF001},
      {{"td-freqs", "10054,10055"}, 0xF001},
      {{"td-search"}, 0xF001},
      {{"td-sa", "2010000", "2012000", "1", "100", "1", "-3", "4", "5"}, 0xF001},
      {{"td-cw", "1", "2", "3", "4"}, 0xF001},
      {{"dpch", "1", "2", "3", "4", "5", "6", "7", "8", "0102", "ff"}, 0xF001},
      {{"hsdpa", "1", "2", "3", "4", "5", "6", "7", "8", "00", "00"}, 0xF001},
      {{"hsupa", "1", "2", "3", "4", "5", "6", "7", "8", "00", "00"}, 0xF001},
      {{"mbms", "1", "2", "3", "4", "5", "6", "7", "00", "00"}, 0xF001},
      {{"raw", "0xF014"}, 0xF014},
  };
  for (const auto& [words, code] : cases) {
    SCOPED_TRACE(words[0]);
    const size_t mark = sim_.mark();
    // Logged in, the library knows the family and picks the TD codes.
    std::vector<std::string> args{"send"};
    args.insert(args.end(), words.begin(), words.end());
    const ToolRun run = RunScanlink(Connect(args));
    EXPECT_EQ(run.status, 0) << run.err;
    const auto got = sim_.wait_for(SimPeer::command(static_cast<uint16_t>(code)), 3s, mark);
    ASSERT_TRUE(got);
    EXPECT_FALSE((*got).contains("problems")) << got->dump();
  }
  // Arguments arrive in their fields, e.g. the TD cell list and its finger-test byte.
  const auto cells = sim_.wait_for(
      [](const Json& e) {
        return e["event"] == "command" && e["code"] == 0xF001 && e["fields"]["mode"] == 1 &&
               e["fields"]["count"] == 2;
      },
      1s);
  ASSERT_TRUE(cells);
  EXPECT_EQ((*cells)["fields"]["fingerTest"], 1);
  EXPECT_EQ((*cells)["fields"]["entries"][1]["first"], 10055);
}

TEST_F(AgainstSimulator, RefusedLoginIsOneLineAndItsOwnStatus) {
  Start({"--family", "21"});
  ASSERT_TRUE(sim_.control("answer off"));
  const ToolRun run = RunScanlink(Connect({"query", "--timeout", "0.5"}));
  EXPECT_EQ(run.status, 4);
  EXPECT_EQ(Lines(run.err).size(), 1u) << run.err;
  EXPECT_NE(run.err.find("login as 'admin' refused"), std::string::npos) << run.err;
}

TEST(Errors, BadArgumentsAndUnreachableHostsAndFilesGiveOneLineAndAStatus) {
  const std::string missing = TempPath("no-such-file");
  const std::string bad = TempPath("bad.csv");
  std::ofstream(bad) << "name,key1,key2,longitude,latitude\nA,1,2,east,north\n";
  const std::vector<std::pair<std::vector<std::string>, int>> cases = {
      {{}, 2},
      {{"fly"}, 2},
      {{"monitor"}, 2},  // --host missing
      {{"monitor", "--host", "127.0.0.1", "--port", "70000"}, 2},
      {{"send", "--host", "127.0.0.1", "warp"}, 2},            // unknown operation
      {{"send", "--host", "127.0.0.1", "td-cells", "12"}, 2},  // KEY/PARAM expected
      {{"send", "--host", "127.0.0.1", "mac", "00-11"}, 2},
      {{"send", "--host", "127.0.0.1", "mac", "00-11-22-33-44-5g"}, 2},
      {{"send", "--host", "127.0.0.1", "login", "a-name-longer-than-15", "x"}, 2},
      {{"send", "--host", "127.0.0.1", "w-mode", "1"}, 2},  // argument count
      {{"monitor", "--host", "127.0.0.1", "--scan", "td-cells 1/x"}, 2},
      {{"monitor", "--host", "127.0.0.1", "--port", "5999"}, 3},  // nothing listens
      {{"query", "--host", "127.0.0.1", "--port", "5999"}, 3},
      {{"decode", missing}, 5},
      {{"decode", "--bs-list", bad, SCANLINK_CAPTURES_DIR "/td-sweep.scl"}, 5},
      {{"decode", "--plot", "/nonexistent-dir/p.svg", SCANLINK_CAPTURES_DIR "/td-sweep.scl"}, 5},
      {{"demo", "--sim", missing}, 5},
  };
  for (const auto& [args, status] : cases) {
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    SCOPED_TRACE(shown);
    const ToolRun run = RunScanlink(args, 20s);
    EXPECT_EQ(run.status, status) << run.err;
    ASSERT_EQ(Lines(run.err).size(), 1u) << run.err;
    EXPECT_EQ(run.err.rfind("scanlink: ", 0), 0u) << run.err;
  }
  std::remove(bad.c_str());
}

TEST(Errors, HelpDocumentsTheExitStatuses) {
  const ToolRun run = RunScanlink({"--help"});
  EXPECT_EQ(run.status, 0);
  for (const char* text : {"demo", "monitor", "query", "send", "decode", "Exit status", "4  login"})
    EXPECT_NE(run.out.find(text), std::string::npos) << text;
  const ToolRun send = RunScanlink({"send", "--help"});
  EXPECT_NE(send.out.find("td-cells CELL/PARAM"), std::string::npos) << send.out;
}

}  // namespace
}  // namespace scanlink::test
