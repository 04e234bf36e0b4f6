// The live page while monitoring: the records as they arrive into the view, and its batches to
// the server at most every 100 ms.
#pragma once

#include <memory>
#include <string>

#include "link_client.h"
#include "live_server.h"
#include "live_view.h"
#include "record_output.h"

namespace scanlink::cli {

class LivePage {
 public:
  // Listens at once: an address in use fails before the scanner is contacted.
  LivePage(const std::string& serve, const std::string& tiles, const OutputOptions& output);
  ~LivePage();
  void Event(const LinkEvent& e);
  // Asks client for the battery every so many seconds (0: never), for the page's battery field;
  // the replies pass through the output like any other.
  void AskBattery(CMyPcCommSocketClient* client, double seconds);
  // Sends what changed when its time has come; call it often.
  void Tick();
  std::string Url() const { return server_.Url(); }

 private:
  LiveView view_;
  LiveServer server_;
  ScanlinkCounters start_{};
  int64_t lastUs_ = 0;
  CMyPcCommSocketClient* batteryClient_ = nullptr;
  int64_t batteryEveryUs_ = 0, batteryUs_ = 0;
};

}  // namespace scanlink::cli
