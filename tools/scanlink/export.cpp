#include "export.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "timestamp.h"

namespace scanlink::cli {
namespace {

using Json = nlohmann::ordered_json;

std::string Coordinate(double degrees) {
  char text[32];
  std::snprintf(text, sizeof text, "%.7f", degrees);
  return text;
}

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

// "10054/1 delay 23 found; ..." for people reading a table or a tooltip.
std::string CellsText(const ExportRow& r) {
  std::string out;
  for (const ExportCell& c : r.cells) {
    if (!out.empty()) out += "; ";
    out += std::to_string(c.key1) + "/" + std::to_string(c.key2) + " delay " +
           std::to_string(c.delay) + " " + VerdictText(c.verdict);
  }
  return out;
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

std::string Csv(const std::vector<ExportRow>& rows) {
  std::string out =
      "time,latitude,longitude,code,name,cells,found,delay_mismatch,not_listed,"
      "cell_list,values\r\n";
  // Rows of a capture of several scanners say whose they are, in a last column.
  const bool labelled = std::any_of(rows.begin(), rows.end(),
                                    [](const ExportRow& r) { return !r.connection.empty(); });
  if (labelled) out.insert(out.size() - 2, ",connection");
  for (const ExportRow& r : rows) {
    out += CsvField(IsoTime(r.timeUs)) + "," + Coordinate(r.where.latitude) + "," +
           Coordinate(r.where.longitude) + "," + std::to_string(r.code) + "," + CsvField(r.name) +
           "," + std::to_string(r.cells.size()) + "," +
           std::to_string(Counted(r, Verdict::kFound)) + "," +
           std::to_string(Counted(r, Verdict::kDelayMismatch)) + "," +
           std::to_string(Counted(r, Verdict::kNotListed)) + "," + CsvField(CellsText(r)) + "," +
           CsvField(Joined(r.values, ' ')) + "\r\n";
    if (labelled) out.insert(out.size() - 2, "," + CsvField(r.connection));
  }
  return out;
}

Json Properties(const ExportRow& r) {
  Json p;
  p["time"] = r.timeUs >= 0 ? Json(IsoTime(r.timeUs)) : Json(nullptr);
  p["code"] = r.code;
  p["name"] = r.name;
  if (!r.connection.empty()) p["connection"] = r.connection;
  if (!r.values.empty()) p["values"] = r.values;
  if (!r.cells.empty()) {
    Json cells = Json::array();
    for (const ExportCell& c : r.cells)
      cells.push_back({{"cellKey1", c.key1},
                       {"cellKey2", c.key2},
                       {"measuredDelay", c.delay},
                       {"cellValues", c.values},
                       {"verdict", VerdictName(c.verdict)}});
    p["cells"] = std::move(cells);
    p["found"] = Counted(r, Verdict::kFound);
    p["delayMismatch"] = Counted(r, Verdict::kDelayMismatch);
    p["notListed"] = Counted(r, Verdict::kNotListed);
  }
  return p;
}

// RFC 7946: a FeatureCollection of Points, coordinates [longitude, latitude].
std::string GeoJson(const std::vector<ExportRow>& rows) {
  Json features = Json::array();
  for (const ExportRow& r : rows)
    features.push_back(
        {{"type", "Feature"},
         {"geometry", {{"type", "Point"}, {"coordinates", {r.where.longitude, r.where.latitude}}}},
         {"properties", Properties(r)}});
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

std::string Description(const ExportRow& r) {
  std::string text = r.name;
  if (!r.cells.empty()) text += ": " + CellsText(r);
  if (!r.values.empty()) text += ": " + Joined(r.values, ' ');
  return text;
}

// KML 2.2: one Placemark per position (its time, cells and verdicts in ExtendedData), and the
// route as a LineString.
std::string Kml(const std::vector<ExportRow>& rows) {
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<kml xmlns=\"http://www.opengis.net/kml/2.2\">\n<Document>\n<name>scanlink drive</name>\n";
  for (const ExportRow& r : rows) {
    out += "<Placemark>\n<name>" + Xml(r.name) + "</name>\n";
    if (r.timeUs >= 0) out += "<TimeStamp><when>" + IsoTime(r.timeUs) + "</when></TimeStamp>\n";
    out += "<description>" + Xml(Description(r)) + "</description>\n<ExtendedData>\n";
    auto data = [&](const char* name, const std::string& value) {
      out += std::string("<Data name=\"") + name + "\"><value>" + Xml(value) + "</value></Data>\n";
    };
    data("code", std::to_string(r.code));
    if (!r.cells.empty()) {
      data("cells", CellsText(r));
      data("found", std::to_string(Counted(r, Verdict::kFound)));
      data("delayMismatch", std::to_string(Counted(r, Verdict::kDelayMismatch)));
      data("notListed", std::to_string(Counted(r, Verdict::kNotListed)));
    }
    if (!r.values.empty()) data("values", Joined(r.values, ' '));
    out += "</ExtendedData>\n<Point><coordinates>" + Coordinate(r.where.longitude) + "," +
           Coordinate(r.where.latitude) + "</coordinates></Point>\n</Placemark>\n";
  }
  if (rows.size() >= 2) {
    out += "<Placemark>\n<name>route</name>\n<LineString><coordinates>";
    for (const ExportRow& r : rows)
      out += Coordinate(r.where.longitude) + "," + Coordinate(r.where.latitude) + " ";
    out += "</coordinates></LineString>\n</Placemark>\n";
  }
  return out + "</Document>\n</kml>\n";
}

// GPX 1.1: a waypoint per position and the route as one track.
std::string Gpx(const std::vector<ExportRow>& rows) {
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<gpx version=\"1.1\" creator=\"scanlink\" xmlns=\"http://www.topografix.com/GPX/1/1\">\n";
  auto point = [&](const char* element, const ExportRow& r, bool described) {
    out += std::string("<") + element + " lat=\"" + Coordinate(r.where.latitude) + "\" lon=\"" +
           Coordinate(r.where.longitude) + "\">";
    if (r.timeUs >= 0) out += "<time>" + IsoTime(r.timeUs) + "</time>";
    if (described)
      out += "<name>" + Xml(r.name) + "</name><desc>" + Xml(Description(r)) + "</desc>";
    out += std::string("</") + element + ">\n";
  };
  for (const ExportRow& r : rows) point("wpt", r, true);
  if (!rows.empty()) {
    out += "<trk><name>route</name><trkseg>\n";
    for (const ExportRow& r : rows) point("trkpt", r, false);
    out += "</trkseg></trk>\n";
  }
  return out + "</gpx>\n";
}

}  // namespace

bool IsExportFormat(const std::string& f) {
  return f == "csv" || f == "geojson" || f == "kml" || f == "gpx";
}

std::string ExportText(const std::string& format, const std::vector<ExportRow>& rows) {
  if (format == "csv") return Csv(rows);
  if (format == "geojson") return GeoJson(rows);
  if (format == "kml") return Kml(rows);
  return Gpx(rows);
}

}  // namespace scanlink::cli
