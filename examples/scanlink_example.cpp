// Brings the link up to a scanner, logs in, asks for its version and scan mode, configures a
// TD cell-list scan, lets reports stream for a few seconds, and closes the link.
//
//   scanlink-example HOST PORT [SECONDS]
#include <scanlink/scanlink.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

namespace {

class PrintingModule : public CMyPcCommInterface {
 public:
  void ConnectMsg(bool connected) override {
    std::printf("link %s\n", connected ? "restored" : "lost, reconnecting");
  }

  void ProcPcCommMsg(CCmdManage& m) override {
    if (m.nTransID == SCANLINK_TRANS_BROADCAST) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (m.nCode == SCANLINK_CODE_LINK_STATUS) {
        std::printf("link status %d\n", m.body.linkStatus.nStatusByte1);
      } else if (reports_[m.nCode]++ == 0) {
        std::printf("first report 0x%04X (%u bytes)\n", m.nCode, m.nLength);
      }
      return;
    }
    switch (m.nCode) {
      case 44:
        std::printf("reply 44 to request %u: family value %u (type %d, family %d)\n", m.nTransID,
                    m.body.family.nFamilyValue, nScannerType, TDorWCDMAConfig);
        break;
      case 0xF00B:
        std::printf("reply 0xF00B to request %u: TD scan mode %u\n", m.nTransID,
                    m.body.tdScanMode.nMode);
        break;
      default:
        std::printf("reply 0x%04X to request %u (%u bytes)\n", m.nCode, m.nTransID, m.nLength);
    }
  }

  void Summary() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [code, count] : reports_) std::printf("  0x%04X: %d reports\n", code, count);
  }

 private:
  std::mutex mutex_;
  std::map<unsigned, int> reports_;
};

void Trace(const char* text, void*) {
  if (std::getenv("SCANLINK_TRACE") != nullptr) std::printf("trace: %s\n", text);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s HOST PORT [SECONDS]\n", argv[0]);
    return 2;
  }
  const int seconds = argc > 3 ? std::atoi(argv[3]) : 3;
  ScanlinkSetTraceSink(Trace, nullptr);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  CMyPcCommSocketClient client;
  std::snprintf(gHostAddr, sizeof gHostAddr, "%s", argv[1]);
  nTcpPort = std::atoi(argv[2]);
  PrintingModule module;
  client.ClientRegisterModule(&module, 1);

  const int up = client.ClientInitPcComm();
  std::printf("ClientInitPcComm: %d (%s)\n", up,
              up == 0   ? "link up"
              : up == 1 ? "probe or set-up failure"
              : up == 2 ? "data connection failed"
                        : "link down");
  if (up != 0) return 1;

  char user[16] = "admin";
  char password[16] = "secret";
  std::printf("LoginScaner -> request %d\n", client.LoginScaner(user, password));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::printf("GetScanerVersion -> request %d\n", client.GetScanerVersion());
  unsigned cells[3] = {10054, 10055, 10071};
  unsigned params[3] = {1, 2, 3};
  std::printf("SetTDCellListScanMode -> request %d\n",
              client.SetTDCellListScanMode(0, cells, params, 3, 0, false, 1));
  std::printf("GetScanMode -> request %d\n", client.GetScanMode());
  std::printf("StartScanData -> request %d\n", client.StartScanData());
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  std::printf("StopScanData -> request %d\n", client.StopScanData());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  ScanlinkCounters counters;
  ScanlinkReadCounters(&counters);
  std::printf("reports received:\n");
  module.Summary();
  std::printf("frames received %llu, delivered %llu, sends %llu\n",
              static_cast<unsigned long long>(counters.framesReceived),
              static_cast<unsigned long long>(counters.framesDelivered),
              static_cast<unsigned long long>(counters.sends));
  client.ExitConnection();
  client.ClientRegisterModule(&module, 0);
  return 0;
}
