// The parts of scanlink that hold no connection: text parsing, argument checks, the record's
// JSON and text, the pictures.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <tuple>

#include "bs_list.h"
#include "console.h"
#include "exit_codes.h"
#include "export.h"
#include "gps_text.h"
#include "levels.h"
#include "live_server.h"
#include "live_view.h"
#include "operations.h"
#include "record_json.h"
#include "record_text.h"
#include "run_tool.h"
#include "sim_process.h"

namespace scanlink::cli {
namespace {

using test::TempPath;

std::string Write(const std::string& name, const std::string& content) {
  const std::string path = TempPath(name);
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

template <size_t N>
void SetText(char (&field)[N], const char* text) {
  std::memset(field, 0, N);
  std::memcpy(field, text, std::min(N, std::strlen(text)));
}

constexpr const char* kGga = "$GPGGA,120000.00,3954.0000,N,11624.0600,E,1,08,0.9,50.0,M,0.0,M,,*00";

TEST(GpsText, ReadsTheSentenceWithHemispheresAndRejectsWhatIsNotOne) {
  auto p = ParseGpsText(kGga, std::strlen(kGga));
  ASSERT_TRUE(p);
  EXPECT_NEAR(p->latitude, 39.9, 1e-9);
  EXPECT_NEAR(p->longitude, 116.401, 1e-9);
  const char* sw = "$GPGGA,1,3354.0000,S,07030.0000,W,1";
  p = ParseGpsText(sw, std::strlen(sw));
  ASSERT_TRUE(p);
  EXPECT_NEAR(p->latitude, -33.9, 1e-9);
  EXPECT_NEAR(p->longitude, -70.5, 1e-9);
  EXPECT_EQ(FormatPosition(*p), "33.900000S 70.500000W");
  for (const char* rmc :
       {"$GPRMC,120000.25,A,3954.0000,N,11624.0600,E,19.4,90.0,101226,,,A*00",
        "$GNRMC,1,A,3954.0000,N,11624.0600,E", "$GNGGA,1,3954.0000,N,11624.0600,E"}) {
    p = ParseGpsText(rmc, std::strlen(rmc));
    ASSERT_TRUE(p) << rmc;
    EXPECT_NEAR(p->longitude, 116.401, 1e-9) << rmc;
  }
  for (const char* bad :
       {"", "no fix", "$GPGGA,1,3961.0000,N,11624.0,E",  // 61 minutes
        "$GPGGA,1,39x4.0,N,11624.0,E", "$GPGGA,1,3954.0,Q,11624.0,E", "$GPGGA,1,3954.0,N,11624.0",
        "$GPGGA,1,-3954.0,N,11624.0,E", "$GPGGA,1,3954.0,N,11624.0,E,0,00",
        "$GPRMC,1,V,3954.0,N,11624.0,E", "$GPRMC,1,3954.0,N,11624.0,E", "x$GP"})
    EXPECT_FALSE(ParseGpsText(bad, std::strlen(bad))) << bad;
  // A field filled to the brim has no terminator: only its own bytes are read.
  char field[16];
  std::memcpy(field, "$GPGGA,1,3954.0", 16);
  EXPECT_FALSE(ParseGpsText(field, sizeof field));
}

TEST(StationList, LoadsTheSimulatorsFormatAndNamesTheLineItCannotRead) {
  const std::string good = Write("good.csv",
                                 "name,key1,key2,longitude,latitude\n# a comment\n\r\n"
                                 "North,10054,1,116.404,39.912\r\nEast,0x10,2,-1.5,-0.25\n");
  const auto stations = LoadStations(good);
  ASSERT_EQ(stations.size(), 2u);
  EXPECT_EQ(stations[1].key1, 16u);
  EXPECT_DOUBLE_EQ(stations[1].longitude, -1.5);
  const std::string bad = Write("bad.csv", "North,10054,1,116.404,39.912\nEast,1,2,3\n");
  try {
    LoadStations(bad);
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("bad.csv:2"), std::string::npos) << e.what();
  }
  for (const char* line : {"A,99999999999,1,1,1", "A,1,1,nan,1", "A,,1,1,1", "A,1,1,1,1,1"})
    EXPECT_THROW(LoadStations(Write("x.csv", std::string("h\n") + line + "\n")), std::runtime_error)
        << line;
  EXPECT_THROW(LoadStations(Write("x.csv", "h\n" + std::string(64, 'n') + ",1,1,1,1\n")),
               std::runtime_error)
      << "a name the library's field cannot hold";
  EXPECT_THROW(LoadStations(TempPath("missing.csv")), std::runtime_error);
  // Names longer than the record's field are cut and terminated.
  const auto info = ToCellInfo({{std::string(100, 'n'), 1, 2, 3, 4}});
  EXPECT_EQ(std::strlen(info[0].szName), sizeof info[0].szName - 1);
  std::remove(good.c_str());
  std::remove(bad.c_str());
}

TEST(Operations, ArgumentsAreCheckedBeforeAnythingIsSent) {
  const std::vector<std::vector<std::string>> good = {
      {"version"},
      {"td-cells", "10054/1,0xFFFFFFFF/65535", "1", "0", "0", "3"},
      {"w-mode", "4", "1", "2", "3", "4", "5", "6", "7", "8", "1", "-32768", "9", "10", "11", "12"},
      {"dpch", "1", "2", "3", "4", "5", "6", "7", "8", "00112233445566778899aabbccddeeff", ""},
      {"mac", "00-1a-2B-3c-4D-5e"},
      {"login", "fifteen-chars-x", "p"},
      {"raw", "0xF014", "00ff"}};
  for (const auto& words : good) EXPECT_NO_THROW(CheckOperation(words)) << words[0];
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"warp"},
      {"version", "extra"},
      {"td-cells"},
      {"td-cells", "10054"},
      {"td-cells", "10054/1/2"},
      {"td-cells", "4294967296/1"},
      {"td-cells", "-1/1"},
      {"td-cells", "12abc/1"},
      {"w-mode", "4", "1", "2", "3", "4", "5", "6", "7", "8", "2", "0", "9", "10", "11", "12"},
      {"w-mode", "4", "1", "2", "3", "4", "5", "6", "7", "8", "1", "32768", "9", "10", "11", "12"},
      {"dpch", "1", "2", "3", "4", "5", "6", "7", "8", "abc", "00"},
      {"dpch", "1", "2", "3", "4", "5", "6", "7", "8", std::string(34, '0'), "00"},
      {"mac", "00-1a-2B-3c-4D"},
      {"mac", "00-1a-2B-3c-4D-5g"},
      {"login", "sixteen-chars-xx", "p"},
      {"raw", "0x10000"},
      {"raw", "1", "abc"},
      {"td-freqs", std::string("1") + std::string(256 * 2, ',')}};
  for (const auto& words : bad) {
    try {
      CheckOperation(words);
      ADD_FAILURE() << "accepted: " << (words.empty() ? "(nothing)" : words[0]);
    } catch (const CliError& e) {
      EXPECT_EQ(e.code(), kExitUsage);
    }
  }
  // Every operation documents itself in --help.
  for (const Operation& op : Operations())
    EXPECT_NE(OperationsHelp().find(op.name), std::string::npos);
}

