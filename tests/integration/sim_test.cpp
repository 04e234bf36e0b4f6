// The library against the scanner simulator: login and family, a TD scan with the GPS check,
// and faults the simulator injects on purpose.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "capture/capture.h"
#include "integration/test_support.h"
#include "scanlink/scanlink.h"
#include "sim_peer.h"
#include "transport/library_state.h"

using namespace std::chrono_literals;
using scanlink::test::RecordingModule;
using scanlink::test::SimPeer;
using scanlink::transport::LoadGlobal;
using Events = std::vector<std::string>;

namespace {

// A file name of this run only: two runs at once never share a file in the temporary folder.
std::string RunName(const std::string& name) {
  static const std::string run =
      std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
  return "scanlink-" + run + "-" + name;
}

class TdCellCollector : public RecordingModule {
 public:
  void ProcPcCommMsg(CCmdManage& m) override {
    if (m.nCode == 0xF025) {
      std::lock_guard<std::mutex> lock(mutex);
      const _TDCellReport& r = m.body.tdCells;
      for (int i = 0; i < r.nCount; ++i) {
        const uint32_t bit = 1u << (i % 32);
        cells.push_back({r.aRecords[i].nCellKey1, (r.nFoundMask & bit) != 0,
                         (r.nMismatchMask & bit) != 0, r.aRecords[i].nFingerValue});
      }
    }
    RecordingModule::ProcPcCommMsg(m);
  }
  struct Cell {
    uint32_t key1;
    bool found, mismatch;
    uint32_t finger;
  };
  std::mutex mutex;
  std::vector<Cell> cells;
};

class WithSimulator : public ::testing::Test {
 protected:
  void Start(std::vector<std::string> args) {
    scanlink::test::ResetGlobals();
    args.insert(args.end(), {"--port", "5000", "--quiet"});
    ASSERT_TRUE(sim.start(args));
    std::strcpy(gHostAddr, "127.0.0.1");
    nTcpPort = sim.data_port();
    client = std::make_unique<CMyPcCommSocketClient>();
    ASSERT_TRUE(client->ClientRegisterModule(&module, 1));
    ASSERT_EQ(client->ClientInitPcComm(), 0);
    ASSERT_TRUE(sim.wait_for("data-connected", 2s));
  }
  void TearDown() override {
    if (client) {
      client->ExitConnection();
      client->ClientRegisterModule(&module, 0);
      client.reset();
    }
    sim.stop();
  }
  int Login() {
    char user[16] = "admin", password[16] = "secret";
    return client->LoginScaner(user, password);
  }

  void Stop() {
    TearDown();
    client.reset();
  }

