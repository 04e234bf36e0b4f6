// scanlink-cli: drives a scanner from the shell through the library.
//
//   scanlink-cli --host 192.0.2.10 --port 5000 login version mode battery
//   scanlink-cli --host 127.0.0.1 --port 5000 --seconds 5 login td-cells:10054/1,10055/2 start
//
// Each step is one command; replies and reports are printed as they arrive.
#include <scanlink/scanlink.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

class Printer : public CMyPcCommInterface {
 public:
  explicit Printer(bool reports) : reports_(reports) {}

  void ConnectMsg(bool connected) override {
    std::printf("link %s\n", connected ? "restored" : "lost, reconnecting");
  }

  void ProcPcCommMsg(CCmdManage& m) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (m.nTransID == SCANLINK_TRANS_BROADCAST) {
      ++counts_[m.nCode];
      if (m.nCode == SCANLINK_CODE_LINK_STATUS) {
        std::printf("link status %d\n", m.body.linkStatus.nStatusByte1);
      } else if (m.nCode == 0xF025 && reports_) {
        const _TDCellReport& r = m.body.tdCells;
        std::printf("report 0xF025: %u cells, found 0x%08X, mismatch 0x%08X\n", r.nCount,
                    r.nFoundMask, r.nMismatchMask);
      } else if (reports_) {
        std::printf("report 0x%04X, %u bytes\n", m.nCode, m.nLength);
      }
      return;
    }
    replies_.fetch_add(1);
    switch (m.nCode) {
      case 44:
        std::printf("reply 44 (request %u): family value %u\n", m.nTransID,
                    m.body.family.nFamilyValue);
        break;
      case 21:
        std::printf("reply 21 (request %u): version %.16s / %.16s\n", m.nTransID,
                    reinterpret_cast<const char*>(m.body.twoBlock.byBlock1),
                    reinterpret_cast<const char*>(m.body.twoBlock.byBlock2));
        break;
      case 0xF015:
        std::printf("reply 0xF015 (request %u): version %.8s / %.8s\n", m.nTransID,
                    reinterpret_cast<const char*>(m.body.tdTwoBlock.byBlock1),
                    reinterpret_cast<const char*>(m.body.tdTwoBlock.byBlock2));
        break;
      case 11:
        std::printf("reply 11 (request %u): WCDMA scan mode %u\n", m.nTransID,
                    m.body.wScanMode.nMode);
        break;
      case 0xF00B:
        std::printf("reply 0xF00B (request %u): TD scan mode %u\n", m.nTransID,
                    m.body.tdScanMode.nMode);
        break;
      case 0xF031:
        std::printf("reply 0xF031 (request %u): battery %u / %u\n", m.nTransID,
                    m.body.battery.nBatteryValue1, m.body.battery.nBatteryValue2);
        break;
      default:
        std::printf("reply 0x%04X (request %u): value %u\n", m.nCode, m.nTransID,
                    m.body.reply.nReplyValue);
    }
  }

  void Summary() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [code, n] : counts_) std::printf("  0x%04X: %d frames\n", code, n);
  }

 private:
  bool reports_;
  std::mutex mutex_;
  std::map<unsigned, int> counts_;
  std::atomic<int> replies_{0};
};

// "a/b,c/d" → two lists.
bool ParsePairs(const std::string& text, std::vector<unsigned>& first,
                std::vector<unsigned>& second) {
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    unsigned a = 0, b = 0;
    if (std::sscanf(item.c_str(), "%u/%u", &a, &b) != 2) return false;
    first.push_back(a);
    second.push_back(b);
  }
  return !first.empty();
}

int Run(CMyPcCommSocketClient& client, const std::string& step, const std::string& user,
        const std::string& password) {
  const auto colon = step.find(':');
  const std::string name = step.substr(0, colon);
  const std::string arg = colon == std::string::npos ? "" : step.substr(colon + 1);
  char text1[16] = {}, text2[16] = {};
  std::strncpy(text1, user.c_str(), 15);
  std::strncpy(text2, password.c_str(), 15);
  if (name == "login") return client.LoginScaner(text1, text2);
  if (name == "version") return client.GetScanerVersion();
  if (name == "mode") return client.GetScanMode();
  if (name == "battery") return client.QueryBattery();
  if (name == "start") return client.StartScanData();
  if (name == "stop") return client.StopScanData();
  if (name == "reset") return client.ResetScaner();
  if (name == "td-cells") {
    std::vector<unsigned> cells, params;
    if (!ParsePairs(arg, cells, params)) return -1;
    return client.SetTDCellListScanMode(0, cells.data(), params.data(),
                                        static_cast<unsigned>(cells.size()), 0, false, 0);
  }
  if (name == "td-search") return client.SetTDCellSearchScanMode(0, 0, 0, 0, 0, 0, false);
  if (name == "w-cells") {
    std::vector<unsigned> cells, params;
    if (!ParsePairs(arg, cells, params)) return -1;
    return client.SetWCellListScanMode(0, 0, 0, static_cast<unsigned>(cells.size()), cells.data(),
                                       params.data());
  }
  if (name == "ip") return client.SetScanerIPAddress(const_cast<char*>(arg.c_str()));
  if (name == "mac") return client.SetScanerMACAddress(const_cast<char*>(arg.c_str()));
  if (name == "wait") {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(arg.c_str())));
    return 0;
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Drives a scanner through the scanlink library"};
  std::string host = "127.0.0.1";
  int port = 5000;
  double seconds = 1.0;
  std::string user = "admin", password = "admin";
  bool reports = false, trace = false;
  std::vector<std::string> steps;
  app.add_option("--host", host, "scanner address (dotted decimal)");
  app.add_option("--port", port, "data port");
  app.add_option("--seconds", seconds, "how long to listen after the last step");
  app.add_option("--user", user, "login name");
  app.add_option("--password", password, "login password");
  app.add_flag("--reports", reports, "print every report");
  app.add_flag("--trace", trace, "print the library's trace texts");
  app.add_option("steps", steps,
                 "login version mode battery start stop reset td-cells:C/P,... td-search "
                 "w-cells:C/P,... ip:A.B.C.D mac:XX-XX-XX-XX-XX-XX wait:MS");
  CLI11_PARSE(app, argc, argv);

  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (trace)
    ScanlinkSetTraceSink([](const char* t, void*) { std::printf("trace: %s\n", t); }, nullptr);
  CMyPcCommSocketClient client;
  std::snprintf(gHostAddr, sizeof gHostAddr, "%s", host.c_str());
  nTcpPort = port;
  Printer printer(reports);
  client.ClientRegisterModule(&printer, 1);
  const int up = client.ClientInitPcComm();
  if (up != 0) {
    std::fprintf(stderr, "bring-up failed: %d\n", up);
    client.ClientRegisterModule(&printer, 0);
    return 1;
  }
  int status = 0;
  for (const std::string& step : steps) {
    const int t = Run(client, step, user, password);
    if (t < 0) {
      std::fprintf(stderr, "unknown or malformed step: %s\n", step.c_str());
      status = 2;
      break;
    }
    if (step.rfind("wait", 0) != 0) std::printf("%s -> request %d\n", step.c_str(), t);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(seconds * 1000)));
  std::printf("frames seen:\n");
  printer.Summary();
  client.ExitConnection();
  client.ClientRegisterModule(&printer, 0);
  return status;
}