std::unique_ptr<CCmdManage> Record(uint16_t code, uint16_t trans = SCANLINK_TRANS_BROADCAST) {
  auto m = std::make_unique<CCmdManage>();
  m->nCode = code;
  m->nTransID = trans;
  return m;
}

TEST(RecordJson, TdCellVerdictsFollowTheMasksModulo32AndNeedAList) {
  auto m = Record(0xF025);
  _TDCellReport& r = m->body.tdCells;
  SetText(r.szGpsText, kGga);
  r.nCount = 40;
  for (int i = 0; i < 40; ++i) r.aRecords[i].nCellKey1 = 1000 + i;
  r.nFoundMask = 0b011;     // records 0, 1 (and 32, 33) found
  r.nMismatchMask = 0b010;  // record 1 (and 33) off
  r.aRecords[2].nMeasuredDelay = 0xFFFE;
  const auto j = RecordJson(*m, true);
  ASSERT_EQ(j["body"]["cells"].size(), 40u);
  const auto& cells = j["body"]["cells"];
  EXPECT_EQ(cells[0]["verdict"], "found");
  EXPECT_EQ(cells[1]["verdict"], "delay-mismatch");
  EXPECT_EQ(cells[2]["verdict"], "not-listed");
  EXPECT_EQ(cells[32]["verdict"], "found");
  EXPECT_EQ(cells[33]["verdict"], "delay-mismatch");
  EXPECT_EQ(cells[2]["measuredDelay"], -2);  // signed, as the GPS check reads it
  EXPECT_EQ(cells[39]["cellKey1"], 1039);
  EXPECT_NEAR(j["body"]["position"]["latitude"].get<double>(), 39.9, 1e-9);
  EXPECT_EQ(j["name"], "TDCellReport");
  EXPECT_EQ(j["codeHex"], "0xF025");
  EXPECT_EQ(j["kind"], "report");
  EXPECT_EQ(RecordJson(*m, false)["body"]["cells"][1]["verdict"], "unchecked");
  const std::string text = RecordText(*m, true);
  EXPECT_NE(text.find("delay disagrees with distance 1001/0 (0 raw) 1033/0 (0 raw)"),
            std::string::npos)
      << text;
  EXPECT_EQ(RecordText(*m, false).find("found"), std::string::npos);
}

