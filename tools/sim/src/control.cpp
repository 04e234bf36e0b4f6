#include "control.h"

#include <charconv>
#include <vector>

#include "hex.h"

namespace scanlink::sim {
namespace {

std::vector<std::string_view> tokens(std::string_view line) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    std::size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
    if (i > start) out.push_back(line.substr(start, i - start));
  }
  return out;
}

// Decimal, or hex with a 0x prefix.
std::optional<std::uint32_t> number(std::string_view s) {
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    s.remove_prefix(2);
    base = 16;
  }
  std::uint32_t v = 0;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
  if (ec != std::errc() || ptr != s.data() + s.size() || s.empty()) return std::nullopt;
  return v;
}

std::optional<bool> on_off(std::string_view s) {
  if (s == "on") return true;
  if (s == "off") return false;
  return std::nullopt;
}

std::string joined(const std::vector<std::string_view>& t, std::size_t from) {
  std::string s;
  for (std::size_t i = from; i < t.size(); ++i) s += t[i];
  return s;
}

ControlParse fail(std::string message) { return {std::nullopt, std::move(message)}; }

}  // namespace

ControlParse parse_control(std::string_view line) {
  using Kind = ControlCommand::Kind;
  auto t = tokens(line);
  if (t.empty()) return {};
  std::string_view verb = t[0];
  ControlCommand c;

  struct Simple {
    std::string_view verb;
    Kind kind;
  };
  static constexpr Simple kSimple[] = {
      {"close-data", Kind::kCloseData},
      {"close-alarm", Kind::kCloseAlarm},
      {"reset-data", Kind::kResetData},
      {"reset-mid-frame", Kind::kResetMidFrame},
      {"restart", Kind::kRestart},
      {"stop", Kind::kStop},
      {"quit", Kind::kQuit},
  };
  for (const Simple& s : kSimple) {
    if (verb == s.verb) {
      if (t.size() != 1) return fail(std::string(verb) + " takes no argument");
      c.kind = s.kind;
      return {c, {}};
    }
  }

  struct Switch {
    std::string_view verb;
    Kind kind;
  };
  static constexpr Switch kSwitches[] = {
      {"refuse-alarm", Kind::kRefuseAlarm}, {"stall", Kind::kStall}, {"answer", Kind::kAnswer}};
  for (const Switch& s : kSwitches) {
    if (verb == s.verb) {
      auto v = t.size() == 2 ? on_off(t[1]) : std::nullopt;
      if (!v) return fail(std::string(verb) + " takes on or off");
      c.kind = s.kind;
      c.on = *v;
      return {c, {}};
    }
  }

  if (verb == "stop-listening" || verb == "rate" || verb == "family") {
    auto v = t.size() == 2 ? number(t[1]) : std::nullopt;
    if (!v) return fail(std::string(verb) + " takes one number");
    c.kind = verb == "rate" ? Kind::kRate : verb == "family" ? Kind::kFamily : Kind::kStopListening;
    c.number = *v;
    return {c, {}};
  }
  if (verb == "start") {
    c.kind = Kind::kStart;
    if (t.size() == 1) return {c, {}};
    if (t.size() == 2 && t[1] == "wcdma") c.family = Family::kWcdma;
    if (t.size() == 2 && t[1] == "td") c.family = Family::kTd;
    if (!c.family) return fail("start takes wcdma or td, or nothing for the scanner's own family");
    return {c, {}};
  }
  if (verb == "send" || verb == "alarm") {
    auto bytes = t.size() >= 2 ? from_hex(joined(t, 1)) : std::nullopt;
    if (!bytes || bytes->empty()) return fail(std::string(verb) + " takes hex bytes");
    c.kind = verb == "send" ? Kind::kSend : Kind::kAlarm;
    c.bytes = std::move(*bytes);
    return {c, {}};
  }
  if (verb == "frame") {
    if (t.size() < 4 || t.size() > 5) return fail("frame takes CODE TRANS HEXPAYLOAD [MODULE]");
    auto code = number(t[1]);
    auto trans = number(t[2]);
    auto payload = from_hex(t[3]);
    auto module = t.size() == 5 ? number(t[4]) : std::optional<std::uint32_t>(0);
    if (!code || *code > 0xFFFF || !trans || *trans > 0xFFFF || !payload || !module ||
        *module > 0xFF) {
      return fail("frame takes CODE TRANS HEXPAYLOAD [MODULE] (payload '-' for none)");
    }
    c.kind = Kind::kFrame;
    c.frame = Frame{static_cast<std::uint8_t>(*module), static_cast<std::uint16_t>(*code),
                    static_cast<std::uint16_t>(*trans), std::move(*payload)};
    return {c, {}};
  }
  return fail("unknown control command: " + std::string(verb));
}

}  // namespace scanlink::sim
