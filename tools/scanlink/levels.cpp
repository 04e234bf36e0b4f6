#include "levels.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace scanlink::cli {
namespace {

using Json = nlohmann::ordered_json;

Json Number(double v) {
  if (std::nearbyint(v) == v && std::fabs(v) < 1e15) return Json(static_cast<int64_t>(v));
  return Json(std::round(v * 1000) / 1000);
}

Json Converted(const Json& raws, const LevelConvention& levels) {
  Json out = Json::array();
  for (const Json& r : raws) out.push_back(Number(levels.Convert(r.get<double>())));
  return out;
}

}  // namespace

Json LevelJson(double value) { return Number(value); }

std::string LevelNumber(double value) { return Number(value).dump(); }

std::string LevelConvention::Text(double raw) const {
  return LevelNumber(Convert(raw)) + " " + Unit();
}

void LevelConvention::WriteHeader(std::map<std::string, std::string>& header) const {
  if (!declared()) return;
  header["level-offset"] = LevelNumber(offset);
  header["level-unit"] = unit;
}

LevelConvention LevelConvention::FromHeader(const std::map<std::string, std::string>& header) {
  LevelConvention out;
  const auto unit = header.find("level-unit");
  if (unit == header.end() || unit->second.empty() || unit->second == "raw") return out;
  out.unit = unit->second;
  const auto offset = header.find("level-offset");
  if (offset != header.end() && !offset->second.empty()) {
    size_t used = 0;
    out.offset = std::stod(offset->second, &used);
    if (used != offset->second.size() || !std::isfinite(out.offset))
      throw std::invalid_argument("level-offset '" + offset->second + "' is no number");
  }
  return out;
}

void AddLevels(Json& record, const LevelConvention& levels) {
  if (record.value("kind", "") != "report" || !record.contains("body")) return;
  Json& body = record["body"];
  const unsigned code = record.value("code", 0u);
  bool any = true;
  switch (code) {
    case 36:
    case 38:
    case 0xF027:
      body["levels"] = Converted(body.value("values", Json::array()), levels);
      break;
    case 73:
    case 0xF026:
      body["levels"] = Converted(body.value("points", Json::array()), levels);
      break;
    case 40:
    case 41:
    case 257:
    case 259:
      for (Json& r : body["records"]) r["level"] = Number(levels.Convert(r.value("value3", 0.0)));
      break;
    case 0xF025:
      for (Json& c : body["cells"]) {
        const Json samples = c.value("cellValues", Json::array());
        double sum = 0;
        for (const Json& s : samples) sum += s.get<double>();
        c["levels"] = Converted(samples, levels);
        // The cell's level: the mean of the samples the scanner took of it.
        c["level"] = samples.empty()
                         ? Json(nullptr)
                         : Number(levels.Convert(sum / static_cast<double>(samples.size())));
      }
      break;
    default:
      any = false;
  }
  if (!any) return;
  body["levelUnit"] = levels.Unit();
  body["levelOffset"] = Number(levels.declared() ? levels.offset : 0);
}

}  // namespace scanlink::cli