TEST(RecordJson, SweepPointsComeFromTheDecodedLengthAndTextStaysInItsField) {
  auto m = Record(0xF026);
  m->body.sweep = {2010000, 2012000, 500, {}};
  for (int i = 0; i < 5; ++i) m->body.sweep.aPoints[i] = static_cast<uint16_t>(10 * i);
  m->nLength = 14 + 2 * 5;
  auto j = RecordJson(*m, false);
  EXPECT_EQ(j["body"]["pointCount"], 5);
  EXPECT_EQ(j["body"]["points"], nlohmann::json({0, 10, 20, 30, 40}));
  // Undeclared levels are labelled raw; a declared convention converts them.
  EXPECT_NE(RecordText(*m, false).find("peak 40 raw at 2012000"), std::string::npos);
  EXPECT_NE(RecordText(*m, false, {-150, "dBm"}).find("peak -110 dBm at 2012000"),
            std::string::npos);
  m->nLength = 3;  // shorter than a sweep's head: no points, no underflow
  EXPECT_EQ(RecordJson(*m, false)["body"]["points"].size(), 0u);

  auto v = Record(36);
  std::memset(v->body.valueList.szGpsText, 'x', sizeof v->body.valueList.szGpsText);
  v->body.valueList.nCount = 60;  // more than the record's 50 slots
  j = RecordJson(*v, false);
  EXPECT_EQ(j["body"]["gpsText"].get<std::string>().size(), 119u);
  EXPECT_TRUE(j["body"]["position"].is_null());
  EXPECT_EQ(j["body"]["values"].size(), size_t{SCANLINK_VALUE_SLOTS});
  auto c = Record(40);
  c->body.cellRecords.nCount = 1;
  c->body.cellRecords.aRecords[0].nEntryCount = 255;  // a caller's record: more than 6 slots
  j = RecordJson(*c, false);
  EXPECT_EQ(j["body"]["records"][0]["entries"].size(), size_t{SCANLINK_CELL_ENTRY_SLOTS});
}

// Texts are kept when they are UTF-8; anything else (stray bytes, cut sequences, overlong forms,
// surrogates) becomes U+FFFD with the raw bytes beside it, and the object still serialises.
TEST(RecordJson, ScannerTextsThatAreNotUtf8AreReplacedAndKeptAsHex) {
  const std::string kBad = "\xEF\xBF\xBD";
  const std::vector<std::tuple<std::string, std::string, bool>> cases = {
      {"plain $GPGGA", "plain $GPGGA", false},
      {"\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xA1",
       "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xA1", false},
      {"a\xFF"
       "b",
       "a" + kBad + "b", true},
      {"cut \xE2\x82", "cut " + kBad + kBad, true},
      {"\xC0\xAF", kBad + kBad, true},                        // overlong '/'
      {"\xED\xA0\x80", kBad + kBad + kBad, true},             // a surrogate
      {"\xF4\x90\x80\x80", kBad + kBad + kBad + kBad, true},  // above U+10FFFF
  };
  for (const auto& [text, shown, hex] : cases) {
    SCOPED_TRACE(text);
    auto m = Record(0xF02A);
    std::memcpy(m->body.gpsText.szGpsText, text.data(), text.size());
    const auto j = RecordJson(*m, false);
    EXPECT_EQ(j["body"]["gpsText"], shown);
    EXPECT_EQ(j["body"].contains("gpsTextHex"), hex);
    EXPECT_NO_THROW(j.dump());
  }
}

