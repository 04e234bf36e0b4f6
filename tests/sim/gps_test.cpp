// The GPS text the scanner sends, read back the way a receiver reads it, and the geometry behind
// delays.
#include "gps.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

#include "bs_list.h"
#include "receiver.h"
#include "route.h"

namespace scanlink::sim {
namespace {

// A receiver's reading, written independently of the simulator: split on commas, and take the
// number in front of the N field as ddmm.mmmm and the one in front of the E field as dddmm.mmmm.
Position parse_sentence(const std::string& text) {
  std::vector<std::string> fields;
  std::stringstream in(text);
  for (std::string f; std::getline(in, f, ',');) fields.push_back(f);
  Position p{180, 90};
  for (std::size_t i = 1; i < fields.size(); ++i) {
    if (fields[i] == "N")
      p.lat = std::stod(fields[i - 1].substr(0, 2)) + std::stod(fields[i - 1].substr(2)) / 60;
    if (fields[i] == "E")
      p.lon = std::stod(fields[i - 1].substr(0, 3)) + std::stod(fields[i - 1].substr(3)) / 60;
  }
  return p;
}

// 2026-12-10 12:34:56.78 UTC.
constexpr double kNoonish = 1796906096.78;

TEST(GpsText, ReadsBackAsThePositionItWasMadeFrom) {
  const Position kPlaces[] = {
      {116.4, 39.9}, {116.40712, 39.91234}, {8.5, 47.37}, {121.0, 31.0}, {100.99999999, 5.0}};
  for (const Position& p : kPlaces) {
    GpsFix fix{kNoonish, p, 52.3, 8.2, 271.5, 9, 1.0};
    for (const std::string& text : {gga_text(fix), rmc_text(fix)}) {
      SCOPED_TRACE(text);
      EXPECT_LT(text.size(), 119u);
      Position back = parse_sentence(text);
      EXPECT_NEAR(back.lat, p.lat, 1e-6);  // 4 decimals of a minute: under 0.2 m
      EXPECT_NEAR(back.lon, p.lon, 1e-6);
      Position read = position_as_read(text);
      EXPECT_NEAR(read.lat, back.lat, 1e-12);
      EXPECT_NEAR(read.lon, back.lon, 1e-12);
    }
  }
  // Time to the hundredth, and what each sentence adds: date, knots and course; satellites,
  // precision and altitude.
  GpsFix fix{kNoonish, {116.4, 39.9}, 52.34, 10.0, 90.04, 9, 1.0};
  EXPECT_EQ(gga_text(fix).substr(0, 67),
            "$GPGGA,123456.78,3954.0000,N,11624.0000,E,1,09,1.0,52.3,M,-8.0,M,,*");
  EXPECT_EQ(rmc_text(fix).substr(0, 65),
            "$GPRMC,123456.78,A,3954.0000,N,11624.0000,E,19.4,90.0,101226,,,A*");
  for (const std::string& text : {gga_text(fix), rmc_text(fix)}) {
    unsigned sum = 0;
    for (char c : text.substr(1, text.size() - 4)) sum ^= static_cast<unsigned char>(c);
    EXPECT_EQ(std::strtoul(text.substr(text.size() - 2).c_str(), nullptr, 16), sum) << text;
  }
  fix.utc_s = 86400 * 3 - 0.004;  // rounds into the next day
  EXPECT_NE(rmc_text(fix).find(",000000.00,"), std::string::npos) << rmc_text(fix);
  EXPECT_NE(rmc_text(fix).find(",040170,"), std::string::npos) << rmc_text(fix);
}

TEST(GpsText, NoHemisphereLetterComesBeforeTheRealOnes) {
  for (const std::string& text : {gga_text({0, {116.4, 39.9}}), rmc_text({0, {116.4, 39.9}})}) {
    EXPECT_EQ(text.find('N'), text.find(",N,") + 1) << text;
    EXPECT_EQ(text.find('E'), text.find(",E,") + 1) << text;
    EXPECT_NE(text.find("3954.0000,N,11624.0000,E"), std::string::npos);
  }
  // Minutes that round up to 60 carry into the degrees.
  EXPECT_NE(gga_text({0, {100.99999999, 5.0}}).find("10100.0000,E"), std::string::npos);
  std::string south = gga_text({0, {-43.2, -22.9}});
  EXPECT_NE(south.find(",S,"), std::string::npos);
  EXPECT_NE(south.find(",W,"), std::string::npos);
}

// A receiver finds the comma before a number only within 12 characters of the letter, and reads
// longitude 180, latitude 90 when it finds no number; the simulator must compute with the same.
TEST(GpsText, ReadsOnlyWhatAReceiverFinds) {
  struct Case {
    const char* text;
    double lon, lat;
  };
  const Case cases[] = {
      {"$GPGGA,1,3954.0000,N,11624.0000,E,1", 116.4, 39.9},
      {"$GPGGA,1,3954.0000,N,11624.12345,E,1", 116 + 24.12345 / 60, 39.9},  // 11 characters
      {"$GPGGA,1,3954.0000,N,11624.123456,E,1", 180, 90},                   // 12 characters
      {"$GPGGA,1,3954.00000000,N,11624.0000,E,1", 180, 90},
      {"3954.0000,N,11624.0000,E", 180, 90},  // no comma in front of the first number
      {"$GPGGA,1,2254.0000,S,04312.0000,W,1", 180, 90},
      {"$GPGGA,1,3954.0000,N", 180, 90},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Position p = position_as_read(c.text);
    EXPECT_NEAR(p.lon, c.lon, 1e-9);
    EXPECT_NEAR(p.lat, c.lat, 1e-9);
  }
  // Nothing after a NUL or past 119 characters is read.
  std::string cut("$GPGGA,1,3954.0000,N,11624.0000,\0E", 34);
  EXPECT_EQ(position_as_read(cut).lon, 180);
  std::string far = "$" + std::string(100, 'x') + ",3954.0000,N,11624.0000,E";
  ASSERT_GT(far.size(), 119u);
  EXPECT_EQ(position_as_read(far).lon, 180);
}

TEST(Geodesy, DistancesAndDelaysOfKnownPairs) {
  EXPECT_NEAR(geo_distance_km({116.4, 39.9}, {116.4, 40.0}), 11.1035, 1e-4);
  EXPECT_EQ(quarter_chips(geo_distance_km({116.4, 39.9}, {116.4, 40.0})), 189);
  EXPECT_NEAR(geo_distance_km({0, 0}, {1, 0}), 111.3195, 1e-4);
  EXPECT_NEAR(geo_distance_km({0, 0}, {0, 1}), 110.5731, 1e-4);
  EXPECT_EQ(geo_distance_km({116.4, 39.9}, {116.4, 39.9}), 0.0);
  EXPECT_EQ(quarter_chips(0.234375 / 4 * 2.999), 2);  // truncated, not rounded
}

TEST(Route, TheDefaultDriveTurnsChangesSpeedAndComesBack) {
  Route r = Route::drive({116.4, 39.9}, 10, 1);
  EXPECT_GT(r.length_m(), 6000);
  EXPECT_LT(r.length_m(), 14000);
  Position start = r.at(0);
  Position soon = r.at(20);
  EXPECT_GT(soon.lon, start.lon) << "heads east first";
  EXPECT_NEAR(soon.lat, start.lat, 1e-9);
  // Second by second through one lap: corners and traffic, and a few km across.
  double slowest = 1e9, fastest = 0, turns = 0, lon_lo = 180, lon_hi = -180, lat_lo = 90,
         lat_hi = -90;
  double heading = 0, last_v = 0, sharpest_change = 0;
  for (double t = 0; t < r.lap_s(); t += 1) {
    Position a = r.at(t), b = r.at(t + 1);
    double v = geo_distance_km(a, b) * 1000;
    sharpest_change = std::max(sharpest_change, std::fabs(v - last_v));
    last_v = v;
    slowest = std::min(slowest, v), fastest = std::max(fastest, v);
    lon_lo = std::min(lon_lo, a.lon), lon_hi = std::max(lon_hi, a.lon);
    lat_lo = std::min(lat_lo, a.lat), lat_hi = std::max(lat_hi, a.lat);
    double h = std::atan2(b.lat - a.lat, (b.lon - a.lon) * 0.767);
    if (t > 0 && std::fabs(std::remainder(h - heading, 2 * 3.14159265)) > 0.5) ++turns;
    heading = h;
  }
  EXPECT_EQ(slowest, 0) << "stops at traffic lights";
  EXPECT_GT(fastest, 9);
  EXPECT_LT(fastest, 60 / 3.6) << "a town drive";
  EXPECT_GE(turns, 8);
  EXPECT_GT(geo_distance_km({lon_lo, 39.9}, {lon_hi, 39.9}), 2);
  EXPECT_GT(geo_distance_km({116.4, lat_lo}, {116.4, lat_hi}), 2);
  EXPECT_LT(sharpest_change, 3.0) << "m/s in a second: braking and pulling away, no jumps";
  EXPECT_GT(r.lap_s(), r.length_m() / 10) << "slower than cruising in corners";
  // Stopped for a while at each light, and told so by the speed; east at first.
  ASSERT_GE(r.stops().size(), 4u);
  EXPECT_LE(r.stops().size(), 30u);
  for (const Route::Stop& stop : r.stops()) EXPECT_GE(stop.dwell_s, 5);
  EXPECT_NEAR(r.motion(20).course_deg, 90, 1e-6);
  EXPECT_GT(r.motion(20).speed_mps, 1);
  EXPECT_EQ(r.motion(r.lap_s() - 1).speed_mps, 0) << "the lap ends standing at the start";
  Position back = r.at(r.lap_s());
  EXPECT_NEAR(back.lon, start.lon, 1e-9);
  EXPECT_NEAR(back.lat, start.lat, 1e-9);
  // Recorded drives depend on it: the same seed gives the same drive, another seed another.
  EXPECT_EQ(Route::drive({116.4, 39.9}, 10, 1).at(321.5).lon, r.at(321.5).lon);
  EXPECT_NE(Route::drive({116.4, 39.9}, 10, 2).at(321.5).lon, r.at(321.5).lon);
  EXPECT_EQ(Route::drive({116.4, 39.9}, 0, 1).at(50).lon, 116.4);
  EXPECT_EQ(Route({{1, 2}}, 10).at(50).lon, 1);
}

// A fix each second, its RMC first and then its GGA; the reports in between carry the latest.
TEST(GpsReceiver, ReportsBetweenFixesCarryTheLatestFix) {
  Route r = Route::drive({116.4, 39.9}, 10, 1);
  std::map<std::string, std::vector<std::string>> by_time;  // fix time -> sentences carried
  for (int i = 0; i < 50; ++i) {
    std::string text = latest_sentence(r, 1, 0.03 + 0.1 * i, kNoonish);
    by_time[text.substr(7, 9)].push_back(text);
  }
  std::vector<std::string> times;
  for (const auto& [time, texts] : by_time) times.push_back(time);
  EXPECT_EQ(times, (std::vector<std::string>{"123456.78", "123457.78", "123458.78", "123459.78",
                                             "123500.78"}));
  for (int k = 1; k < 4; ++k) {
    const std::vector<std::string>& texts = by_time[times[static_cast<std::size_t>(k)]];
    ASSERT_EQ(texts.size(), 10u);
    EXPECT_EQ(texts[0].substr(0, 7), "$GPRMC,");
    for (std::size_t j = 1; j < texts.size(); ++j) EXPECT_EQ(texts[j], texts[1]);
    EXPECT_EQ(texts[1].substr(0, 7), "$GPGGA,");
    Position at = r.at(k);
    EXPECT_NEAR(position_as_read(texts[1]).lon, at.lon, 1e-6);
    EXPECT_NEAR(position_as_read(texts[0]).lat, at.lat, 1e-6);
  }
  // Over a lap: satellites come and go, the ground rises and falls by metres.
  std::set<int> satellites;
  double low = 1e9, high = -1e9;
  for (std::int64_t k = 0; k < static_cast<std::int64_t>(r.lap_s()); k += 7) {
    GpsFix fix = gps_fix(r, 1, k, kNoonish);
    satellites.insert(fix.satellites);
    low = std::min(low, fix.altitude_m), high = std::max(high, fix.altitude_m);
    EXPECT_GT(fix.hdop, 0.5);
    EXPECT_LT(fix.hdop, 1.5);
  }
  EXPECT_GE(satellites.size(), 3u);
  EXPECT_GE(*satellites.begin(), 7);
  EXPECT_LE(*satellites.rbegin(), 11);
  EXPECT_GT(high - low, 3);
  EXPECT_LT(high - low, 25);
}

TEST(BsList, ParsesEntriesSkipsHeaderAndCommentsAndNamesBadLines) {
  auto list = parse_bs_list(
      "name,key1,key2,longitude,latitude\n# comment\n\nnorth, 10055, 12, 116.4, 40.0\r\n"
      "east,10055,20,116.5,39.9");
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].name, "north");
  EXPECT_EQ(list[0].key2, 12u);
  EXPECT_DOUBLE_EQ(list[0].position.lat, 40.0);
  EXPECT_DOUBLE_EQ(list[1].position.lon, 116.5);
  try {
    parse_bs_list("a,1,2,3,4\nb,1,x,3,4\n");
    FAIL() << "a bad line was accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("line 2"), std::string::npos);
  }
}

}  // namespace
}  // namespace scanlink::sim
