#include "svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

namespace scanlink::cli {
namespace {

constexpr double kWidth = 800, kHeight = 500, kLeft = 80, kRight = 30, kTop = 40, kBottom = 60;

std::string Num(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", v);
  return text;
}

// "x,y" of a polyline point.
std::string XY(double x, double y) {
  char text[48];
  std::snprintf(text, sizeof text, "%.2f,%.2f", x, y);
  return text;
}

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        if (static_cast<unsigned char>(c) >= 0x20) out += c;
    }
  }
  return out;
}

// Maps [lo, hi] onto [a, b]; a degenerate range maps to the middle.
struct Scale {
  double lo, hi, a, b;
  double operator()(double v) const {
    return hi > lo ? a + (v - lo) / (hi - lo) * (b - a) : (a + b) / 2;
  }
};

std::string Head(const std::string& title) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
         Num(kWidth) + "\" height=\"" + Num(kHeight) + "\" viewBox=\"0 0 " + Num(kWidth) + " " +
         Num(kHeight) + "\" font-family=\"sans-serif\" font-size=\"12\">\n<title>" + Escape(title) +
         "</title>\n<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
         "<text x=\"" +
         Num(kWidth / 2) + "\" y=\"22\" text-anchor=\"middle\" font-size=\"15\">" + Escape(title) +
         "</text>\n";
}

// Axis lines, five ticks each with their values, and the two axis titles.
std::string Axes(const Scale& x, const Scale& y, const std::string& xTitle,
                 const std::string& yTitle) {
  std::string out = "<g class=\"axes\" stroke=\"black\">\n";
  out += "<line x1=\"" + Num(kLeft) + "\" y1=\"" + Num(kHeight - kBottom) + "\" x2=\"" +
         Num(kWidth - kRight) + "\" y2=\"" + Num(kHeight - kBottom) + "\"/>\n";
  out += "<line x1=\"" + Num(kLeft) + "\" y1=\"" + Num(kTop) + "\" x2=\"" + Num(kLeft) +
         "\" y2=\"" + Num(kHeight - kBottom) + "\"/>\n</g>\n<g class=\"ticks\">\n";
  for (int i = 0; i <= 4; ++i) {
    const double xv = x.lo + (x.hi - x.lo) * i / 4, yv = y.lo + (y.hi - y.lo) * i / 4;
    out += "<text x=\"" + Num(x(xv)) + "\" y=\"" + Num(kHeight - kBottom + 18) +
           "\" text-anchor=\"middle\">" + Num(xv) + "</text>\n";
    out += "<text x=\"" + Num(kLeft - 6) + "\" y=\"" + Num(y(yv) + 4) + "\" text-anchor=\"end\">" +
           Num(yv) + "</text>\n";
  }
  out += "</g>\n<text class=\"x-title\" x=\"" + Num((kLeft + kWidth - kRight) / 2) + "\" y=\"" +
         Num(kHeight - 15) + "\" text-anchor=\"middle\">" + Escape(xTitle) + "</text>\n";
  out += "<text class=\"y-title\" x=\"20\" y=\"" + Num((kTop + kHeight - kBottom) / 2) +
         "\" text-anchor=\"middle\" transform=\"rotate(-90 20 " +
         Num((kTop + kHeight - kBottom) / 2) + ")\">" + Escape(yTitle) + "</text>\n";
  return out;
}

const char* VerdictColour(Verdict v) {
  switch (v) {
    case Verdict::kFound:
      return "green";
    case Verdict::kDelayMismatch:
      return "red";
    case Verdict::kNotListed:
      return "orange";
    case Verdict::kUnchecked:
      break;
  }
  return "gray";
}

}  // namespace

std::string SweepPlotSvg(const std::vector<SweepTrace>& sweeps) {
  double fLo = 0, fHi = 1, lHi = 1;
  bool any = false;
  for (const SweepTrace& s : sweeps) {
    if (s.levels.empty()) continue;
    const double last = s.start + static_cast<double>(s.step) * (s.levels.size() - 1);
    fLo = any ? std::min(fLo, double(s.start)) : s.start;
    fHi = any ? std::max(fHi, last) : last;
    lHi = std::max(lHi, double(*std::max_element(s.levels.begin(), s.levels.end())));
    any = true;
  }
  const Scale x{fLo, fHi, kLeft, kWidth - kRight}, y{0, lHi, kHeight - kBottom, kTop};
  std::string out =
      Head("Sweep reports: level against frequency (" + std::to_string(sweeps.size()) + " sweeps)");
  out += Axes(x, y, "frequency", "level");
  for (size_t i = 0; i < sweeps.size(); ++i) {
    const SweepTrace& s = sweeps[i];
    out += "<polyline class=\"sweep\" data-code=\"" + std::to_string(s.code) + "\" data-points=\"" +
           std::to_string(s.levels.size()) + "\" fill=\"none\" stroke=\"hsl(" +
           std::to_string((i * 47) % 360) + ",70%,40%)\" stroke-opacity=\"0.6\" points=\"";
    for (size_t k = 0; k < s.levels.size(); ++k) {
      if (k) out += ' ';
      out += XY(x(s.start + static_cast<double>(s.step) * k), y(s.levels[k]));
    }
    out += "\"/>\n";
  }
  return out + "</svg>\n";
}