TEST(RecordJson, RepliesLinkNoticesAndUnknownCodesAreNamed) {
  auto login = Record(44, 1);
  login->body.family.nFamilyValue = 21;
  EXPECT_EQ(RecordJson(*login, false)["body"]["familyValue"], 21);
  EXPECT_EQ(RecordJson(*login, false)["kind"], "reply");
  EXPECT_NE(RecordText(*login, false).find("TD-SCDMA"), std::string::npos);
  auto ok = Record(0xF003, 2);
  EXPECT_EQ(RecordJson(*ok, false)["body"]["replyValue"], 0);
  auto link = Record(SCANLINK_CODE_LINK_STATUS);
  link->body.linkStatus.nStatusByte1 = SCANLINK_LINK_LOST;
  EXPECT_EQ(RecordJson(*link, false)["body"]["status"], "lost");
  EXPECT_EQ(RecordJson(*link, false)["kind"], "link");
  auto version = Record(0xF015, 3);
  std::memcpy(version->body.tdTwoBlock.byBlock1, "ABCDEFGH", 8);  // no terminator in the field
  EXPECT_EQ(RecordJson(*version, false)["body"]["block1"], "ABCDEFGH");
  auto unknown = Record(0x1234, 5);
  EXPECT_EQ(RecordJson(*unknown, false)["name"], "Code0x1234");
  EXPECT_TRUE(RecordJson(*unknown, false)["body"].empty());
}

std::atomic<int> g_interrupts{0};

// Ctrl-C and a termination request reach the callback and leave the process running; once
// released, both end the process again; a closed pipe is an error to the writer, not a signal.
// Reports without a position sit between the fixes around them in time; one with no fix close
// enough on both sides is counted, never placed by guess.
TEST(Export, UnpositionedReportsAreInterpolatedBetweenFixesOrCounted) {
  auto row = [](int64_t seconds, std::optional<Position> where) {
    ExportRow r;
    r.timeUs = seconds * 1'000'000;
    r.where = where;
    return r;
  };
  std::vector<ExportRow> rows = {row(10, Position{40.0, 116.0}), row(12, std::nullopt),
                                 row(20, Position{40.1, 116.2}), row(20, std::nullopt),
                                 row(5, std::nullopt),           row(100, Position{41, 117}),
                                 row(60, std::nullopt),          row(-1, std::nullopt)};
  rows[7].timeUs = -1;
  EXPECT_EQ(PlaceRows(rows), 3u);  // before the first fix, 80 s between fixes, no time
  ASSERT_TRUE(rows[1].where && rows[1].interpolated);
  EXPECT_NEAR(rows[1].where->latitude, 40.02, 1e-9);
  EXPECT_NEAR(rows[1].where->longitude, 116.04, 1e-9);
  EXPECT_NEAR(rows[3].where->latitude, 40.1, 1e-9);  // at a fix's own time
  EXPECT_FALSE(rows[0].interpolated);
  for (int i : {4, 6, 7}) EXPECT_FALSE(rows[static_cast<size_t>(i)].where) << i;
}

TEST(Levels, TheConventionComesFromTheHeaderAndRawIsNeverAUnit) {
  const LevelConvention dbm =
      LevelConvention::FromHeader({{"level-offset", "-150"}, {"level-unit", "dBm"}});
  EXPECT_EQ(dbm.Text(40), "-110 dBm");
  std::map<std::string, std::string> header;
  dbm.WriteHeader(header);
  EXPECT_EQ(header["level-offset"], "-150");
  EXPECT_EQ(LevelConvention::FromHeader({{"level-offset", "-150"}}).Text(40), "40 raw");
  EXPECT_EQ(LevelConvention::FromHeader({{"level-unit", "raw"}, {"level-offset", "3"}}).Text(40),
            "40 raw");
  EXPECT_THROW(LevelConvention::FromHeader({{"level-unit", "dBm"}, {"level-offset", "-1x"}}),
               std::invalid_argument);
}

