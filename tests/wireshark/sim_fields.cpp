// Reads the simulator's JSON-lines log on stdin and prints, for every frame it sent (in order),
// the payload decoded with the simulator's own layouts: {"code":..,"trans":..,"fields":{..}}, or
// "fields":null where the simulator has no layout of its own for the code. The dissector test
// compares these with what the dissector shows, so the two decoders check each other.
#include <iostream>
#include <string>

#include "command_table.h"
#include "hex.h"
#include "layout.h"
#include "reply_table.h"
#include "report_table.h"

namespace {
using namespace scanlink::sim;

const Layout* reply_layout_for(std::uint16_t code, ByteView payload) {
  switch (code) {
    case 5:
    case 21:
      return &reply_layout::two_block();
    case 23:
      return &reply_layout::one_value();
    case 44:
      return &reply_layout::family();
    case 0xF015:
      return &reply_layout::td_two_block();
    case 0xF031:
      return &reply_layout::battery();
    case 11:
      return payload.empty() ? nullptr : &wcdma_scan_mode_layout(payload[0]);
    case 0xF00B:
      return payload.empty() ? nullptr : &td_scan_mode_layout(payload[0]);
    default:
      // Every other reply the simulator sends is a command's result value.
      return reply_plan(static_cast<std::uint16_t>(code - 2)).value_code == code
                 ? &reply_layout::value()
                 : nullptr;
  }
}

}  // namespace

int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    Json event = Json::parse(line, nullptr, false);
    if (event.is_discarded() || event.value("event", "") != "sent" || event.contains("raw")) {
      continue;
    }
    auto code = event.at("code").get<std::uint16_t>();
    auto trans = event.at("trans").get<std::uint16_t>();
    Bytes payload = from_hex(event.value("payload", "")).value_or(Bytes{});
    bool finger = event.contains("detail") && event["detail"].value("finger", false);
    const Layout* layout =
        trans == kUnsolicitedTrans ? report_layout(code, finger) : reply_layout_for(code, payload);
    Json out{{"code", code}, {"trans", trans}, {"fields", nullptr}};
    if (layout != nullptr) out["fields"] = decode(*layout, payload).fields;
    std::cout << out.dump() << '\n';
  }
  return 0;
}
