// scanlink end to end against the simulator, in a network namespace of each test's own.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <thread>

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

// "2026-12-09T19:20:31.123Z": UTC, milliseconds, and within a minute of now.
bool RecentTime(const std::string& text) {
  static const std::regex kIso(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
  if (!std::regex_match(text, kIso)) return false;
  std::tm t{};
  t.tm_year = std::stoi(text.substr(0, 4)) - 1900;
  t.tm_mon = std::stoi(text.substr(5, 2)) - 1;
  t.tm_mday = std::stoi(text.substr(8, 2));
  t.tm_hour = std::stoi(text.substr(11, 2));
  t.tm_min = std::stoi(text.substr(14, 2));
  t.tm_sec = std::stoi(text.substr(17, 2));
  return std::abs(std::difftime(::timegm(&t), std::time(nullptr))) < 60;
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

TEST(Demo, JsonLines) {
  const ToolRun run = RunScanlink({"demo", "--seconds", "1", "--json"}, 40s);
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
  EXPECT_GT(positioned, 0);
}

TEST_F(AgainstSimulator, MonitorPrintsSweepsAsJson) {
  Start({"--family", "11", "--rate", "20"});
  // A station list means nothing to a WCDMA scanner: no GPS check in the summary.
  const std::string stations = TempPath("stations.csv");
  std::ofstream(stations) << "North,10054,1,116.404,39.912\n";
  const ToolRun run = RunScanlink(Connect(
      {"monitor", "--json", "--seconds", "1", "--bs-list", stations, "--level-offset", "-150",
       "--level-unit", "dBm", "--scan", "w-mode 4 2110000 2112000 100 0 0 0 0 0 0 0 0 0 0 0"}));
  std::remove(stations.c_str());
  ASSERT_EQ(run.status, 0) << run.err;
  int sweeps = 0;
  const auto lines = JsonLines(run.out);
  ASSERT_FALSE(lines.empty());
  for (const Json& j : lines) {
    // Every line says when it arrived.
    EXPECT_TRUE(RecentTime(j.value("time", ""))) << j.dump();
    if (j.value("name", "") != "SweepReport") continue;
    ++sweeps;
    const Json& b = j["body"];
    EXPECT_EQ(b["start"], 2110000);
    EXPECT_EQ(b["step"], 100);
    EXPECT_EQ(b["pointCount"], 21);
    EXPECT_EQ(b["points"].size(), 21u);
    EXPECT_EQ(b["levelUnit"], "dBm");
    EXPECT_EQ(b["levels"][3].get<int>(), b["points"][3].get<int>() - 150);
  }
  EXPECT_GE(sweeps, 5);
  // The run ends with its counters.
  const Json& summary = lines.back();
  EXPECT_EQ(summary["kind"], "summary");
  EXPECT_GE(summary["reports"].get<int>(), sweeps);
  EXPECT_GE(summary["framesReceived"].get<int>(), sweeps);
  EXPECT_EQ(summary["shown"].get<size_t>(), lines.size() - 1);
  EXPECT_FALSE(summary.contains("found")) << summary.dump();
  // The scan was started, then stopped before closing.
  EXPECT_TRUE(sim_.wait_for(SimPeer::command(4), 2s));
  EXPECT_TRUE(sim_.wait_for(SimPeer::command(7), 2s));
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

// A reader that goes away ('| head -1') ends monitor as Ctrl-C does: the scan stopped, the link
// closed, status 0; in text and in JSON.
TEST_F(AgainstSimulator, MonitorEndsWhenItsReaderGoesAway) {
  Start({"--family", "21", "--rate", "50"});
  for (const char* json : {"", "--json"}) {
    SCOPED_TRACE(json);
    const size_t mark = sim_.mark();
    std::string command = "set -o pipefail; timeout 20 " SCANLINK_TOOL_PATH;
    for (const std::string& a : Connect({"monitor", "--scan", "td-search"})) command += " " + a;
    const ToolRun run =
        RunProgram("/bin/bash", {"-c", command + " " + json + " | head -1 >/dev/null"}, 30s);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_LT(run.seconds, 15);
    EXPECT_TRUE(sim_.wait_for(SimPeer::command(0xF007), 2s, mark));
    EXPECT_TRUE(sim_.wait_for("data-closed", 2s, mark));
  }
}

// A scanner left in finger mode: plain monitor learns it from the scanner's scan mode, so the
// TD cell records read as sent; a --finger that disagrees is warned about.
TEST_F(AgainstSimulator, MonitorReadsCellsAsTheScannersFingerModeSays) {
  Start({"--family", "21", "--rate", "20"});
  ASSERT_EQ(RunScanlink(Connect({"send", "td-cells", "10054/1,10055/2", "1"})).status, 0);
  auto cellKeys = [](const ToolRun& run) {
    std::set<int> keys;
    for (const Json& j : JsonLines(run.out))
      if (j.value("name", "") == "TDCellReport")
        for (const Json& c : j["body"]["cells"]) keys.insert(c["cellKey1"].get<int>());
    return keys;
  };
  const ToolRun plain = RunScanlink(Connect({"monitor", "--json", "--seconds", "1"}));
  EXPECT_EQ(plain.status, 0) << plain.err;
  EXPECT_EQ(cellKeys(plain), (std::set<int>{10054, 10055}));
  const ToolRun forced =
      RunScanlink(Connect({"monitor", "--json", "--seconds", "0.5", "--finger", "0"}));
  EXPECT_NE(forced.err.find("finger test on"), std::string::npos) << forced.err;
}

// How a run ends is its status: a stop without reply is 6, a link down at the end is 3.
TEST_F(AgainstSimulator, MonitorFailsWhenTheStopIsUnansweredOrTheLinkIsDown) {
  Start({"--family", "21", "--rate", "20"});
  Started monitor = StartProgram(
      SCANLINK_TOOL_PATH,
      Connect({"monitor", "--seconds", "1.5", "--timeout", "0.5", "--scan", "td-search"}));
  ASSERT_TRUE(sim_.wait_for(SimPeer::sent(0xF025), 10s));
  ASSERT_TRUE(sim_.control("answer off"));
  ToolRun run = Finish(monitor, 20s);
  EXPECT_EQ(run.status, 6) << run.err;
  EXPECT_NE(run.err.find("no reply to StopScanData"), std::string::npos) << run.err;
  ASSERT_TRUE(sim_.control("answer on"));

  const size_t mark = sim_.mark();
  monitor = StartProgram(SCANLINK_TOOL_PATH,
                         Connect({"monitor", "--seconds", "1.5", "--scan", "td-search"}));
  ASSERT_TRUE(sim_.wait_for(SimPeer::sent(0xF025), 10s, mark));
  sim_.stop();
  run = Finish(monitor, 30s);
  EXPECT_EQ(run.status, 3) << run.err;
  EXPECT_NE(run.err.find("link was down at the end"), std::string::npos) << run.err;
}

// A datagram to the discard port in the file shows that what went before it is captured too
// (UDP: not a connection the reader could take for the scanner's).
void WaitCaptured(const std::string& sniffed) {
  const int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in discard{};
  discard.sin_family = AF_INET;
  discard.sin_port = htons(9);
  discard.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  auto size = [&] {
    std::error_code ec;
    const auto n = std::filesystem::file_size(sniffed, ec);
    return ec ? 0 : n;
  };
  const auto before = size();
  for (auto until = std::chrono::steady_clock::now() + 10s;
       std::chrono::steady_clock::now() < until && size() <= before + 64;) {
    ::sendto(probe, "x", 1, 0, reinterpret_cast<const sockaddr*>(&discard), sizeof discard);
    std::this_thread::sleep_for(20ms);
  }
  ::close(probe);
}

// The records of JSON Lines output without their times, by connection label; link notices left
// out (the library's own, or the recording's). Replies too with reportsOnly: a request answered
// twice shows both in a capture but only the first live.
std::map<std::string, std::vector<std::string>> RecordsByConnection(const std::string& out,
                                                                    bool reportsOnly = false) {
  std::map<std::string, std::vector<std::string>> kept;
  for (Json j : JsonLines(out)) {
    if (!j.contains("code") || j["code"] == 0xFFEE) continue;
    if (reportsOnly && j["kind"] != "report") continue;
    const std::string label = j.value("connection", "");
    j.erase("time");
    j.erase("connection");
    kept[label].push_back(j.dump());
  }
  return kept;
}

// What monitor showed live is what decode shows of its recording and of a packet capture of
// the same session (dumpcap on lo), each record with its receive time.
TEST_F(AgainstSimulator, RecordingsAndPacketCapturesDecodeToWhatWasSeenLive) {
  Start({"--family", "21", "--rate", "20"});
  const std::string sniffed = TempPath("sniffed.pcapng"), recorded = TempPath("drive.pcapng");
  const Started dumpcap = StartProgram("/usr/bin/dumpcap", {"-q", "-i", "lo", "-w", sniffed});
  auto captured = [&] { WaitCaptured(sniffed); };
  captured();
  const std::string layer = TempPath("drive.geojson");
  const ToolRun live =
      RunScanlink(Connect({"monitor", "--json", "--seconds", "1", "--record", recorded, "--export",
                           "geojson:" + layer, "--scan", "td-cells 10054/1,10055/2 1"}));
  ASSERT_EQ(live.status, 0) << live.err;
  captured();
  ::kill(dumpcap.pid, SIGINT);
  Finish(dumpcap, 10s);

  // Records without their times (and a capture's connection labels); the library's own link
  // notices are not on the wire.
  std::set<std::string> labels;
  auto records = [&labels](const std::string& out, std::vector<std::string>* times) {
    std::vector<std::string> kept;
    for (Json j : JsonLines(out)) {
      if (!j.contains("code") || j["code"] == 0xFFEE) continue;
      if (times) times->push_back(j.value("time", ""));
      if (times) labels.insert(j.value("connection", ""));
      j.erase("time");
      j.erase("connection");
      kept.push_back(j.dump());
    }
    return kept;
  };
  const auto seen = records(live.out, nullptr);
  ASSERT_GT(seen.size(), 5u);
  // The live export has a feature per positioned report shown.
  size_t positioned = 0;
  for (const std::string& r : seen) {
    const Json body = Json::parse(r)["body"];
    positioned += body.contains("position") && !body["position"].is_null();
  }
  std::ifstream layerFile(layer);
  const Json features = Json::parse(layerFile, nullptr, false);
  ASSERT_TRUE(features.is_object());
  EXPECT_EQ(features["features"].size(), positioned);
  for (const std::string& file : {recorded, sniffed}) {
    SCOPED_TRACE(file);
    const ToolRun run = RunScanlink({"decode", "--json", file});
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<std::string> times;
    const auto decoded = records(run.out, &times);
    // Reports that crossed the stop are on the wire but were not waited for.
    ASSERT_GE(decoded.size(), seen.size());
    EXPECT_LE(decoded.size(), seen.size() + 5);
    EXPECT_EQ(std::vector<std::string>(decoded.begin(), decoded.begin() + seen.size()), seen);
    for (const std::string& t : times) EXPECT_TRUE(RecentTime(t)) << t;
  }
  // A packet capture names the scanner each record came from; our recording has one scanner.
  EXPECT_EQ(labels, (std::set<std::string>{"", "127.0.0.1:" + port_}));
  // The recording's times reach the KML, in the schema's element order.
  const std::string kml = TempPath("drive.kml"), decoded = TempPath("drive.jsonl");
  ASSERT_EQ(RunScanlink({"export", "--format", "kml", recorded, "-o", kml}).status, 0);
  std::ofstream(decoded) << RunScanlink({"decode", "--json", recorded}).out;
  const ToolRun check =
      RunProgram("/usr/bin/python3", {SCANLINK_EXPORT_CHECK, decoded, "kml", kml});
  EXPECT_EQ(check.status, 0) << check.err;
  EXPECT_EQ(XPath(kml, "count(//*[local-name()='Placemark'][*[local-name()='TimeStamp']])"),
            XPath(kml, "count(//*[local-name()='Point'])"));
  for (const auto& f : {sniffed, recorded, layer, kml, decoded}) std::remove(f.c_str());
}

// A connection reset in the middle of a frame: the recording holds each connection as a stream
// of its own, so decoding shows what was seen live and nothing more, with the link's loss and
// return; the station list travels in the file, so a moved recording decodes the same verdicts.
TEST_F(AgainstSimulator, ARecordingAcrossAReconnectionDecodesToWhatWasSeenLive) {
  Start({"--family", "21", "--rate", "40"});
  const std::string folder = TempPath("reconnect");
  std::filesystem::create_directories(folder + "/moved");
  const std::string stations = folder + "/stations.csv", recorded = folder + "/drive.pcapng";
  std::ofstream(stations) << "name,key1,key2,longitude,latitude\nA,10054,1,116.4,39.9\n";
  const size_t mark = sim_.mark();
  const Started monitor = StartProgram(
      SCANLINK_TOOL_PATH,
      Connect({"monitor", "--json", "--seconds", "3", "--record", recorded, "--bs-list", stations,
               "--gps-limit", "64", "--scan", "td-cells 10054/1,10055/2 1"}));
  ASSERT_TRUE(sim_.wait_for(SimPeer::sent(0xF025), 10s, mark));
  ASSERT_TRUE(sim_.control("reset-mid-frame"));
  ASSERT_TRUE(sim_.wait_for("data-connected", 10s, sim_.mark()));
  const ToolRun live = Finish(monitor, 30s);
  ASSERT_EQ(live.status, 0) << live.err;
  const auto seen = RecordsByConnection(live.out)[""];
  ASSERT_GT(seen.size(), 5u);

  std::filesystem::rename(recorded, folder + "/moved/drive.pcapng");
  std::filesystem::remove(stations);
  const ToolRun run = RunScanlink({"decode", "--json", folder + "/moved/drive.pcapng"});
  EXPECT_EQ(run.status, 0) << run.err;  // no bytes skipped, no phantom frame
  const auto decoded = RecordsByConnection(run.out)[""];
  ASSERT_GE(decoded.size(), seen.size());
  EXPECT_LE(decoded.size(), seen.size() + 5);  // reports that crossed the stop
  EXPECT_EQ(std::vector<std::string>(decoded.begin(), decoded.begin() + seen.size()), seen);
  EXPECT_EQ(Count(run.out, R"("connected":false)"), 1) << run.out.substr(0, 2000);
  EXPECT_EQ(Count(run.out, R"("connected":true)"), 1);
  EXPECT_EQ(Count(run.out, R"("verdict":"found")"), Count(live.out, R"("verdict":"found")"));
  EXPECT_GT(Count(run.out, R"("verdict":"found")"), 0);
  // Readable output says where each connection began and ended.
  const ToolRun text = RunScanlink({"decode", folder + "/moved/drive.pcapng"});
  EXPECT_EQ(Count(text.out, "# connection begins"), 2) << text.out.substr(0, 2000);
  std::filesystem::remove_all(folder);
}

// A disk that fills during a drive (a file size limit stands in for it): the session goes on,
// the user is told, and the recording keeps every whole unit written before.
TEST_F(AgainstSimulator, ARecordingThatFillsTheDiskKeepsWhatItWrote) {
  Start({"--family", "21", "--rate", "40"});
  const std::string recorded = TempPath("full.pcapng");
  std::string command = "trap '' XFSZ; ulimit -f 40; exec " SCANLINK_TOOL_PATH;
  for (const std::string& a : Connect({"monitor", "--json", "--quiet", "--seconds", "2", "--record",
                                       recorded, "--scan", "td-search"}))
    command += " " + a;
  const ToolRun live = RunProgram("/bin/sh", {"-c", command});
  EXPECT_EQ(live.status, 5) << live.err;
  EXPECT_NE(live.err.find("the recording stopped: cannot write " + recorded), std::string::npos)
      << live.err;
  const Json summary = JsonLines(live.out).back();
  const ToolRun decoded = RunScanlink({"decode", "--json", recorded});
  EXPECT_EQ(decoded.status, 0) << decoded.err;
  const size_t kept = RecordsByConnection(decoded.out, true)[""].size();
  EXPECT_GT(kept, 10u);
  EXPECT_GT(summary["reports"].get<size_t>(), kept + 20) << "the session went on";
  std::remove(recorded.c_str());
}

// Two scanners in one monitor: each record labelled with its own scanner, each scanner's bytes
// in a recording of its own that decodes to what was seen of it live, a summary each.
TEST_F(AgainstSimulator, MonitorOfTwoScannersKeepsEachApart) {
  Start({"--family", "21", "--rate", "20"});
  SimPeer other;
  ASSERT_TRUE(other.start({"--family", "11", "--rate", "20", "--bind", "127.0.0.2", "--port", "0",
                           "--alarm-port", "8050"}));
  const std::string td = "127.0.0.1:" + port_,
                    wcdma = "127.0.0.2:" + std::to_string(other.data_port());
  const std::string recorded = TempPath("two.pcapng");
  const ToolRun live = RunScanlink(
      {"monitor", "--json", "--seconds", "1", "--host", td, "--host", wcdma, "--record", recorded});
  ASSERT_EQ(live.status, 0) << live.err;
  const auto seen = RecordsByConnection(live.out, true);
  ASSERT_EQ(seen.size(), 2u);
  std::set<std::string> summaries;
  for (const Json& j : JsonLines(live.out))
    if (j["kind"] == "summary") summaries.insert(j["scanner"].get<std::string>());
  EXPECT_EQ(summaries, (std::set<std::string>{td, wcdma}));
  const std::string stem = recorded.substr(0, recorded.size() - 7);
  for (const auto& [label, tdFamily] : {std::pair{td, true}, {wcdma, false}}) {
    SCOPED_TRACE(label);
    const auto& mine = seen.at(label);
    ASSERT_GT(mine.size(), 3u);
    // Only its own scanner's family: TD codes are named TD...
    for (const std::string& r : mine)
      EXPECT_EQ(Json::parse(r)["name"].get<std::string>().rfind("TD", 0) == 0, tdFamily) << r;
    std::string file = label;
    file[file.find(':')] = '-';
    const ToolRun decoded = RunScanlink({"decode", "--json", stem + "-" + file + ".pcapng"});
    EXPECT_EQ(decoded.status, 0) << decoded.err;
    const auto streams = RecordsByConnection(decoded.out, true);
    ASSERT_EQ(streams.size(), 1u);
    const auto& replayed = streams.begin()->second;
    ASSERT_GE(replayed.size(), mine.size());
    EXPECT_EQ(std::vector<std::string>(replayed.begin(), replayed.begin() + mine.size()), mine);
    std::remove((stem + "-" + file + ".pcapng").c_str());
  }
}

// A tcpdump capture of two scanners and an unrelated connection: one labelled stream per
// scanner, each what its own session saw live; the unrelated one is passed over with a note.
TEST_F(AgainstSimulator, ACaptureOfTwoScannersDecodesIntoTwoLabelledStreams) {
  Start({"--family", "21", "--rate", "20"});
  SimPeer other;
  ASSERT_TRUE(other.start({"--family", "11", "--rate", "20", "--bind", "127.0.0.2", "--port", "0",
                           "--alarm-port", "8050"}));
  const std::string otherPort = std::to_string(other.data_port());
  const std::string sniffed = TempPath("two.pcapng");
  const Started dumpcap = StartProgram("/usr/bin/dumpcap", {"-q", "-i", "lo", "-w", sniffed});
  WaitCaptured(sniffed);
  // Not this protocol: a web server and its client.
  const int server = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in web{};
  web.sin_family = AF_INET;
  web.sin_addr.s_addr = htonl(0x7F000003);
  ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&web), sizeof web), 0);
  ASSERT_EQ(::listen(server, 1), 0);
  socklen_t length = sizeof web;
  ::getsockname(server, reinterpret_cast<sockaddr*>(&web), &length);
  const int client = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&web), sizeof web), 0);
  const int accepted = ::accept(server, nullptr, nullptr);
  ASSERT_GT(::send(client, "GET / HTTP/1.1\r\n\r\n", 18, 0), 0);
  ASSERT_GT(::send(accepted, "HTTP/1.1 200 OK\r\n\r\nU\x01", 21, 0), 0);
  for (int fd : {client, accepted, server}) ::close(fd);

  const Started td = StartProgram(
      SCANLINK_TOOL_PATH, Connect({"monitor", "--json", "--seconds", "1", "--scan", "td-search"}));
  const ToolRun wcdma = RunScanlink(
      {"monitor", "--json", "--seconds", "1", "--host", "127.0.0.2", "--port", otherPort});
  const ToolRun tdRun = Finish(td, 30s);
  ASSERT_EQ(tdRun.status, 0) << tdRun.err;
  ASSERT_EQ(wcdma.status, 0) << wcdma.err;
  WaitCaptured(sniffed);
  ::kill(dumpcap.pid, SIGINT);
  Finish(dumpcap, 10s);

  const ToolRun run = RunScanlink({"decode", "--json", sniffed});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("not scanlink, passed over"), std::string::npos) << run.err;
  const auto streams = RecordsByConnection(run.out, true);
  const std::string tdLabel = "127.0.0.1:" + port_, wcdmaLabel = "127.0.0.2:" + otherPort;
  ASSERT_EQ(streams.size(), 2u) << run.out.substr(0, 1000);
  for (const auto& [label, live] : {std::pair{tdLabel, tdRun.out}, {wcdmaLabel, wcdma.out}}) {
    SCOPED_TRACE(label);
    const auto seen = RecordsByConnection(live, true)[""];
    ASSERT_GT(seen.size(), 3u);
    ASSERT_TRUE(streams.count(label));
    const auto& decoded = streams.at(label);
    ASSERT_GE(decoded.size(), seen.size());
    EXPECT_LE(decoded.size(), seen.size() + 5);
    EXPECT_EQ(std::vector<std::string>(decoded.begin(), decoded.begin() + seen.size()), seen);
  }
  // Chosen by address and port, as a capture filter would.
  const ToolRun one =
      RunScanlink({"decode", "--json", "--host", "127.0.0.2", "--port", otherPort, sniffed});
  EXPECT_EQ(one.status, 0) << one.err;
  EXPECT_EQ(
      RecordsByConnection(one.out, true),
      (std::map<std::string, std::vector<std::string>>{{wcdmaLabel, streams.at(wcdmaLabel)}}));
  // The live page shows one scanner: chosen, or the two named.
  const ToolRun both = RunScanlink({"view", "--serve", "18090", "--seconds", "0.1", sniffed});
  EXPECT_EQ(both.status, 2);
  EXPECT_NE(both.err.find(tdLabel + ", " + wcdmaLabel), std::string::npos) << both.err;
  const ToolRun chosen = RunScanlink({"view", "--serve", "18090", "--seconds", "0.1", "--host",
                                      "127.0.0.2", "--port", otherPort, sniffed});
  EXPECT_EQ(chosen.status, 0) << chosen.err;
  // The export to standard output is the table alone, each row with its scanner.
  const ToolRun csv = RunScanlink({"export", "--format", "csv", sniffed});
  EXPECT_EQ(csv.status, 0) << csv.err;
  const auto rows = Lines(csv.out);
  ASSERT_GT(rows.size(), 5u);
  EXPECT_NE(rows[0].find(",\"connection\","), std::string::npos) << rows[0];
  for (size_t i = 1; i < rows.size(); ++i) {
    const bool td = rows[i].find(",\"" + tdLabel + "\",") != std::string::npos;
    const bool wcdma = rows[i].find(",\"" + wcdmaLabel + "\",") != std::string::npos;
    EXPECT_TRUE(td != wcdma) << rows[i];
  }
  // A replay plays one scanner: it has to be chosen.
  const ToolRun mixed =
      RunProgram(SimPeer::program(), {"--replay", sniffed, "--port", "0", "--alarm-port", "0"});
  EXPECT_EQ(mixed.status, 1);
  EXPECT_NE(mixed.err.find("choose one with --replay-host"), std::string::npos) << mixed.err;
  SimPeer replay;
  EXPECT_TRUE(replay.start({"--replay", sniffed, "--replay-host", "127.0.0.2", "--bind",
                            "127.0.0.4", "--port", "0", "--alarm-port", "0"}));
  std::remove(sniffed.c_str());
}

