// The level convention of a recording: what the scanner's level fields mean. The protocol does
// not say; a scanner (or the simulator) declares it, or the user does, as "value = raw + offset,
// in unit". Undeclared levels stay raw numbers and are labelled so, never as dBm.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace scanlink::cli {

struct LevelConvention {
  double offset = 0;
  std::string unit;  // empty: nothing declared, levels are raw

  bool declared() const { return !unit.empty() && unit != "raw"; }
  std::string Unit() const { return declared() ? unit : "raw"; }
  double Convert(double raw) const { return declared() ? raw + offset : raw; }
  // "-91 dBm", "59 raw"
  std::string Text(double raw) const;
  // The header keys of a recording (level-offset, level-unit); nothing when undeclared.
  void WriteHeader(std::map<std::string, std::string>& header) const;
  // Throws std::invalid_argument on an offset that is no number.
  static LevelConvention FromHeader(const std::map<std::string, std::string>& header);
};

// A number as JSON and text show it: integral values without a fraction, else to 3 decimals.
nlohmann::ordered_json LevelJson(double value);
std::string LevelNumber(double value);

// Puts converted levels beside the raw fields of a record's JSON body ("levels" beside
// "values"/"points"/"cellValues", "level" beside a WCDMA cell record's value3 and as the mean
// of a TD cell's samples), and "levelUnit"/"levelOffset" in the body. Other records unchanged.
void AddLevels(nlohmann::ordered_json& record, const LevelConvention& levels);

}  // namespace scanlink::cli
