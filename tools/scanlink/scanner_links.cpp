#include "scanner_links.h"

#include <cstdio>
#include <cstring>

#include "exit_codes.h"
#include "operations.h"
#include "timestamp.h"

namespace scanlink::cli {

std::optional<ScannerAddress> ParseScannerAddress(const std::string& text, int defaultPort) {
  ScannerAddress a{text, defaultPort};
  if (const size_t colon = text.find(':'); colon != std::string::npos) {
    const std::string port = text.substr(colon + 1);
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos)
      return std::nullopt;
    a.port = std::stoi(port);
    a.host = text.substr(0, colon);
    if (a.port < 1 || a.port > 65535) return std::nullopt;
  }
  if (!IsDottedQuad(a.host)) return std::nullopt;
  return a;
}

ScannerLinks::ScannerLinks(const std::vector<ScannerAddress>& addresses) {
  for (const ScannerAddress& a : addresses) {
    scanlink_options options;
    scanlink_options_init(&options);
    std::snprintf(options.address, sizeof options.address, "%s", a.host.c_str());
    options.data_port = a.port;
    scanlink_session* session = scanlink_open(&options);
    if (session == nullptr) {
      Close();
      throw CliError(kExitFailure, "cannot open a session for " + a.Label() + ": " +
                                       scanlink_strerror(scanlink_last_error()));
    }
    scanners_.push_back(
        std::make_unique<Scanner>(Scanner{this, scanners_.size(), session, a.Label()}));
    const scanlink_handlers handlers{OnRecord, OnLink, nullptr, scanners_.back().get()};
    scanlink_set_handlers(session, &handlers);
  }
}

ScannerLinks::~ScannerLinks() { Close(); }

scanlink_state ScannerLinks::State(size_t i) const {
  scanlink_state state{};
  scanlink_read_state_sized(scanners_[i]->session, &state, sizeof state);
  return state;
}

std::string ScannerLinks::Connect(size_t i) {
  const std::string& label = scanners_[i]->label;
  switch (scanlink_connect(scanners_[i]->session)) {
    case SCANLINK_CONNECT_UP:
      return {};
    case SCANLINK_CONNECT_PROBE_FAILED:
      return label + " does not answer (reachability probe or set-up failed)";
    case SCANLINK_CONNECT_FAILED:
      return "cannot connect to " + label;
    case SCANLINK_CONNECT_LINK_DOWN:
      return "link to " + label + " is down after a failed reconnection";
    default:
      return "bring-up of " + label + " failed";
  }
}

std::optional<ScannerEvent> ScannerLinks::Next(Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  wake_.wait_until(lock, deadline, [&] { return !queue_.empty(); });
  if (queue_.empty()) return std::nullopt;
  ScannerEvent e = std::move(queue_.front());
  queue_.pop_front();
  return e;
}

void ScannerLinks::Close() {
  // Each close waits for its session's threads: no handler runs once it has returned.
  for (auto& s : scanners_) {
    if (s->session == nullptr) continue;
    scanlink_close(s->session);
    s->session = nullptr;
  }
}

void SCANLINK_CALL ScannerLinks::OnRecord(void* context, const scanlink_record* record) {
  auto* s = static_cast<Scanner*>(context);
  auto copy = std::make_shared<CCmdManage>();
  copy->nCode = record->code;
  copy->nTransID = record->trans_id;
  copy->nLength = record->length;
  std::memcpy(&copy->body, &record->body, sizeof copy->body);
  s->owner->Push(s->index, LinkEvent{LinkEvent::kRecord, std::move(copy), false, NowUs()});
}

void SCANLINK_CALL ScannerLinks::OnLink(void* context, int event) {
  // Losses and restorations also come as link-status records; these two are the connection's
  // own ups and downs, as a module's ConnectMsg hears them.
  if (event != SCANLINK_LINK_EVENT_CONNECTED && event != SCANLINK_LINK_EVENT_CONNECTING) return;
  auto* s = static_cast<Scanner*>(context);
  s->owner->Push(s->index, LinkEvent{LinkEvent::kConnect, nullptr,
                                     event == SCANLINK_LINK_EVENT_CONNECTED, NowUs()});
}

void ScannerLinks::Push(size_t scanner, LinkEvent event) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(ScannerEvent{scanner, std::move(event)});
  }
  wake_.notify_all();
}

}  // namespace scanlink::cli