std::string RouteMapSvg(const std::vector<RouteReport>& route,
                        const std::vector<Station>& stations) {
  double latLo = 90, latHi = -90, lonLo = 180, lonHi = -180;
  auto include = [&](double lat, double lon) {
    latLo = std::min(latLo, lat), latHi = std::max(latHi, lat);
    lonLo = std::min(lonLo, lon), lonHi = std::max(lonHi, lon);
  };
  for (const RouteReport& r : route) include(r.where.latitude, r.where.longitude);
  for (const Station& s : stations) include(s.latitude, s.longitude);
  if (latLo > latHi) latLo = latHi = lonLo = lonHi = 0;
  // Same metres per pixel on both axes: widen the narrower span.
  const double midLat = (latLo + latHi) / 2, k = std::cos(midLat * std::numbers::pi / 180);
  double lonSpan = std::max((lonHi - lonLo) * k, 1e-4), latSpan = std::max(latHi - latLo, 1e-4);
  const double plotW = kWidth - kLeft - kRight, plotH = kHeight - kTop - kBottom;
  if (lonSpan / latSpan > plotW / plotH)
    latSpan = lonSpan * plotH / plotW;
  else
    lonSpan = latSpan * plotW / plotH;
  const double lonMid = (lonLo + lonHi) / 2;
  const Scale x{lonMid - lonSpan / k / 2, lonMid + lonSpan / k / 2, kLeft, kWidth - kRight};
  const Scale y{midLat - latSpan / 2, midLat + latSpan / 2, kHeight - kBottom, kTop};

  std::string out = Head("Route and GPS check (" + std::to_string(route.size()) + " reports, " +
                         std::to_string(stations.size()) + " base stations)");
  out += Axes(x, y, "longitude (degrees east)", "latitude (degrees north)");
  out += "<g class=\"legend\">\n";
  const Verdict legend[] = {Verdict::kFound, Verdict::kDelayMismatch, Verdict::kNotListed};
  for (int i = 0; i < 3; ++i)
    out += "<text x=\"" + Num(kLeft + 10 + 200 * i) + "\" y=\"" + Num(kTop + 4) + "\" fill=\"" +
           VerdictColour(legend[i]) + "\">&#9632; " + VerdictText(legend[i]) + "</text>\n";
  out += "</g>\n<g class=\"checks\" stroke-width=\"1\" stroke-opacity=\"0.35\">\n";
  for (const RouteReport& r : route) {
    for (const CellMark& c : r.cells) {
      auto s = std::find_if(stations.begin(), stations.end(), [&](const Station& st) {
        return st.key1 == c.key1 && st.key2 == c.key2;
      });
      if (s == stations.end()) continue;
      out += "<line x1=\"" + Num(x(r.where.longitude)) + "\" y1=\"" + Num(y(r.where.latitude)) +
             "\" x2=\"" + Num(x(s->longitude)) + "\" y2=\"" + Num(y(s->latitude)) + "\" stroke=\"" +
             VerdictColour(c.verdict) + "\"/>\n";
    }
  }
  out += "</g>\n<polyline class=\"route\" data-points=\"" + std::to_string(route.size()) +
         "\" fill=\"none\" stroke=\"blue\" stroke-width=\"2\" points=\"";
  for (size_t i = 0; i < route.size(); ++i) {
    if (i) out += ' ';
    out += XY(x(route[i].where.longitude), y(route[i].where.latitude));
  }
  out += "\"/>\n<g class=\"reports\">\n";
  for (const RouteReport& r : route) {
    if (r.cells.empty()) continue;
    Verdict worst = Verdict::kFound;
    // Viewers fold the line breaks of a tooltip: separators keep the cells apart.
    std::string title =
        FormatPosition(r.where) + ", " + std::to_string(r.cells.size()) + " cells: ";
    for (const CellMark& c : r.cells) {
      if (&c != &r.cells.front()) title += "; ";
      title += std::to_string(c.key1) + "/" + std::to_string(c.key2) + " " + VerdictText(c.verdict);
      if (c.verdict == Verdict::kDelayMismatch || worst == Verdict::kFound) worst = c.verdict;
    }
    out += "<circle class=\"report\" cx=\"" + Num(x(r.where.longitude)) + "\" cy=\"" +
           Num(y(r.where.latitude)) + "\" r=\"4\" fill=\"" + VerdictColour(worst) + "\"><title>" +
           Escape(title) + "</title></circle>\n";
  }
  out += "</g>\n<g class=\"stations\">\n";
  for (const Station& s : stations) {
    out += "<rect class=\"station\" x=\"" + Num(x(s.longitude) - 5) + "\" y=\"" +
           Num(y(s.latitude) - 5) + "\" width=\"10\" height=\"10\" fill=\"black\"/>\n";
    out += "<text x=\"" + Num(x(s.longitude) + 8) + "\" y=\"" + Num(y(s.latitude) + 4) + "\">" +
           Escape(s.name) + " " + std::to_string(s.key1) + "/" + std::to_string(s.key2) +
           "</text>\n";
  }
  return out + "</g>\n</svg>\n";
}

}  // namespace scanlink::cli