TEST(Console, InterruptsAreCaughtOnlyWhileAskedAndBrokenPipesAreErrors) {
  g_interrupts = 0;
  CatchInterrupt([] { ++g_interrupts; });
  std::raise(SIGINT);
  std::raise(SIGTERM);
  EXPECT_EQ(g_interrupts, 2);
  ReleaseInterrupt();
  for (int sig : {SIGINT, SIGTERM}) {
    const auto previous = std::signal(sig, SIG_DFL);
    EXPECT_EQ(previous, SIG_DFL) << sig;
  }

  IgnoreBrokenPipe();
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  errno = 0;
  EXPECT_EQ(::write(fds[1], "x", 1), -1);
  EXPECT_EQ(errno, EPIPE);
  ::close(fds[1]);
  std::signal(SIGPIPE, SIG_DFL);
}

// Status lines and colours only on a terminal: a file or a pipe gets plain text.
TEST(Console, FilesAndPipesAreNoTerminal) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  EXPECT_FALSE(IsTerminal(file));
  std::fclose(file);
  std::FILE* pipe = ::popen("true", "r");
  ASSERT_NE(pipe, nullptr);
  EXPECT_FALSE(IsTerminal(pipe));
  ::pclose(pipe);
}

TEST(SimProcess, TemporaryFoldersAreNewEmptyAndPrivate) {
  namespace fs = std::filesystem;
  const fs::path a = MakeTempFolder("scanlink-unit"), b = MakeTempFolder("scanlink-unit");
  EXPECT_NE(a, b);
  for (const fs::path& p : {a, b}) {
    EXPECT_TRUE(fs::is_directory(p)) << p;
    EXPECT_TRUE(fs::is_empty(p)) << p;
    EXPECT_EQ(fs::status(p).permissions() & (fs::perms::group_all | fs::perms::others_all),
              fs::perms::none)
        << p;
    EXPECT_NE(p.filename().string().find("scanlink-unit"), std::string::npos);
    fs::remove(p);
  }
}

TEST(LiveView, CellsCarryStationDistanceAndDelayInTheDeclaredUnit) {
  // 39.9N 116.401E; one station about 1 km north of it.
  LiveView view({{"N", 1001, 0, 116.401, 39.909}}, true, {-150, "dBm"}, "live");
  auto m = Record(0xF025);
  _TDCellReport& r = m->body.tdCells;
  SetText(r.szGpsText, kGga);
  r.nCount = 2;
  r.aRecords[0] = {1001, 0, {}, 16, 0, {}};  // 4 chips
  r.aRecords[1] = {2002, 7, {}, 0xFFFC, 0, {}};
  for (uint16_t& v : r.aRecords[0].aCellValues) v = 60;
  r.nFoundMask = 0b01;
  view.Record(*m, 1000000);
  const auto batch = view.Batch(1000000);
  ASSERT_TRUE(batch);
  const auto& rows = (*batch)["cells"]["rows"];
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]["cell"], "1001/0");
  EXPECT_EQ(rows[0]["level"], -90.0);
  EXPECT_EQ(rows[0]["delayChips"], 4.0);
  EXPECT_EQ(rows[0]["delayM"], 938.0);
  EXPECT_EQ(rows[0]["station"], 0);
  EXPECT_NEAR(rows[0]["distM"].get<double>(), 1000, 5);
  EXPECT_EQ(rows[0]["verdict"], "found");
  EXPECT_EQ(rows[1]["delayChips"], -1.0);  // signed, as the GPS check reads it
  EXPECT_FALSE(rows[1].contains("station"));
  EXPECT_EQ(rows[1]["verdict"], "not-listed");
  EXPECT_EQ((*batch)["point"][2], -90.0);  // the best cell colours the route
  EXPECT_EQ(view.Snapshot(1000000)["levelUnit"], "dBm");
}

