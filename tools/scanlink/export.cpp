#include "export.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "timestamp.h"

namespace scanlink::cli {
namespace {

using Json = nlohmann::ordered_json;

// A chip at 1.28 Mchip/s is 234.375 m of radio path; delays come in quarter chips.
constexpr double kMetresPerQuarterChip = 234.375 / 4;

std::string Coordinate(double degrees) {
  char text[32];
  std::snprintf(text, sizeof text, "%.7f", degrees);
  return text;
}

// To a decimetre: more than the delay's resolution (59 m) or a GPS fix can tell.
Json Metres(double m) { return std::round(m * 10) / 10; }

std::string Joined(const std::vector<uint32_t>& values, char by) {
  std::string out;
  for (size_t i = 0; i < values.size(); ++i) {
    if (i) out += by;
    out += std::to_string(values[i]);
  }
  return out;
}

int Counted(const ExportRow& r, Verdict v) {
  int n = 0;
  for (const ExportCell& c : r.cells) n += c.verdict == v;
  return n;
}

bool HasVerdicts(const ExportRow& r) {
  return std::any_of(r.cells.begin(), r.cells.end(), [](const auto& c) { return c.verdict; });
}

// The strongest measurement of a report; nothing when none has a level.
const ExportCell* Best(const ExportRow& r) {
  const ExportCell* best = nullptr;
  for (const ExportCell& c : r.cells)
    if (c.levelRaw && (!best || *c.levelRaw > *best->levelRaw)) best = &c;
  return best;
}

// Text fields are always quoted, so a spreadsheet never splits or reinterprets them.
std::string CsvField(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

// The columns both CSV forms and the GeoJSON properties share, by name.
struct Columns {
  explicit Columns(const ExportSettings& s) : s(s), unit(s.levels.Unit()) {}
  const ExportSettings& s;
  std::string unit;

  std::string Level(const char* prefix) const { return std::string(prefix) + "_" + unit; }
  Json LevelOf(const ExportCell* c) const {
    return c && c->levelRaw ? LevelJson(s.levels.Convert(*c->levelRaw)) : Json(nullptr);
  }
  Json RawOf(const ExportCell* c) const {
    return c && c->levelRaw ? LevelJson(*c->levelRaw) : Json(nullptr);
  }

  // Report-wide values in column order.
  Json Report(const ExportRow& r) const {
    Json j;
    j["time"] = r.timeUs >= 0 ? Json(IsoTime(r.timeUs)) : Json(nullptr);
    // 7 decimals: a centimetre, past what any GPS gives.
    j["latitude"] = std::round(r.where->latitude * 1e7) / 1e7;
    j["longitude"] = std::round(r.where->longitude * 1e7) / 1e7;
    j["position"] = r.interpolated ? "interpolated" : "reported";
    j["code"] = r.code;
    j["name"] = r.name;
    j["level_unit"] = unit;
    j["measurements"] = r.cells.size();
    const ExportCell* best = Best(r);
    j["best"] = best ? Json(best->key) : Json(nullptr);
    j[Level("best_level")] = LevelOf(best);
    j["best_level_raw"] = RawOf(best);
    j["best_verdict"] = best && best->verdict ? Json(VerdictName(*best->verdict)) : Json(nullptr);
    const bool checked = s.stationsLoaded && HasVerdicts(r);
    j["found"] = checked ? Json(Counted(r, Verdict::kFound)) : Json(nullptr);
    j["delay_mismatch"] = checked ? Json(Counted(r, Verdict::kDelayMismatch)) : Json(nullptr);
    j["not_listed"] = checked ? Json(Counted(r, Verdict::kNotListed)) : Json(nullptr);
    return j;
  }

  // One measurement's values, named as the long form's columns.
  Json Cell(const ExportCell& c) const {
    Json j;
    j["key"] = c.key;
    j[Level("level")] = LevelOf(&c);
    j["level_raw"] = RawOf(&c);
    j["samples_raw"] = c.samples.empty() ? Json(nullptr) : Json(Joined(c.samples, ' '));
    j["delay_quarter_chips"] = c.delay ? Json(*c.delay) : Json(nullptr);
    j["delay_chips"] = c.delay ? Json(*c.delay / 4.0) : Json(nullptr);
    j["delay_m"] = c.delay ? Metres(*c.delay * kMetresPerQuarterChip) : Json(nullptr);
    j["distance_m"] = c.distanceM ? Metres(*c.distanceM) : Json(nullptr);
    j["verdict"] = c.verdict ? Json(VerdictName(*c.verdict)) : Json(nullptr);
    return j;
  }
};

std::string CsvValue(const Json& v) {
  if (v.is_null()) return "";
  if (v.is_string()) return CsvField(v.get<std::string>());
  if (v.is_number_float()) {
    char text[40];
    std::snprintf(text, sizeof text, "%.12g", v.get<double>());
    return text;
  }
  return v.dump();
}

std::string CsvLine(const std::vector<std::string>& fields) {
  std::string out;
  for (size_t i = 0; i < fields.size(); ++i) out += (i ? "," : "") + fields[i];
  return out + "\r\n";
}

std::vector<std::string> Keys(const Json& j) {
  std::vector<std::string> out;
  for (const auto& item : j.items()) out.push_back(item.key());
  return out;
}

std::vector<const ExportRow*> Placed(const std::vector<ExportRow>& rows) {
  std::vector<const ExportRow*> out;
  for (const ExportRow& r : rows)
    if (r.where) out.push_back(&r);
  return out;
}

// Wide: one row per report; per measured key its level and, for TD cells, delay, distance and
// verdict, in columns named "level_dBm 10054/1".
std::string Csv(const std::vector<ExportRow>& rows, const Columns& col) {
  const auto placed = Placed(rows);
  std::vector<std::string> keys;
  std::vector<bool> timed;  // whether the key has TD delay columns
  for (const ExportRow* r : placed)
    for (const ExportCell& c : r->cells) {
      const auto at = std::find(keys.begin(), keys.end(), c.key);
      if (at == keys.end()) {
        keys.push_back(c.key);
        timed.push_back(c.delay.has_value());
      } else if (c.delay) {
        timed[static_cast<size_t>(at - keys.begin())] = true;
      }
    }
  ExportRow none;
  none.where = Position{};
  std::vector<std::string> header;
  for (const std::string& k : Keys(col.Report(none))) header.push_back(k);
  const bool declared = col.s.levels.declared();
  for (size_t i = 0; i < keys.size(); ++i) {
    if (declared) header.push_back(col.Level("level") + " " + keys[i]);
    header.push_back("level_raw " + keys[i]);
    if (timed[i])
      for (const char* name : {"delay_chips", "delay_m", "distance_m", "verdict"})
        header.push_back(std::string(name) + " " + keys[i]);
  }
  std::vector<std::string> quoted;
  for (const std::string& h : header) quoted.push_back(CsvField(h));
  std::string out = CsvLine(quoted);
  for (const ExportRow* r : placed) {
    std::vector<std::string> line;
    const Json report = col.Report(*r);
    for (const auto& item : report.items()) line.push_back(CsvValue(item.value()));
    for (size_t i = 0; i < keys.size(); ++i) {
      const auto c = std::find_if(r->cells.begin(), r->cells.end(),
                                  [&](const ExportCell& x) { return x.key == keys[i]; });
      const Json v = c == r->cells.end() ? Json() : col.Cell(*c);
      auto get = [&](const std::string& name) {
        return v.is_null() ? std::string() : CsvValue(v[name]);
      };
      if (declared) line.push_back(get(col.Level("level")));
      line.push_back(get("level_raw"));
      if (timed[i])
        for (const char* name : {"delay_chips", "delay_m", "distance_m", "verdict"})
          line.push_back(get(name));
    }
    out += CsvLine(line);
  }
  return out;
}

// Long: one row per measurement per report (a report without any still gets one row).
std::string CsvLong(const std::vector<ExportRow>& rows, const Columns& col) {
  const std::vector<std::string> report = {"time", "latitude", "longitude", "position",
                                           "code", "name",     "level_unit"};
  ExportCell blank;
  std::vector<std::string> header = report;
  header.push_back("report");
  for (const std::string& k : Keys(col.Cell(blank))) header.push_back(k);
  header.push_back("best");
  std::vector<std::string> quoted;
  for (const std::string& h : header) quoted.push_back(CsvField(h));
  std::string out = CsvLine(quoted);
  size_t n = 0;
  for (const ExportRow* r : Placed(rows)) {
    ++n;
    const Json j = col.Report(*r);
    std::vector<std::string> head;
    for (const std::string& k : report) head.push_back(CsvValue(j[k]));
    head.push_back(std::to_string(n));
    const ExportCell* best = Best(*r);
    auto emit = [&](const ExportCell* c) {
      std::vector<std::string> line = head;
      const Json v = c ? col.Cell(*c) : Json();
      for (const std::string& k : Keys(col.Cell(blank)))
        line.push_back(c ? CsvValue(v[k]) : std::string());
      line.push_back(c ? (c == best ? "1" : "0") : "");
      out += CsvLine(line);
    };
    if (r->cells.empty()) emit(nullptr);
    for (const ExportCell& c : r->cells) emit(&c);
  }
  return out;
}

Json Properties(const ExportRow& r, const Columns& col) {
  Json p = col.Report(r);
  p.erase("latitude");
  p.erase("longitude");
  Json cells = Json::array();
  for (const ExportCell& c : r.cells) cells.push_back(col.Cell(c));
  p["cells"] = std::move(cells);
  return p;
}

// RFC 7946: a FeatureCollection of Points, coordinates [longitude, latitude].
std::string GeoJson(const std::vector<ExportRow>& rows, const Columns& col) {
  Json features = Json::array();
  for (const ExportRow* r : Placed(rows))
    features.push_back(
        {{"type", "Feature"},
         {"geometry",
          {{"type", "Point"}, {"coordinates", {r->where->longitude, r->where->latitude}}}},
         {"properties", Properties(*r, col)}});
  return Json{{"type", "FeatureCollection"}, {"features", std::move(features)}}.dump(1) + "\n";
}

std::string Xml(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string JsonText(const Json& v) {
  if (v.is_null()) return "";
  if (v.is_string()) return v.get<std::string>();
  return CsvValue(v);
}

// "10054/1 -91 dBm delay 23 (5.75 chips) found" per measurement, for tooltips.
std::string CellsText(const ExportRow& r, const Columns& col) {
  std::string out;
  for (const ExportCell& c : r.cells) {
    if (!out.empty()) out += "; ";
    out += c.key;
    if (c.levelRaw) out += " " + col.s.levels.Text(*c.levelRaw);
    if (c.delay)
      out += " delay " + std::to_string(*c.delay) + " (" + JsonText(*c.delay / 4.0) + " chips)";
    if (c.verdict) out += std::string(" ") + VerdictText(*c.verdict);
  }
  return out;
}

std::string Description(const ExportRow& r, const Columns& col) {
  std::string text = r.name;
  if (r.interpolated) text += " (position interpolated)";
  if (!r.cells.empty()) text += ": " + CellsText(r, col);
  return text;
}

// KML colours are aabbggrr.
std::string KmlColour(const char* rrggbb) {
  const std::string c = rrggbb;
  return "ff" + c.substr(4, 2) + c.substr(2, 2) + c.substr(0, 2);
}

std::string StyleOf(const ExportRow& r, const Columns& col) {
  const ExportCell* best = Best(r);
  if (!best || col.unit != "dBm") return "level-unknown";
  const double dbm = col.s.levels.Convert(*best->levelRaw);
  const auto& bands = LevelBands();
  for (size_t i = 0; i < bands.size(); ++i)
    if (dbm >= bands[i].from) return "level-" + std::to_string(i);
  return "level-" + std::to_string(bands.size() - 1);
}

std::string KmlStyles() {
  const char* icon = "http://maps.google.com/mapfiles/kml/shapes/placemark_circle.png";
  auto style = [&](const std::string& id, const std::string& colour) {
    return "<Style id=\"" + id + "\"><IconStyle><color>" + colour +
           "</color><scale>0.7</scale><Icon><href>" + icon +
           "</href></Icon></IconStyle><LabelStyle><scale>0</scale></LabelStyle></Style>\n";
  };
  std::string out;
  const auto& bands = LevelBands();
  for (size_t i = 0; i < bands.size(); ++i)
    out += style("level-" + std::to_string(i), KmlColour(bands[i].colour));
  out += style("level-unknown", KmlColour("9e9e9e"));
  out +=
      "<Style id=\"route\"><LineStyle><color>ff808080</color><width>2</width></LineStyle>"
      "</Style>\n";
  return out;
}

// The legend: the Document's description, which map viewers show beside the layer.
std::string KmlLegend(const Columns& col) {
  std::string html = "<p>Colour: the level of the strongest measurement of each report";
  if (col.unit != "dBm")
    html += " (levels here are " + Xml(col.unit) + ", not dBm: every point is grey)";
  html += ".</p><table>";
  for (const LevelBand& b : LevelBands())
    html += std::string("<tr><td style=\"background:#") + b.colour +
            "\">&#160;&#160;&#160;</td><td>" + b.label + "</td></tr>";
  html += "<tr><td style=\"background:#9e9e9e\">&#160;&#160;&#160;</td><td>no level</td></tr>";
  return "<description><![CDATA[" + html + "</table>]]></description>\n";
}

// KML 2.2: one styled Placemark per report (elements in the schema's order: name, description,
// TimeStamp, styleUrl, ExtendedData, Point), and the route as a LineString.
std::string Kml(const std::vector<ExportRow>& rows, const Columns& col) {
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<kml xmlns=\"http://www.opengis.net/kml/2.2\">\n<Document>\n<name>scanlink drive</name>\n" +
      KmlLegend(col) + KmlStyles();
  const auto placed = Placed(rows);
  for (const ExportRow* r : placed) {
    const ExportCell* best = Best(*r);
    std::string name = r->name;
    if (best) name = best->key + (best->levelRaw ? " " + col.s.levels.Text(*best->levelRaw) : "");
    out += "<Placemark>\n<name>" + Xml(name) + "</name>\n";
    out += "<description>" + Xml(Description(*r, col)) + "</description>\n";
    if (r->timeUs >= 0) out += "<TimeStamp><when>" + IsoTime(r->timeUs) + "</when></TimeStamp>\n";
    out += "<styleUrl>#" + StyleOf(*r, col) + "</styleUrl>\n<ExtendedData>\n";
    const Json report = col.Report(*r);
    for (const auto& item : report.items())
      if (!item.value().is_null() && item.key() != "latitude" && item.key() != "longitude")
        out += "<Data name=\"" + Xml(item.key()) + "\"><value>" + Xml(JsonText(item.value())) +
               "</value></Data>\n";
    if (!r->cells.empty())
      out += "<Data name=\"cells\"><value>" + Xml(CellsText(*r, col)) + "</value></Data>\n";
    out += "</ExtendedData>\n<Point><coordinates>" + Coordinate(r->where->longitude) + "," +
           Coordinate(r->where->latitude) + "</coordinates></Point>\n</Placemark>\n";
  }
  if (placed.size() >= 2) {
    out +=
        "<Placemark>\n<name>route</name>\n<styleUrl>#route</styleUrl>\n"
        "<LineString><coordinates>";
    for (const ExportRow* r : placed)
      out += Coordinate(r->where->longitude) + "," + Coordinate(r->where->latitude) + " ";
    out += "</coordinates></LineString>\n</Placemark>\n";
  }
  return out + "</Document>\n</kml>\n";
}

// GPX 1.1: a waypoint per report with its measurements as extensions, and the route as a track.
std::string Gpx(const std::vector<ExportRow>& rows, const Columns& col) {
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<gpx version=\"1.1\" creator=\"scanlink\" xmlns=\"http://www.topografix.com/GPX/1/1\" "
      "xmlns:scanlink=\"urn:x-scanlink:gpx:1\">\n";
  auto attribute = [](const std::string& name, const Json& v) {
    return v.is_null() ? std::string() : " " + name + "=\"" + Xml(JsonText(v)) + "\"";
  };
  auto point = [&](const char* element, const ExportRow& r, bool described) {
    out += std::string("<") + element + " lat=\"" + Coordinate(r.where->latitude) + "\" lon=\"" +
           Coordinate(r.where->longitude) + "\">";
    if (r.timeUs >= 0) out += "<time>" + IsoTime(r.timeUs) + "</time>";
    if (described) {
      out += "<name>" + Xml(r.name) + "</name><desc>" + Xml(Description(r, col)) +
             "</desc><extensions><scanlink:report";
      const Json report = col.Report(r);
      for (const auto& item : report.items())
        if (item.key() != "latitude" && item.key() != "longitude" && item.key() != "time")
          out += attribute(item.key(), item.value());
      out += ">";
      for (const ExportCell& c : r.cells) {
        out += "<scanlink:cell";
        const Json cell = col.Cell(c);
        for (const auto& item : cell.items()) out += attribute(item.key(), item.value());
        out += "/>";
      }
      out += "</scanlink:report></extensions>";
    }
    out += std::string("</") + element + ">\n";
  };
  const auto placed = Placed(rows);
  for (const ExportRow* r : placed) point("wpt", *r, true);
  if (!placed.empty()) {
    out += "<trk><name>route</name><trkseg>\n";
    for (const ExportRow* r : placed) point("trkpt", *r, false);
    out += "</trkseg></trk>\n";
  }
  return out + "</gpx>\n";
}

}  // namespace

const std::vector<LevelBand>& LevelBands() {
  static const std::vector<LevelBand> bands = {{-75, "1a9850", "-75 dBm and above"},
                                               {-85, "91cf60", "-85 to -75 dBm"},
                                               {-95, "fee08b", "-95 to -85 dBm"},
                                               {-105, "fc8d59", "-105 to -95 dBm"},
                                               {-1e300, "d73027", "below -105 dBm"}};
  return bands;
}

bool IsExportFormat(const std::string& f) {
  return f == "csv" || f == "csv-long" || f == "geojson" || f == "kml" || f == "gpx";
}

const char* ExportFormatsText() { return "csv, csv-long, geojson, kml, gpx"; }

size_t PlaceRows(std::vector<ExportRow>& rows) {
  std::vector<const ExportRow*> fixes;
  for (const ExportRow& r : rows)
    if (r.where && !r.interpolated && r.timeUs >= 0) fixes.push_back(&r);
  std::stable_sort(fixes.begin(), fixes.end(),
                   [](const ExportRow* a, const ExportRow* b) { return a->timeUs < b->timeUs; });
  size_t unplaced = 0;
  for (ExportRow& r : rows) {
    if (r.where) continue;
    const auto after =
        std::lower_bound(fixes.begin(), fixes.end(), r.timeUs,
                         [](const ExportRow* f, int64_t t) { return f->timeUs < t; });
    if (r.timeUs < 0 || after == fixes.end() ||
        (after == fixes.begin() && (*after)->timeUs != r.timeUs)) {
      ++unplaced;
      continue;
    }
    const ExportRow* b = *after;
    const ExportRow* a = b->timeUs == r.timeUs ? b : *(after - 1);
    if (b->timeUs - a->timeUs > kMaxFixGapUs) {
      ++unplaced;
      continue;
    }
    const double f = b->timeUs == a->timeUs ? 0.0
                                            : static_cast<double>(r.timeUs - a->timeUs) /
                                                  static_cast<double>(b->timeUs - a->timeUs);
    r.where = Position{a->where->latitude + f * (b->where->latitude - a->where->latitude),
                       a->where->longitude + f * (b->where->longitude - a->where->longitude)};
    r.interpolated = true;
  }
  return unplaced;
}

std::string ExportText(const std::string& format, const std::vector<ExportRow>& rows,
                       const ExportSettings& settings) {
  const Columns col(settings);
  if (format == "csv") return Csv(rows, col);
  if (format == "csv-long") return CsvLong(rows, col);
  if (format == "geojson") return GeoJson(rows, col);
  if (format == "kml") return Kml(rows, col);
  return Gpx(rows, col);
}

}  // namespace scanlink::cli