  SimPeer sim;
  std::unique_ptr<CMyPcCommSocketClient> client;
  TdCellCollector module;
};

TEST_F(WithSimulator, LoginSetsTheFamilyAndLaterCommandsUseIt) {
  Start({"--family", "22"});
  const int t = Login();
  ASSERT_NE(t, 0);
  ASSERT_TRUE(module.WaitMessages(1, 2s));
  EXPECT_EQ(module.Messages()[0].code, 44);
  EXPECT_EQ(module.Messages()[0].trans, t);
  EXPECT_EQ(LoadGlobal(nScannerType), 2);
  EXPECT_EQ(LoadGlobal(TDorWCDMAConfig), 2);

  ASSERT_NE(client->GetScanerVersion(), 0);
  ASSERT_NE(client->GetScanMode(), 0);
  ASSERT_TRUE(sim.wait_for(SimPeer::command(0xF014), 2s));
  ASSERT_TRUE(sim.wait_for(SimPeer::command(0xF00A), 2s));
  ASSERT_TRUE(module.WaitMessages(3, 2s));
  auto login = sim.wait_for(SimPeer::command(43), 1s);
  ASSERT_TRUE(login);
  EXPECT_EQ((*login)["module"], 20);
  EXPECT_EQ((*login)["trans"], t);
}

TEST_F(WithSimulator, TdScanReportsMarkListedCellsAndTheirMismatches) {
#if defined(_WIN32)
  // The simulator is a native program: a path relative to the shared working folder is one
  // both sides read alike.
  const std::string list = "sim-stations.csv";
#else
  // A name of its own: a "stations.csv" left in the temporary folder is what other files'
  // relative station lists would find there.
  const std::string list = testing::TempDir() + RunName("sim-test-stations.csv");
#endif
  {
    std::ofstream out(list);
    out << "name,key1,key2,longitude,latitude\n";
    for (int i = 1; i <= 8; ++i) {
      out << "bs" << i << "," << 1000 + i << "," << i << "," << 116.40 + 0.01 * i << ","
          << 39.90 + 0.005 * i << "\n";
    }
  }
  Start({"--family", "21", "--bs-list", list, "--delay-error", "40", "--bad-cell-every", "2",
         "--rate", "50"});
  _BSCellInfo stations[8] = {};
  for (int i = 1; i <= 8; ++i) {
    std::snprintf(stations[i - 1].szName, sizeof stations[i - 1].szName, "bs%d", i);
    stations[i - 1].nCellKey1 = 1000 + i;
    stations[i - 1].nCellKey2 = i;
    stations[i - 1].dLongitude = 116.40 + 0.01 * i;
    stations[i - 1].dLatitude = 39.90 + 0.005 * i;
  }
  ASSERT_EQ(client->SetBSList(stations, 8), 8);
  ASSERT_EQ(client->SetGpsMismatchLimit(3), 12);
  ASSERT_NE(Login(), 0);
  ASSERT_TRUE(module.WaitMessages(1, 2s));
  // A cell search: the simulator reports the listed stations in turn, with finger fields.
  ASSERT_NE(client->SetTDCellSearchScanMode(1, 2, 3, 4, 5, 0, true), 0);
  ASSERT_NE(client->StartScanData(), 0);
  ASSERT_TRUE(scanlink::test::WaitUntil(
      [&] {
        std::lock_guard<std::mutex> lock(module.mutex);
        return module.cells.size() >= 32;
      },
      5s));
  ASSERT_NE(client->StopScanData(), 0);
  std::lock_guard<std::mutex> lock(module.mutex);
  int listed = 0;
  for (const auto& c : module.cells) {
    if (c.key1 < 1001 || c.key1 > 1008) continue;
    ++listed;
    EXPECT_TRUE(c.found) << c.key1;
    EXPECT_NE(c.finger, 0u) << "records decoded with their finger fields";
    // Every second station reports a delay 40 quarter chips off; the rest agree exactly.
    EXPECT_EQ(c.mismatch, (c.key1 - 1000) % 2 == 0) << c.key1;
  }
  EXPECT_GT(listed, 0);
  std::remove(list.c_str());
}

TEST_F(WithSimulator, ConnectionResetMidFrameIsRecovered) {
  Start({});
  ASSERT_NE(client->StartScanData(), 0);  // a report stream, so a frame is cut somewhere
  ASSERT_TRUE(module.WaitMessages(3, 3s));
  auto mark = sim.mark();
  ASSERT_TRUE(sim.control("reset-mid-frame"));
  ASSERT_TRUE(module.WaitEvents(4, 5s));
  EXPECT_EQ(module.Events(), (Events{"status 1", "connect 0", "status 2", "connect 1"}));
  ASSERT_TRUE(sim.wait_for("data-connected", 2s, mark));
  const size_t before = module.Messages().size();
  ASSERT_NE(client->GetScanMode(), 0);
  EXPECT_TRUE(module.WaitMessages(before + 1, 2s));
}

TEST_F(WithSimulator, PeerAwayForAWhileIsRetriedUntilItComesBack) {
  Start({});
  // Longer than one reconnection attempt (three connects a second apart).
  ASSERT_TRUE(sim.control("stop-listening 4000"));
  ASSERT_TRUE(sim.control("close-data"));
  ASSERT_TRUE(module.WaitEvents(6, 12s));
  const Events events = module.Events();
  EXPECT_EQ(events.front(), "status 1");
  EXPECT_EQ(events[2], "status 3");
  EXPECT_EQ(events.back(), "connect 1");
}

// Every operation of the library, in both families, as the simulator's strict command decoder
// reads it: none may put on the wire what the protocol forbids.
TEST_F(WithSimulator, EveryCommandTheLibrarySendsDecodesWithoutProblems) {
  Start({"--family", "12", "--rate", "0"});
  char user[16] = "admin", password[16] = "secret";
  char mac[] = "00-1a-2B-3c-4D-5e", ip[] = "192.168.0.10";
  unsigned firsts[] = {10000, 10010, 10020}, seconds[] = {5, 6, 7};
  unsigned char block1[16] = {1, 2, 3}, block2[16] = {4, 5, 6};
  std::vector<int> results = {
      client->LoginScaner(user, password),
      client->ChangePassword(user, password),
      client->SetWFreqListScanMode(1, 2, 3, 3, firsts),
      client->SetWCellListScanMode(1, 2, 3, 3, firsts, seconds),
      client->SetWCDMAScanMode(0, 1, 2, 3, 4, 5, 6, 7, 8, true, -1, 9, 10, 11, 12),
      client->SetWCDMAScanMode(7, 1, 10700, 3, 4, 5, 6, 7, 8, true, -1, 9, 10, 11, 12),
      client->SetWCDMAScanMode(8, 1, 10700, 3, 4, 5, 6, 7, 8, true, -1, 9, 10, 11, 12),
      client->SetTDSAScanMode(1, 2, 3, 4, true, -5, 6, 1),
      client->SetTDCellListScanMode(1, firsts, seconds, 3, 0, true, 9),
      client->SetTDFreqListScanMode(1, firsts, 3, 1, false, 9),
      client->SetTDCellSearchScanMode(1, 2, 3, 4, 5, 0, false),
      client->SetTDCWScanMode(10, 300, 7, 1),
      client->SetDpchScanMode(1, 2, 3, 4, 5, 6, 7, 8, block1, block2),
      client->SetHsdpaScanMode(1, 2, 3, 4, 5, 6, 7, 8, block1, block2),
      client->SetHsupaScanMode(1, 2, 3, 4, 5, 6, 7, 8, block1, block2),
      client->SetMbmsScanMode(1, 2, 3, 4, 5, 6, 7, block1, block2),
      client->SetScanerMACAddress(mac),
      client->SetScanerIPAddress(ip),
      client->QueryBattery(),
      client->SetGpsInfoFormat(1, 2),
  };
  for (int family : {1, 2}) {
    scanlink::transport::StoreGlobal(TDorWCDMAConfig, family);
    results.insert(results.end(),
                   {client->GetScanMode(), client->GetScanerVersion(), client->StartScanData(),
                    client->StopScanData(), client->ResetScaner()});
  }
  // A TD record in a mode without fields goes out empty.
  CCmdManage noFields;
  noFields.nCode = 0xF001;
  noFields.body.tdScanMode.nMode = 7;
  noFields.body.tdScanMode.nFingerTest = 1;
  results.push_back(client->SendMessageW(&noFields));

  for (size_t i = 0; i < results.size(); ++i) EXPECT_NE(results[i], 0) << "command " << i;
  ASSERT_TRUE(
      scanlink::test::WaitUntil([&] { return sim.commands().size() >= results.size(); }, 5s));
  for (const auto& command : sim.commands()) {
    EXPECT_FALSE(command.contains("problems")) << command.dump();
  }
}

// A drive recorded through the wire tap, played back ten times faster: the application gets the
// recorded reports in their order, at a tenth of their recorded spacing, and the replies the
// scanner gave (family 21, though the replaying simulator would say 11).
TEST_F(WithSimulator, ReplayPlaysARecordedDriveBackInOrderAndFaster) {
  using Clock = std::chrono::steady_clock;
  struct Seen {
    std::mutex mutex;
    std::vector<std::string> gps;  // of each TD cell report: time and position, all different
    std::vector<Clock::time_point> when;
  };
  Seen recorded, replayed;
  Seen* seen = &recorded;
  module.onMessage = [&](CCmdManage& m) {
    if (m.nCode != 0xF025) return;
    std::lock_guard<std::mutex> lock(seen->mutex);
    seen->gps.emplace_back(m.body.tdCells.szGpsText);
    seen->when.push_back(Clock::now());
  };
  const std::string path = testing::TempDir() + RunName("replay-drive.pcapng");
  constexpr size_t kReports = 54;  // 3 s at 20 frames a second, every tenth a status frame
  {
    scanlink::capture::Recorder recorder(path, {{"finger-test", "0"}});
    ScanlinkSetWireTap(
        [](int direction, int channel, const unsigned char* bytes, int length, void* context) {
          const int64_t us = std::chrono::duration_cast<std::chrono::microseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
          auto* r = static_cast<scanlink::capture::Recorder*>(context);
          const auto c = static_cast<scanlink::capture::Channel>(channel);
          if (direction == 0) {
            r->Received(c, bytes, static_cast<size_t>(length), us);
          } else {
            r->Sent(c, bytes, static_cast<size_t>(length), us);
          }
        },
        &recorder);
    Start({"--family", "21", "--rate", "20", "--speed", "30"});
    ASSERT_NE(Login(), 0);
    ASSERT_TRUE(module.WaitMessages(1, 2s));
    ASSERT_NE(client->StartScanData(), 0);
    ASSERT_TRUE(scanlink::test::WaitUntil(
        [&] {
          std::lock_guard<std::mutex> lock(recorded.mutex);
          return recorded.gps.size() >= kReports;
        },
        10s));
    ASSERT_NE(client->StopScanData(), 0);
    // Once the stop is answered every report before it has been delivered: the recording holds
    // no report the application did not see.
    ASSERT_TRUE(scanlink::test::WaitUntil(
        [&] {
          for (const auto& m : module.Messages())
            if (m.code == 0xF009) return true;
          return false;
        },
        2s));
    Stop();
    ScanlinkSetWireTap(nullptr, nullptr);
    recorder.Close();
  }
  std::vector<std::string> expected;
  double recorded_s = 0;
  {
    std::lock_guard<std::mutex> lock(recorded.mutex);
    expected = recorded.gps;
    recorded_s =
        std::chrono::duration<double>(recorded.when.back() - recorded.when.front()).count();
  }
  ASSERT_GT(recorded_s, 2.0);

  seen = &replayed;
  const size_t before = module.Messages().size();
  Start({"--family", "11", "--replay", path, "--speed", "10"});
  ASSERT_NE(Login(), 0);
  ASSERT_TRUE(module.WaitMessages(before + 1, 2s));
  EXPECT_EQ(module.Messages()[before].code, 44);
  EXPECT_EQ(module.Messages()[before].family, 21u) << "the recorded login reply";
  ASSERT_NE(client->StartScanData(), 0);
  ASSERT_TRUE(scanlink::test::WaitUntil(
      [&] {
        std::lock_guard<std::mutex> lock(replayed.mutex);
        return replayed.gps.size() >= expected.size();
      },
      5s));
  {
    // Not held below: the handler takes it under the library's lock, which a send takes too.
    std::lock_guard<std::mutex> lock(replayed.mutex);
    EXPECT_EQ(replayed.gps, expected);
    const double replayed_s =
        std::chrono::duration<double>(replayed.when.back() - replayed.when.front()).count();
    EXPECT_GT(replayed_s, recorded_s / 10 / 2) << "paced, not in one burst";
    // Ten times faster; a loaded machine may stretch it, ignoring the speed would not pass.
    EXPECT_LT(replayed_s, recorded_s / 2) << "faster than recorded";
  }
  // At its end the drive is over, the session is not: the link stays up and is answered.
  ASSERT_TRUE(sim.wait_for(
      [](const SimPeer::Json& e) { return e.value("event", "") == "replay" && !e["playing"]; },
      10s));
  const size_t asked = module.Messages().size();
  ASSERT_NE(client->QueryBattery(), 0);
  EXPECT_TRUE(module.WaitMessages(asked + 1, 2s));
  EXPECT_TRUE(sim.running());
  std::remove(path.c_str());
}

}  // namespace
