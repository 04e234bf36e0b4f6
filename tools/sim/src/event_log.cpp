#include "event_log.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace scanlink::sim {
namespace {

constexpr std::size_t kListPreview = 4;

std::string value_text(const Json& v) {
  if (v.is_object()) {
    std::string s = "{";
    bool first = true;
    for (const auto& [k, e] : v.items()) {
      if (!first) s += ",";
      first = false;
      s += value_text(e);
    }
    return s + "}";
  }
  if (v.is_array()) {
    std::string s = "[";
    for (std::size_t i = 0; i < v.size() && i < kListPreview; ++i) {
      if (i > 0) s += ",";
      s += value_text(v[i]);
    }
    if (v.size() > kListPreview) s += ",...(" + std::to_string(v.size()) + ")";
    return s + "]";
  }
  if (v.is_string()) return v.get<std::string>();
  return v.dump();
}

std::string hex16(std::uint16_t v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%04X", v);
  return buf;
}

}  // namespace

EventLog::EventLog(const std::string& json_path, bool human) : human_(human) {
  if (json_path == "-") {
    out_ = stdout;
  } else if (!json_path.empty()) {
    out_ = std::fopen(json_path.c_str(), "w");
    if (out_ == nullptr)
      throw std::runtime_error("cannot open log " + json_path + ": " + std::strerror(errno));
    owns_out_ = true;
  }
}

EventLog::~EventLog() {
  if (owns_out_) std::fclose(out_);
}

void EventLog::emit(std::string_view event, const Json& fields) {
  if (out_ == nullptr) return;
  Json line = Json::object();
  line["event"] = event;
  line["t"] = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start_)
                  .count();
  for (const auto& [k, v] : fields.items()) line[k] = v;
  std::string text = line.dump(-1, ' ', false, Json::error_handler_t::replace);
  std::lock_guard lock(mu_);
  std::fputs(text.c_str(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

void EventLog::say(const std::string& line) {
  if (!human_) return;
  std::lock_guard lock(mu_);
  std::fputs(line.c_str(), stderr);
  std::fputc('\n', stderr);
}

std::string describe_fields(const Json& fields) {
  std::string s;
  for (const auto& [k, v] : fields.items()) {
    if (!s.empty()) s += ' ';
    s += k + "=" + value_text(v);
  }
  return s;
}

std::string describe_command(std::uint16_t code, std::uint8_t module, std::uint16_t trans,
                             std::size_t length, const DecodedCommand& command) {
  std::string s = "<- " + hex16(code) + " " + command.name;
  for (const auto& [k, v] : command.fields.items()) {
    s += " " + k + "=" + value_text(v);
    if (k == "mode" && !command.mode_name.empty()) s += "(" + command.mode_name + ")";
  }
  s += " (module " + std::to_string(module) + ", trans " + std::to_string(trans) + ", " +
       std::to_string(length) + " bytes)";
  for (const std::string& p : command.problems) s += " !! " + p;
  return s;
}

}  // namespace scanlink::sim
