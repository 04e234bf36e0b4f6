// The GPS consistency check: text parse, ellipsoid distance, base-station table and masks.
#include "codec/gps_check.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "client/first_session.h"
#include "codec/codec.h"
#include "codec/record_json.h"

namespace scanlink::codec {
namespace {

constexpr GeoPosition kDefault{180.0, 90.0};

struct ParseCase {
  const char* text;
  GeoPosition expected;
};

TEST(ParseGpsPosition, ReadsTheNumbersBeforeTheFirstEAndN) {
  const ParseCase cases[] = {
      {",3954.0000,N,11624.0000,E,", {116.4, 39.9}},
      {"$GPGGA,000000,3954.0000,N,11624.0000,E,1,08", {116.4, 39.9}},
      {"$GPRMC,123456.78,A,3954.0000,N,11624.0000,E,19.4,90.0,101226,,,A*5C", {116.4, 39.9}},
      {",3954,N,11624,E", {116.4, 39.9}},
      {",11624.12345,E,,3954.0000,N", {116 + 24.12345 / 60, 39.9}},  // 11 characters
      {",11624.123456,E,,3954.0000,N", kDefault},                    // 12: comma out of reach
      {",3954.0000,N,", kDefault},
      {",11624.0000,E,", kDefault},
      {"", kDefault},
      {"11624.0000,E,,3954.0000,N", kDefault},               // no comma before the longitude
      {"EAST,3954.0000,N,11624.0000,E", kDefault},           // the first E has nothing before it
      {",3954.5x,N,11624.0000,E", {116.4, 39 + 54.5 / 60}},  // minutes stop at the x
  };
  for (const ParseCase& c : cases) {
    const GeoPosition p = ParseGpsPosition(c.text);
    EXPECT_NEAR(p.longitude, c.expected.longitude, 1e-9) << c.text;
    EXPECT_NEAR(p.latitude, c.expected.latitude, 1e-9) << c.text;
  }
}

// The record's JSON position reads GGA and RMC of any talker, and none where there is no fix.
TEST(RecordJsonPosition, ReadsGgaAndRmcAndNothingWithoutAFix) {
  const std::pair<const char*, bool> cases[] = {
      {"$GPGGA,123456.78,3954.0000,N,11624.0000,E,1,09,1.0,52.3,M,-8.0,M,,*4A", true},
      {"$GPRMC,123456.78,A,3954.0000,N,11624.0000,E,19.4,90.0,101226,,,A*5C", true},
      {"$GNRMC,1,A,3954.0000,N,11624.0000,E", true},
      {"$GPRMC,1,V,3954.0000,N,11624.0000,E", false},
      {"$GPGGA,1,3954.0000,N,11624.0000,E,0,00", false},
      {"x$GP", false},
  };
  for (const auto& [text, positioned] : cases) {
    CCmdManage m;
    m.nCode = 0xF025;
    m.nTransID = 0xFFFF;
    std::strncpy(m.body.tdCells.szGpsText, text, sizeof m.body.tdCells.szGpsText - 1);
    const std::string json = RecordJson(m, false);
    EXPECT_EQ(
        json.find("\"position\":{\"latitude\":39.9,\"longitude\":116.4}") != std::string::npos,
        positioned)
        << text << "\n"
        << json;
    EXPECT_EQ(json.find("\"position\":null") != std::string::npos, !positioned) << json;
  }
}

TEST(ParseGpsPosition, NeverReadsPastTheTextField) {
  const char fix[] = ",3954.0000,N,11624.0000,E,";
  auto text = std::make_unique<char[]>(119);  // unterminated, exactly the field
  std::memset(text.get(), 'x', 119);
  std::memcpy(text.get(), fix, sizeof fix - 1);
  const GeoPosition p = ParseGpsPosition(text.get(), 119);
  EXPECT_NEAR(p.longitude, 116.4, 1e-9);

  // A letter beyond the field does not count.
  std::vector<char> longer(200, 'x');
  std::memcpy(longer.data() + 150, fix, sizeof fix - 1);
  EXPECT_EQ(ParseGpsPosition(longer.data(), 119).longitude, 180.0);
}

TEST(GeoDistance, MatchesTheEllipsoidFigures) {
  struct Case {
    GeoPosition a, b;
    double km;
  };
  for (const Case& c : {Case{{116.4, 39.9}, {116.4, 40.0}, 11.1035}, Case{{0, 0}, {1, 0}, 111.3195},
                        Case{{0, 0}, {0, 1}, 110.5731}, Case{{116.4, 39.9}, {116.4, 39.9}, 0.0}}) {
    EXPECT_NEAR(GeoDistance(c.a, c.b), c.km, 0.00005) << c.km;
  }
  // Nearly equal, opposite and meaningless positions still give a finite distance.
  EXPECT_TRUE(std::isfinite(GeoDistance({0, 0}, {180, 0})));
  EXPECT_TRUE(std::isfinite(GeoDistance({10, 10}, {10 + 1e-9, 10})));
  EXPECT_EQ(GeoDistance({NAN, 0}, {0, 0}), 0.0);
}

_BSCellInfo Cell(uint32_t key1, uint32_t key2, double lon, double lat) {
  _BSCellInfo cell{};
  cell.nCellKey1 = key1;
  cell.nCellKey2 = key2;
  cell.dLongitude = lon;
  cell.dLatitude = lat;
  return cell;
}

TEST(BaseStationTable, MarksFoundCellsAndDelaysOutsideTheLimit) {
  struct Case {
    int limit;
    int16_t delay;
    bool mismatch;
  };
  BaseStationTable table;
  const _BSCellInfo list[] = {Cell(7, 0x22, 116.4, 40.0)};
  ASSERT_EQ(table.SetList(list, 1), 1);
  const GeoPosition scanner{116.4, 39.9};  // 11.1035 km: q = 189

  for (const Case& c : {Case{2, 180, true}, Case{3, 180, false}, Case{0, 189, true},
                        Case{1, 189, false}, Case{3, 201, true}, Case{-1, 189, true}}) {
    EXPECT_EQ(table.SetMismatchLimit(c.limit), c.limit * 4);
    uint32_t mismatch = 0xFFFF0000;
    uint32_t found = 0;
    table.CheckRecord(1, 7, 0x22, c.delay, scanner, mismatch, found);
    EXPECT_EQ(found, 2u) << c.limit << "/" << c.delay;
    EXPECT_EQ(mismatch, 0xFFFF0000 | (c.mismatch ? 2u : 0u)) << c.limit << "/" << c.delay;
  }
}

TEST(BaseStationTable, RecordIndexWrapsIntoThirtyTwoBits) {
  BaseStationTable table;
  const _BSCellInfo list[] = {Cell(1, 1, 0, 0)};
  table.SetList(list, 1);
  for (int index : {0, 1, 31, 32, 33, 79}) {
    uint32_t mismatch = 0, found = 0;
    table.CheckRecord(index, 1, 1, 0, {0, 0}, mismatch, found);
    EXPECT_EQ(found, 1u << (index % 32)) << index;
    EXPECT_EQ(mismatch, found) << index;  // limit 0: every found cell mismatches
  }
}

TEST(BaseStationTable, FindsTheFirstEntryWithBothKeys) {
  BaseStationTable table;
  const _BSCellInfo list[] = {Cell(5, 0x10022, 1, 1), Cell(5, 0x22, 2, 2), Cell(5, 0x22, 3, 3),
                              Cell(6, 0x22, 4, 4)};
  table.SetList(list, 4);
  EXPECT_EQ(table.FindBSCell(5, 0x22)->longitude, 2.0);
  EXPECT_EQ(table.FindBSCell(6, 0x22)->longitude, 4.0);
  EXPECT_FALSE(table.FindBSCell(5, 0x23));

  uint32_t mismatch = 0, found = 0;
  table.CheckRecord(0, 5, 0x0022, 0, {0, 0}, mismatch, found);
  EXPECT_EQ(found, 1u);
  table.SetList(list, 1);  // only the entry whose second key is above 16 bits
  found = 0;
  table.CheckRecord(0, 5, 0x0022, 0, {0, 0}, mismatch, found);
  EXPECT_EQ(found, 0u);
}

TEST(BaseStationTable, SetListBoundsTheCountAndTerminatesNames) {
  std::vector<_BSCellInfo> list(301);
  for (int i = 0; i < 301; ++i) list[i] = Cell(static_cast<uint32_t>(i), 1, i, 0);
  std::memset(list[0].szName, 'n', sizeof list[0].szName);

  BaseStationTable table;
  EXPECT_EQ(table.SetList(list.data(), 301), 300);
  EXPECT_EQ(table.Count(), 300);
  EXPECT_TRUE(table.FindBSCell(299, 1));
  EXPECT_FALSE(table.FindBSCell(300, 1));
  EXPECT_EQ(std::string(table.Entry(0).szName), std::string(63, 'n'));

  for (int n : {0, -1}) {
    table.SetList(list.data(), 300);
    EXPECT_EQ(table.SetList(list.data(), n), 0);
    EXPECT_FALSE(table.FindBSCell(1, 1)) << n;
  }
  EXPECT_EQ(table.SetList(nullptr, 3), 0);
  uint32_t mismatch = 0, found = 0;
  table.CheckRecord(0, 1, 1, 0, {0, 0}, mismatch, found);
  EXPECT_EQ(found | mismatch, 0u);
}

TEST(BaseStationTable, ReplacingTheListWhileCheckingNeverShowsAMixedList) {
  BaseStationTable table;
  std::vector<_BSCellInfo> west(300, Cell(1, 1, -10, 0));
  std::vector<_BSCellInfo> east(300, Cell(1, 1, 10, 0));
  west[299] = Cell(9, 9, -10, 0);
  east[299] = Cell(9, 9, 10, 0);
  table.SetList(west.data(), 300);

  std::thread writer([&] {
    for (int i = 0; i < 2000; ++i) table.SetList((i % 2 ? west : east).data(), 300);
  });
  for (int i = 0; i < 2000; ++i) {
    const auto first = table.FindBSCell(1, 1);
    const auto last = table.FindBSCell(9, 9);
    ASSERT_TRUE(first && last);
    ASSERT_EQ(std::abs(first->longitude), 10.0);
  }
  writer.join();
}

TEST(LibraryDecodeEnv, ReadsTheFingerFlagAndTheLibraryTable) {
  const int saved = FingerTestFlag;
  FingerTestFlag = 1;
  EXPECT_EQ(scanlink::client::FirstDecodeEnv().fingerTestFlag, 1);
  FingerTestFlag = 2;
  EXPECT_EQ(scanlink::client::FirstDecodeEnv().fingerTestFlag, 2);
  EXPECT_EQ(scanlink::client::FirstDecodeEnv().stations, &scanlink::client::FirstStations());
  FingerTestFlag = saved;
}

}  // namespace
}  // namespace scanlink::codec
