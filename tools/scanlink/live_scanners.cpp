#include "live_page.h"
#include "timestamp.h"

namespace scanlink::cli {

void LiveScanners::View::Event(const LinkEvent& e) {
  if (e.kind == LinkEvent::kConnect)
    view.Link(e.connected, e.timeUs);
  else
    view.Record(*e.record, e.timeUs);
}

std::string LiveScanners::Name(size_t i) {
  return i < 26 ? std::string(1, static_cast<char>('A' + i)) : std::to_string(i + 1);
}

LiveScanners::LiveScanners(const std::string& serve, const std::string& tiles,
                           const OutputOptions& output, const ScannerLinks& links)
    : links_(links), server_(LiveServerOptions{ParseServeAddress(serve), "live", tiles, {}}) {
  for (size_t i = 0; i < links.size(); ++i)
    views_.push_back(View{LiveView(output.stations, output.stationsLoaded, output.levels, "live")});
}

nlohmann::json LiveScanners::Snapshot(int64_t nowUs) const {
  // The settings and stations are the same for every scanner: told once.
  nlohmann::json j = views_[0].view.Snapshot(nowUs);
  j.erase("route");
  j.erase("status");
  nlohmann::json scanners = nlohmann::json::array();
  for (size_t i = 0; i < views_.size(); ++i) {
    nlohmann::json one = views_[i].view.Snapshot(nowUs);
    scanners.push_back({{"name", Name(i)},
                        {"address", links_.label(i)},
                        {"route", std::move(one["route"])},
                        {"status", std::move(one["status"])}});
  }
  j["scanners"] = std::move(scanners);
  return j;
}

void LiveScanners::Tick() {
  const int64_t now = NowUs();
  if (now - lastUs_ < LiveView::kBatchUs) return;
  lastUs_ = now;
  const bool askBattery = batteryEveryUs_ > 0 && now - batteryUs_ >= batteryEveryUs_;
  if (askBattery) batteryUs_ = now;
  nlohmann::json batch = nlohmann::json::array();
  bool news = false;
  for (size_t i = 0; i < views_.size(); ++i) {
    scanlink_session* session = links_.session(i);
    if (askBattery && links_.State(i).link_up == 1) scanlink_query_battery(session);
    scanlink_counters c{};
    scanlink_read_counters(session, &c);
    views_[i].view.SetCounters({c.frames_received,
                                c.dropped_sync + c.dropped_length + c.frames_oversized,
                                c.bytes_skipped, c.link_losses, c.reconnections});
    auto one = views_[i].view.Batch(now);
    news = news || one.has_value();
    batch.push_back(one ? std::move(*one) : nlohmann::json(nullptr));
  }
  if (!news && !server_.Waiting()) return;
  constexpr auto kReplace = nlohmann::json::error_handler_t::replace;
  server_.Publish(
      news ? nlohmann::json{{"scanners", std::move(batch)}}.dump(-1, ' ', false, kReplace)
           : std::string(),
      [&] { return Snapshot(now).dump(-1, ' ', false, kReplace); });
}

}  // namespace scanlink::cli