TEST(LiveView, BatchesOnlyNewsButALostLinkAlwaysShows) {
  LiveView view({}, false, {}, "live");
  EXPECT_TRUE(view.Batch(0));
  EXPECT_FALSE(view.Batch(500000));  // nothing new: no batch within the second
  EXPECT_TRUE(view.Batch(1000000));  // but the status once a second
  view.Link(false, 1100000);
  view.Link(true, 1150000);  // back before the batch went out
  EXPECT_EQ((*view.Batch(1200000))["link"], "down");
  EXPECT_EQ((*view.Batch(1300000))["link"], "up");
  auto sweep = Record(0xF026);
  sweep->body.sweep = {2010000, 2010400, 200, {40, 41, 42}};
  sweep->nLength = 14 + 2 * 3;
  view.Record(*sweep, 1400000);
  const auto batch = view.Batch(1400000);
  EXPECT_EQ((*batch)["sweep"]["levels"], nlohmann::json::array({40.0, 41.0, 42.0}));
  EXPECT_FALSE(batch->contains("point"));
}

TEST(LiveServer, ServeAddressIsAPortWithAnOptionalDottedQuad) {
  EXPECT_EQ(ParseServeAddress("8080").address, "127.0.0.1");
  EXPECT_EQ(ParseServeAddress("0.0.0.0:80").address, "0.0.0.0");
  EXPECT_EQ(ParseServeAddress("10.1.2.3:0").port, 0);
  for (const char* bad : {"", "x", "65536", "host:80", "1.2.3:80", ":80", "1.2.3.4:", "-1"})
    EXPECT_THROW(ParseServeAddress(bad), CliError) << bad;
}

// A page that stops reading is dropped once it falls behind; the others go on being served.
TEST(LiveServer, AStreamThatDoesNotReadIsDroppedAndNeverHoldsUpTheOthers) {
  LiveServer server({{"127.0.0.1", 0}, "live", "", ""});
  const int port = std::stoi(server.Url().substr(17));
  auto open = [&](int receiveBuffer) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const std::string request = "GET /events HTTP/1.1\r\n\r\n";
    EXPECT_EQ(::send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
    return fd;
  };
  const int stalled = open(4096), reader = open(1 << 20);
  for (int i = 0; i < 200 && !server.Waiting(); ++i) usleep(10000);
  ASSERT_TRUE(server.Waiting());
  const std::string batch(100000, 'x');
  size_t read = 0;
  char buffer[65536];
  for (int i = 0; i < 40; ++i) {
    server.Publish(batch, [] { return std::string("{}"); });
    // The reader keeps up; the stalled one does not read at all.
    for (ssize_t n; (n = ::recv(reader, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) read += n;
    usleep(20000);
  }
  for (int idle = 0; idle < 500 && read < 39 * batch.size();) {
    const ssize_t n = ::recv(reader, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0)
      read += static_cast<size_t>(n);
    else
      usleep(10000), ++idle;
  }
  EXPECT_GE(read, 39 * batch.size());
  // The stalled stream ends (after what was already on its way).
  ssize_t n = 0;
  size_t stalledRead = 0;
  for (int idle = 0; idle < 500;) {
    n = ::recv(stalled, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0) break;
    if (n > 0) stalledRead += static_cast<size_t>(n);
    if (n < 0) usleep(10000), ++idle;
  }
  EXPECT_EQ(n, 0);
  EXPECT_LT(stalledRead, 30 * batch.size());
  ::close(stalled);
  ::close(reader);
}

// The server's poll failing (here: more descriptors than the process may have) is not silent.
TEST(LiveServer, APollFailureIsReportedNotSwallowed) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // Their runtimes open descriptors of their own to check memory; with none left they report
  // sound objects as broken.
  GTEST_SKIP() << "not under a sanitizer";
#endif
  LiveServer server({{"127.0.0.1", 0}, "live", "", ""});
  EXPECT_EQ(server.Failed(), "");
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit one = saved;
  one.rlim_cur = 1;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &one), 0);
  for (int i = 0; i < 500 && server.Failed().empty(); ++i) usleep(10000);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(server.Failed().rfind("poll: ", 0), 0u) << server.Failed();
}

}  // namespace
}  // namespace scanlink::cli
