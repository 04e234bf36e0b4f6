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
  // Sends what changed when its time has come; call it often.
  void Tick();
  std::string Url() const { return server_.Url(); }

 private:
  LiveView view_;
  LiveServer server_;
  ScanlinkCounters start_{};
  int64_t lastUs_ = 0;
};

}  // namespace scanlink::cli
