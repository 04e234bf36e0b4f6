// What the simulator sends: replies to each command, report layouts by their length formulas, and
// the reports a scan produces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>

#include "hex.h"
#include "reply_table.h"
#include "report_generator.h"
#include "report_table.h"
#include "scanner_model.h"

namespace scanlink::sim {
namespace {

std::uint16_t be16(const Bytes& b, std::size_t off) {
  return static_cast<std::uint16_t>(b[off] << 8 | b[off + 1]);
}
std::uint32_t be32(const Bytes& b, std::size_t off) {
  return static_cast<std::uint32_t>(be16(b, off)) << 16 | be16(b, off + 2);
}

std::vector<std::uint16_t> codes(const std::vector<Reply>& replies) {
  std::vector<std::uint16_t> out;
  for (const Reply& r : replies) out.push_back(r.code);
  return out;
}

std::vector<Reply> send(ScannerModel& m, std::uint16_t code, const Bytes& payload = {}) {
  return m.on_command(code, payload, decode_command(code, payload));
}

TEST(Replies, EachCommandGetsItsDataReplyThenItsValueReply) {
  const std::pair<std::uint16_t, std::vector<std::uint16_t>> kTable[] = {
      {1, {3}},           {4, {5, 6}},        {7, {9}},
      {10, {11, 12}},     {18, {}},           {20, {21}},
      {22, {23, 24}},     {43, {44}},         {46, {}},
      {81, {}},           {84, {}},           {87, {89}},
      {97, {99}},         {113, {}},          {0xF001, {0xF003}},
      {0xF004, {0xF006}}, {0xF007, {0xF009}}, {0xF00A, {0xF00B, 0xF00C}},
      {0xF012, {}},       {0xF014, {0xF015}}, {0xF030, {0xF031, 0xF032}},
      {0xF040, {0xF042}}, {0x1234, {}},
  };
  for (const auto& [command, expected] : kTable) {
    SCOPED_TRACE(command);
    ScannerModel m(11);
    auto replies = send(m, command);
    EXPECT_EQ(codes(replies), expected);
    for (const Reply& r : replies) {
      if (r.code == command + 2) {
        EXPECT_EQ(r.payload, (Bytes{0, 0}));  // success
      }
    }
  }
}

TEST(Replies, ValueFirstOrderPutsTheResultBeforeTheData) {
  ScannerModel m(11, ReplyOrder::kValueFirst);
  EXPECT_EQ(codes(send(m, 0xF030)), (std::vector<std::uint16_t>{0xF032, 0xF031}));
}

TEST(Replies, DataRepliesHaveTheirLayoutLengths) {
  ScannerModel m(22);
  auto login = send(m, 43, Bytes(32, 0));
  ASSERT_EQ(login.size(), 1u);
  EXPECT_EQ(login[0].payload, (Bytes{0, 0, 0, 22}));  // the type number sits in the last byte
  EXPECT_EQ(send(m, 4, Bytes(7, 0))[0].payload.size(), 37u);
  EXPECT_EQ(send(m, 20)[0].payload.size(), 37u);
  EXPECT_EQ(send(m, 22, Bytes(25, 0))[0].payload.size(), 4u);
  EXPECT_EQ(send(m, 0xF014)[0].payload.size(), 21u);
  EXPECT_EQ(send(m, 0xF030)[0].payload.size(), 3u);
}

TEST(Replies, ScanModeReplyEchoesTheLastScanModeOfItsFamily) {
  ScannerModel m(21);
  // Before any scan mode: WCDMA general layout of zeros, TD empty cell list.
  EXPECT_EQ(send(m, 10)[0].payload, Bytes(31, 0));
  EXPECT_EQ(send(m, 0xF00A)[0].payload, (Bytes{1, 0, 0, 0, 0, 0, 0}));

  Bytes td = from_hex("04 00 00 00 10 01 00 00 03 B6 FF FF 03").value();
  Bytes w = from_hex("08 00 00 00 00 01 00 00 29 CC").value();
  send(m, 0xF001, td);
  send(m, 1, w);
  EXPECT_EQ(send(m, 0xF00A)[0].payload, td);
  EXPECT_EQ(send(m, 10)[0].payload, w);

  // A TD mode without fields of its own is echoed as its 5-byte header.
  send(m, 0xF001, from_hex("07 01 00 00 05").value());
  EXPECT_EQ(send(m, 0xF00A)[0].payload, (Bytes{7, 1, 0, 0, 5}));
}

TEST(ScannerState, StartStopResetAndFingerSetting) {
  ScannerModel m(11);
  send(m, 0xF001, from_hex("01 01 00 00 00 00 00").value());              // cell list with fingers
  send(m, 0xF001, from_hex("05 00 01 01 2C 00 00 00 0A 00 07").value());  // CW scan: finger byte 0
  send(m, 0xF004);
  ASSERT_TRUE(m.scanning());
  ScanPlan plan = m.plan();
  EXPECT_EQ(plan.family, Family::kTd);
  EXPECT_EQ(plan.mode, 5);
  EXPECT_TRUE(plan.finger) << "a CW scan mode does not change the finger setting";

  send(m, 0xF001, from_hex("02 00 00 00 00 00 0000 00000000 00000000").value());  // search without
  EXPECT_FALSE(m.plan().finger);

  send(m, 7);
  EXPECT_FALSE(m.scanning());
  send(m, 4, Bytes(7, 0));
  EXPECT_EQ(m.plan().family, Family::kWcdma);
  send(m, 0xF012);
  EXPECT_FALSE(m.scanning());
}

// Payload length of each report layout against its formula.
TEST(ReportLayouts, LengthsFollowTheLayoutFormulas) {
  auto len = [](std::uint16_t code, const Json& f, bool finger = false) {
    return encode(*report_layout(code, finger), f).size();
  };
  Json three = Json::array({1, 2, 3});
  EXPECT_EQ(len(36, {{"values", three}}), 134u + 2 * 3);
  EXPECT_EQ(len(0xF027, {{"values", three}}), 130u + 2 * 3);
  EXPECT_EQ(len(38, {{"values", three}}), 7u + 2 * 3);
  EXPECT_EQ(len(37, {}), 2u);
  EXPECT_EQ(len(0xF028, {}), 6u);

  Json records =
      Json::array({{{"entries", Json::array({{{"first", 1}}, {{"first", 2}}})}}, Json::object()});
  EXPECT_EQ(len(40, {{"records", records}}), 134u + 15 * 2 + 6 * 2);
  EXPECT_EQ(len(259, {{"records", records}}), 134u + 15 * 2 + 6 * 2);

  EXPECT_EQ(len(73, {{"points", three}}), 12u + 2 * 3);
  Json cells = Json::array({Json::object(), Json::object()});
  EXPECT_EQ(len(0xF025, {{"cells", cells}}), 130u + 50 * 2);
  EXPECT_EQ(len(0xF025, {{"cells", cells}}, true), 130u + 118 * 2);
  Json profiles = Json::array({Json::object(), Json::object()});
  EXPECT_EQ(len(0xF100, {{"profiles", profiles}}), 1333u);
  EXPECT_EQ(len(0xF102, {{"profiles", profiles}}), 1303u);
}

TEST(ReportLayouts, CellRecordReportLeavesByte128ZeroAndCountsAt129) {
  Bytes b = encode(*report_layout(40), {{"headerValue2", 0xFFFFFFFF},
                                        {"reportValue", 7},
                                        {"records", Json::array({{{"value1", 0x01020304}}})}});
  EXPECT_EQ(b[127], 0xFF);
  EXPECT_EQ(b[128], 0);
  EXPECT_EQ(b[129], 1);
  EXPECT_EQ(be32(b, 130), 7u);
  EXPECT_EQ(be32(b, 134), 0x01020304u);
}

TEST(ReportCodes, EachScanModeHasItsReport) {
  const std::tuple<Family, std::optional<std::uint8_t>, std::uint16_t> kTable[] = {
      {Family::kWcdma, std::nullopt, 36},
      {Family::kWcdma, 0, 36},
      {Family::kWcdma, 1, 41},
      {Family::kWcdma, 2, 257},
      {Family::kWcdma, 3, 259},
      {Family::kWcdma, 4, 73},
      {Family::kWcdma, 5, 38},
      {Family::kWcdma, 7, 40},
      {Family::kWcdma, 8, 36},
      {Family::kTd, std::nullopt, 0xF025},
      {Family::kTd, 1, 0xF025},
      {Family::kTd, 2, 0xF025},
      {Family::kTd, 3, 0xF026},
      {Family::kTd, 4, 0xF027},
      {Family::kTd, 5, 0xF102},
      {Family::kTd, 6, 0xF100},
      {Family::kTd, 8, 0xF102},
  };
  for (const auto& [family, mode, code] : kTable) {
    EXPECT_EQ(report_code_for(family, mode), code) << static_cast<int>(mode.value_or(255));
  }
}

// The generator's reports must be what a receiver can decode: lengths that agree with the counts
// written into them.
TEST(ReportGenerator, EveryReportAgreesWithItsOwnCount) {
  GeneratorConfig config;
  config.status_every = 0;
  ReportGenerator gen(config, {}, Route({{116.4, 39.9}}, 0));
  auto plan = [](Family f, std::uint8_t mode, Json fields = Json::object()) {
    ScanPlan p;
    p.family = f;
    p.mode = mode;
    fields["mode"] = mode;
    p.fields = fields;
    return p;
  };
  Json entries =
      Json::array({{{"first", 10700}, {"second", 5}}, {{"first", 10725}, {"second", 6}}});

  GeneratedReport r =
      gen.next(plan(Family::kWcdma, 8, {{"entries", Json::array({10700, 10725, 10750})}}), 0, 0);
  EXPECT_EQ(r.code, 36);
  EXPECT_EQ(be16(r.payload, 132), 3);
  EXPECT_EQ(r.payload.size(), 134u + 2 * 3);

  r = gen.next(plan(Family::kWcdma, 5), 0, 0);
  EXPECT_EQ(r.payload.size(), 7u + 2 * be16(r.payload, 0));

  r = gen.next(plan(Family::kWcdma, 7, {{"entries", entries}}), 0, 0);
  EXPECT_EQ(r.code, 40);
  ASSERT_EQ(r.payload[129], 2);
  EXPECT_EQ(be32(r.payload, 134), 10700u);  // first record measures the first listed cell
  std::size_t second = 134 + 15 + 6 * r.payload[134 + 14];
  EXPECT_EQ(be32(r.payload, second), 10725u);
  EXPECT_EQ(r.payload.size(), second + 15 + 6 * r.payload[second + 14]);

  r = gen.next(plan(Family::kWcdma, 4, {{"value1", 100}, {"value2", 120}, {"value3", 5}}), 0, 0);
  EXPECT_EQ(r.code, 73);
  EXPECT_EQ(r.payload.size(), 12u + 2 * 5);

  r = gen.next(plan(Family::kTd, 3, {{"sa1", 10}, {"sa2", 5}, {"sa3", 0}}), 0,
               0);  // unusable range
  std::uint32_t points = (be32(r.payload, 4) - be32(r.payload, 0)) / be32(r.payload, 8) + 1;
  EXPECT_EQ(r.payload.size(), 12u + 2 * points);

  r = gen.next(plan(Family::kTd, 4, {{"entries", entries}}), 0, 0);
  EXPECT_EQ(r.code, 0xF027);
  EXPECT_EQ(r.payload.size(), 130u + 2 * be16(r.payload, 128));

  r = gen.next(plan(Family::kTd, 6), 0, 0);
  EXPECT_EQ(r.payload.size(), 143u + 595 * r.payload[142]);
  r = gen.next(plan(Family::kTd, 8), 0, 0);
  EXPECT_EQ(r.payload.size(), 137u + 583 * r.payload[136]);

  r = gen.next(plan(Family::kTd, 1, {{"entries", entries}}), 0, 0);
  EXPECT_EQ(r.payload[129], 2);
  EXPECT_EQ(r.payload.size(), 130u + 50 * 2);
}

TEST(ReportGenerator, StatusFrameComesEveryNthFrame) {
  GeneratorConfig config;
  config.status_every = 3;
  ReportGenerator gen(config, {}, Route({{116.4, 39.9}}, 0));
  ScanPlan td;
  td.family = Family::kTd;
  std::vector<std::uint16_t> seen;
  for (int i = 0; i < 6; ++i) seen.push_back(gen.next(td, 0, 0).code);
  EXPECT_EQ(seen, (std::vector<std::uint16_t>{0xF025, 0xF025, 0xF028, 0xF025, 0xF025, 0xF028}));
}

// TD cell records read at their wire offsets: keys at 0 and 4, delay at 48 of each 50-byte record.
TEST(ReportGenerator, TdCellDelaysMatchTheDistanceExceptForBadCells) {
  std::vector<BaseStation> stations{{"a", 10055, 12, {116.4, 40.0}},
                                    {"b", 10055, 20, {116.5, 39.9}},
                                    {"c", 10080, 3, {116.3, 39.95}},
                                    {"d", 10080, 4, {116.4, 39.8}}};
  GeneratorConfig config;
  config.bad_cell_every = 2;
  config.delay_error = -30;
  config.status_every = 0;
  ReportGenerator gen(config, stations, Route({{116.4, 39.9}}, 0));
  ScanPlan plan;
  plan.family = Family::kTd;
  GeneratedReport r = gen.next(plan, 0, 0);
  ASSERT_EQ(r.code, 0xF025);
  EXPECT_EQ(be32(r.payload, 120), 1u);  // GPS mode
  ASSERT_EQ(r.payload[129], 4);
  ASSERT_EQ(r.payload.size(), 130u + 50 * 4);
  for (std::size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    std::size_t at = 130 + 50 * i;
    EXPECT_EQ(be32(r.payload, at), stations[i].key1);
    EXPECT_EQ(be16(r.payload, at + 4), stations[i].key2);
    auto delay = static_cast<std::int16_t>(be16(r.payload, at + 48));
    std::int32_t expected = quarter_chips(geo_distance_km({116.4, 39.9}, stations[i].position));
    EXPECT_EQ(delay, expected + (i % 2 == 1 ? -30 : 0));
    EXPECT_EQ(r.detail["cells"][i]["bad"], i % 2 == 1);
  }
  EXPECT_EQ(static_cast<std::int16_t>(be16(r.payload, 130 + 48)), 189);  // 11.1035 km north
}

TEST(ReportGenerator, FingerRecordsAre118BytesAndTheListCapsTheCells) {
  std::vector<BaseStation> many;
  for (std::uint32_t i = 0; i < 40; ++i)
    many.push_back({"s", 10000 + i, i, {116.4, 39.9 + i * 0.001}});
  GeneratorConfig config;
  config.cells_per_report = 38;
  config.status_every = 0;
  ReportGenerator gen(config, many, Route({{116.4, 39.9}}, 0));
  ScanPlan plan;
  plan.family = Family::kTd;
  plan.finger = true;
  GeneratedReport r = gen.next(plan, 0, 0);
  ASSERT_EQ(r.payload[129], 16) << "16 records with fingers fill a 2048-byte payload";
  EXPECT_EQ(r.payload.size(), 130u + 118 * 16);
  EXPECT_EQ(be32(r.payload, 130 + 118), 10001u);  // next record
  // Fingers: 2 to 4 locked paths, the first at the cell's delay and level, each later one later
  // and weaker, their power shares summing to 100 %; unused fingers 0.
  std::set<std::uint32_t> locked;
  for (std::size_t at = 130; at < r.payload.size(); at += 118) {
    std::uint32_t n = be32(r.payload, at + 50);
    locked.insert(n);
    ASSERT_GE(n, 2u);
    ASSERT_LE(n, 4u);
    std::uint32_t delay = be16(r.payload, at + 48), level = be16(r.payload, at + 6), share = 0;
    for (std::uint32_t f = 0; f < 4; ++f) {
      std::size_t v = at + 54 + 16 * f;
      std::uint32_t path_delay = be32(r.payload, v), path_level = be32(r.payload, v + 4);
      if (f >= n) {
        EXPECT_EQ(path_delay + path_level + be32(r.payload, v + 8) + be32(r.payload, v + 12), 0u);
        continue;
      }
      EXPECT_EQ(be32(r.payload, v + 12), 1u);
      EXPECT_EQ(f > 0, path_delay > delay);
      EXPECT_EQ(f > 0, level > path_level);
      EXPECT_GE(path_delay, delay);
      delay = path_delay, level = path_level, share += be32(r.payload, v + 8);
    }
    EXPECT_NEAR(share, 100, 2);
  }
  EXPECT_GE(locked.size(), 2u);

  plan.finger = false;
  r = gen.next(plan, 0, 0);
  EXPECT_EQ(r.payload[129], 38);
  EXPECT_LE(r.payload.size(), 2048u);
  EXPECT_EQ(be32(r.payload, 130), 10016u)
      << "the next report goes on with the stations not yet heard";
}

// Level fields carry dBm + 150. A sweep over a TD channel and a WCDMA one: noise near -110 dBm
// away from the carriers, each carrier as wide as its channel; cells stronger near their mast.
TEST(ReportGenerator, SweepsAndLevelsFollowTheStations) {
  std::vector<BaseStation> stations{{"near", 10055, 1, {116.4, 39.902}},  // 2011.0 MHz, 220 m
                                    {"far", 10071, 2, {116.4, 39.93}}};   // 2014.2 MHz, 3.3 km
  GeneratorConfig config;
  config.status_every = 0;
  ReportGenerator gen(config, stations, Route({{116.4, 39.9}}, 0));
  struct Case {
    Family family;
    std::uint32_t start, end, step;
    double centre, width_lo, width_hi;
  };
  const Case kCases[] = {
      {Family::kTd, 2005000, 2020000, 100, 2011000, 1200, 1700},
      {Family::kWcdma, 2100000, 2125000, 200, 2112600, 4000, 5000},  // the first mast's carrier
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.centre);
    ScanPlan plan;
    plan.family = c.family;
    plan.mode = c.family == Family::kTd ? 3 : 4;
    plan.fields = c.family == Family::kTd
                      ? Json{{"sa1", c.start}, {"sa2", c.end}, {"sa3", c.step}}
                      : Json{{"value1", c.start}, {"value2", c.end}, {"value3", c.step}};
    GeneratedReport r = gen.next(plan, 0, 0);
    std::size_t points = (c.end - c.start) / c.step + 1;
    ASSERT_EQ(r.payload.size(), 12 + 2 * points);
    std::vector<double> dbm, floor;
    for (std::size_t k = 0; k < points; ++k) dbm.push_back(be16(r.payload, 12 + 2 * k) - 150.0);
    double peak = *std::max_element(dbm.begin(), dbm.end());
    EXPECT_GT(peak, -95);
    double wide = 0;
    for (std::size_t k = 0; k < points; ++k) {
      double f = c.start + static_cast<double>(k * c.step);
      if (dbm[k] > peak - 10) {
        wide += c.step;
        EXPECT_LT(std::fabs(f - c.centre), c.width_hi / 2) << f;
      }
      if (f < c.centre - c.width_hi) floor.push_back(dbm[k]);  // below both carriers
    }
    EXPECT_GE(wide, c.width_lo);
    EXPECT_LE(wide, c.width_hi);
    ASSERT_FALSE(floor.empty());
    std::sort(floor.begin(), floor.end());
    EXPECT_NEAR(floor[floor.size() / 2], -110, 2);
  }
  // TD cell reports: the level of the near cell above the far one, report after report, and
  // both moving with the fading.
  ScanPlan td;
  td.family = Family::kTd;
  std::set<std::uint16_t> near_levels;
  for (int i = 0; i < 10; ++i) {
    GeneratedReport r = gen.next(td, 0, 0);
    ASSERT_EQ(r.payload[129], 2);
    std::uint16_t near = be16(r.payload, 130 + 6), far = be16(r.payload, 130 + 50 + 6);
    EXPECT_GT(near, far + 15);
    near_levels.insert(near);
  }
  EXPECT_GT(near_levels.size(), 2u);
  // The same seed draws the same levels; another seed others.
  auto first_sweep = [&](std::uint32_t seed) {
    config.seed = seed;
    ReportGenerator g(config, stations, Route({{116.4, 39.9}}, 0));
    ScanPlan p;
    p.family = Family::kTd;
    p.mode = 3;
    return g.next(p, 0, 0).payload;
  };
  EXPECT_EQ(first_sweep(5), first_sweep(5));
  EXPECT_NE(first_sweep(5), first_sweep(6));
  // Right under a mast the level stays that of a macro cell's close range, not of its antenna.
  RadioModel under({{"mast", 10055, 1, {116.4, 39.9}}}, {116.4, 39.9}, 1);
  for (std::uint64_t draw = 0; draw < 50; ++draw) {
    double dbm = under.cell_level_dbm(0, {116.4, 39.9}, draw);
    EXPECT_LT(dbm, -25);
    EXPECT_GT(dbm, -75);
  }
}

}  // namespace
}  // namespace scanlink::sim