TEST_F(AgainstSimulator, QueryAsksForVersionModeAndBattery) {
  Start({"--family", "21"});
  const ToolRun run = RunScanlink(Connect({"query"}));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("TDVersion"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("TDScanMode"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Battery"), std::string::npos) << run.out;
  // Each line starts with its receive time.
  for (const std::string& line : Lines(run.out))
    EXPECT_TRUE(RecentTime(line.substr(0, line.find(' ')))) << line;
  // The scan mode is answered twice (its data, then its result); the library drops the second,
  // and the tool says so.
  EXPECT_NE(run.err.find("1 more reply to mode arrived after the first"), std::string::npos)
      << run.err;
}

// A scanner that is scanning sends reports all the while: only the replies are shown, the
// reports are counted.
TEST_F(AgainstSimulator, QueryOfAScanningScannerShowsOnlyTheReplies) {
  Start({"--family", "21", "--rate", "100"});
  ASSERT_TRUE(sim_.control("start td"));
  const ToolRun run = RunScanlink(Connect({"query"}));
  ASSERT_EQ(run.status, 0) << run.err;
  for (const char* reply : {"TDVersion", "TDScanMode", "Battery"})
    EXPECT_NE(run.out.find(reply), std::string::npos) << run.out;
  EXPECT_EQ(Count(run.out, "report "), 0) << run.out;
  EXPECT_EQ(Count(run.out, "reports of the running scan not shown"), 1) << run.out;
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
  // Without a login reply the family is the caller's to give.
  for (const auto& [family, code] : {std::pair<const char*, int>{"td", 0xF014}, {"wcdma", 20}}) {
    const size_t mark = sim_.mark();
    const ToolRun run = RunScanlink(Connect({"send", "--no-login", "--family", family, "version"}));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(sim_.wait_for(SimPeer::command(static_cast<uint16_t>(code)), 3s, mark)) << family;
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
  std::string cells = "1/1";
  for (int i = 2; i <= 169; ++i) cells += "," + std::to_string(i) + "/1";  // one too many
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
      {{"decode", "--export", "csv:/nonexistent-dir/p.csv", SCANLINK_CAPTURES_DIR "/td-sweep.scl"},
       5},
      {{"demo", "--sim", missing}, 7},
      {{"monitor", "--host", "not-an-ip"}, 2},
      {{"query", "--host", "10.1.2.256"}, 2},
      {{"send", "--host", "127.0.0.1", "ip", "300.1.2.3"}, 2},
      {{"send", "--host", "127.0.0.1", "ip", "1.2.3"}, 2},
      {{"send", "--host", "127.0.0.1", "ip", "1.2.3.4."}, 2},
      {{"send", "--host", "127.0.0.1", "ip", "1.2.3.04"}, 2},  // refused before connecting
      {{"send", "--host", "127.0.0.1", "td-cells", cells}, 2},
      {{"monitor", "--host", "127.0.0.1", "--user", "a-name-longer-than-15"}, 2},
      {{"query", "--host", "127.0.0.1", "--password", "a-secret-longer-than-15"}, 2},
      {{"send", "--host", "127.0.0.1", "--family", "td", "version"}, 2},  // needs --no-login
      {{"monitor", "--host", "127.0.0.1", "--only", "weather"}, 2},
      {{"monitor", "--host", "127.0.0.1", "--export", "shp:out.shp"}, 2},
      {{"monitor", "--host", "127.0.0.1", "--host", "127.0.0.1:5000"}, 2},  // the same twice
      {{"monitor", "--host", "127.0.0.1", "--host", "127.0.0.2", "--no-login"}, 2},
      {{"monitor", "--host", "127.0.0.1:0"}, 2},
      {{"export", "--format", "pdf", SCANLINK_CAPTURES_DIR "/td-sweep.scl"}, 2},
      {{"decode", "/tmp"}, 5},
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

// Under --json an error is one JSON object on stderr, with the status.
TEST(Errors, UnderJsonAnErrorIsAJsonObject) {
  const ToolRun run = RunScanlink({"decode", "--json", TempPath("no-such-file")});
  EXPECT_EQ(run.status, 5);
  const auto lines = JsonLines(run.err);
  ASSERT_EQ(lines.size(), 1u) << run.err;
  EXPECT_EQ(lines[0]["kind"], "error");
  EXPECT_EQ(lines[0]["status"], 5);
  EXPECT_NE(lines[0]["message"].get<std::string>().find("no-such-file"), std::string::npos);
}

TEST(Errors, HelpDocumentsTheExitStatuses) {
  const ToolRun run = RunScanlink({"--help"});
  EXPECT_EQ(run.status, 0);
  for (const char* text : {"demo", "monitor", "query", "send", "decode", "Exit status", "4  login"})
    EXPECT_NE(run.out.find(text), std::string::npos) << text;
  const ToolRun send = RunScanlink({"send", "--help"});
  EXPECT_NE(send.out.find("td-cells CELL/PARAM"), std::string::npos) << send.out;
  EXPECT_NE(send.out.find("drops the second"), std::string::npos) << send.out;
  const ToolRun version = RunScanlink({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("scanlink 1.", 0), 0u) << version.out;
}

}  // namespace
}  // namespace scanlink::test
