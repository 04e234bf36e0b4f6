// Measurement reports: layouts, rewritten lengths, the finger switch, the GPS masks, and hostile
// counts against short and full payloads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>

#include "codec/codec.h"
#include "codec/gps_check.h"
#include "wire.h"

namespace scanlink::codec::test {
namespace {

constexpr const char* kGps = "$GPGGA,000000,3954.0000,N,11624.0000,E,1";

Bytes ValueList(uint16_t code, uint16_t count, size_t values) {
  Bytes b = Bytes().header(1, "gps").u32(0xA1).u32(0xA2);
  if (code == 36) b.u32(0xA3);
  b.u16(count);
  for (size_t i = 0; i < values; ++i) b.u16(0x100 + i);
  return b;
}

TEST(ValueListReport, BoundedCountIsTakenAndAnyLargerOneRefused) {
  struct Case {
    uint16_t code, count;
    int frameLength;
    uint16_t nCount, nLength;
  };
  for (const Case& c :
       {Case{36, 50, -1, 50, 236}, Case{36, 0, -1, 0, 136}, Case{36, 51, 300, 0, 300},
        Case{0xF027, 3, -1, 3, 138}, Case{0xF027, 51, 250, 0, 250}}) {
    auto r = decode(c.code, kReport, ValueList(c.code, c.count, c.count), {}, c.frameLength);
    const auto& v = c.code == 36 ? r->body.valueList.nCount : r->body.tdValueList.nCount;
    const uint16_t* values = c.code == 36 ? r->body.valueList.aValues : r->body.tdValueList.aValues;
    EXPECT_EQ(v, c.nCount) << c.code << "/" << c.count;
    EXPECT_EQ(r->nLength, c.nLength) << c.code << "/" << c.count;
    EXPECT_EQ(values[0], c.nCount ? 0x100 : 0);
    if (c.nCount) {
      EXPECT_EQ(values[c.nCount - 1], 0x100 + c.nCount - 1);
    }
  }
  // Three of five announced values arrived: the two missing ones are not stored as zeros.
  auto cut = decode(36, kReport, ValueList(36, 5, 3));
  EXPECT_EQ(cut->body.valueList.nCount, 3);
  EXPECT_EQ(cut->nLength, 142);
  auto td = decode(0xF027, kReport, ValueList(0xF027, 1, 1));
  EXPECT_EQ(td->body.tdValueList.nHeaderValue2, 0xA2u);
  EXPECT_STREQ(td->body.tdValueList.szGpsText, "gps");
}

TEST(ShortValueListReport, TailFollowsTheAnnouncedValues) {
  auto r = decode(38, kReport, Bytes().u16(2).u32(0x01020304).u16(0x1111).u16(0x2222).u8(0x33));
  const auto& b = r->body.shortValueList;
  EXPECT_EQ(b.nCount, 2);
  EXPECT_EQ(b.nReportValue, 0x01020304u);
  EXPECT_EQ(b.aValues[1], 0x2222);
  EXPECT_EQ(b.nTailByte, 0x33);
  EXPECT_EQ(r->nLength, 16);

  // More values than slots: the first 20 are kept, the tail still comes from after all 25.
  Bytes over = Bytes().u16(25).u32(0);
  for (int i = 0; i < 25; ++i) over.u16(i + 1);
  auto o = decode(38, kReport, over.u8(0x44));
  EXPECT_EQ(o->body.shortValueList.nCount, 20);
  EXPECT_EQ(o->body.shortValueList.aValues[19], 20);
  EXPECT_EQ(o->body.shortValueList.nTailByte, 0x44);
  EXPECT_EQ(o->nLength, 52);
}

Bytes& CellRecord(Bytes& b, uint32_t base, uint8_t entries) {
  b.u32(base).u16(base + 1).u16(base + 2).u16(base + 3).u16(base + 4).u16(base + 5).u8(entries);
  for (unsigned j = 0; j < entries; ++j) b.u32(base + 0x10 + j).u16(j);
  return b;
}

Bytes CellReport(uint8_t count) {
  return Bytes().header(2, "gps").u32(0xB1).u32(0xB2).u8(0xCC).u8(count).u32(0xB3);
}

TEST(CellRecordReport, RecordsFollowEachOtherWhateverTheirEntries) {
  Bytes payload = CellReport(2);
  CellRecord(payload, 0x1000, 2);  // 27 bytes
  CellRecord(payload, 0x2000, 0);
  auto r40 = decode(40, kReport, payload);
  for (uint16_t code : {41, 257, 259}) {
    EXPECT_EQ(std::memcmp(&decode(code, kReport, payload)->body, &r40->body, sizeof r40->body), 0)
        << code;
  }
  const auto& b = r40->body.cellRecords;
  EXPECT_EQ(b.nSkipped, 0);
  EXPECT_EQ(b.nCount, 2);
  EXPECT_EQ(b.nReportValue, 0xB3u);
  EXPECT_EQ(b.aRecords[0].nEntryCount, 2);
  EXPECT_EQ(b.aRecords[0].aEntries[1].nFirst, 0x1011u);
  EXPECT_EQ(b.aRecords[1].nRecordValue1, 0x2000u);
  EXPECT_EQ(b.aRecords[1].nRecordValue6, 0x2005);
  EXPECT_EQ(r40->nLength, 264);

  // Eight entries: six are kept and the next record still starts after all eight.
  Bytes over = CellReport(2);
  CellRecord(over, 0x1000, 8);
  CellRecord(over, 0x3000, 1);
  auto o = decode(259, kReport, over);
  EXPECT_EQ(o->body.cellRecords.aRecords[0].nEntryCount, 6);
  EXPECT_EQ(o->body.cellRecords.aRecords[0].aEntries[5].nFirst, 0x1015u);
  EXPECT_EQ(o->body.cellRecords.aRecords[1].nRecordValue1, 0x3000u);
  EXPECT_EQ(o->body.cellRecords.aRecords[1].aEntries[0].nFirst, 0x3010u);

  // A record cut short by the payload is not stored.
  auto cut = decode(40, kReport, payload, {}, static_cast<int>(payload.size()) - 1);
  EXPECT_EQ(cut->body.cellRecords.nCount, 1);
  EXPECT_EQ(cut->body.cellRecords.aRecords[1].nRecordValue1, 0u);
  EXPECT_EQ(cut->nLength, 200);
}

TEST(SweepReport, PointsFollowFromStartEndAndStep) {
  struct Case {
    uint16_t code;
    uint32_t start, end, step;
    size_t sent, points;
  };
  for (const Case& c :
       {Case{73, 10, 20, 5, 3, 3}, Case{0xF026, 10, 20, 5, 3, 3}, Case{73, 7, 7, 1, 1, 1},
        Case{73, 10, 20, 0, 3, 0}, Case{73, 20, 10, 5, 3, 0},
        Case{0xF026, 0, 0xFFFFFFFF, 1, 1018, 1018}, Case{73, 0, 100, 1, 4, 4}}) {
    Bytes payload = Bytes().u32(c.start).u32(c.end).u32(c.step);
    for (size_t i = 0; i < c.sent; ++i) payload.u16(0x8000 + i);
    auto r = decode(c.code, kReport, payload);
    EXPECT_EQ(r->nLength, 14 + 2 * c.points) << c.start << ".." << c.end << "/" << c.step;
    if (c.points) {
      EXPECT_EQ(r->body.sweep.aPoints[c.points - 1], 0x8000 + c.points - 1);
    }
    EXPECT_EQ(r->body.sweep.aPoints[c.points], 0);
    EXPECT_EQ(r->body.sweep.nStep, c.step);
  }
}

// A TD cell record: keys, 21 values, delay and, with fingers, 17 more u32.
Bytes& TdCell(Bytes& b, uint32_t key1, uint16_t key2, int16_t delay, bool fingers) {
  b.u32(key1).u16(key2);
  for (unsigned k = 0; k < 21; ++k) b.u16(k + 1);
  b.u16(static_cast<uint16_t>(delay));
  if (fingers) {
    for (unsigned f = 0; f < 17; ++f) b.u32(key1 + 0x1000 + f);
  }
  return b;
}

Bytes TdCellReport(uint32_t gpsMode, bool fingers) {
  Bytes b = Bytes().header(3, kGps).u32(gpsMode).u32(0xFFFFFFFF).u8(0x77).u8(2);
  TdCell(b, 0x100, 0x22, 180, fingers);
  return TdCell(b, 0x200, 0x33, -1, fingers);
}

TEST(TdCellReport, FingerFlagChoosesTheRecordSize) {
  const Bytes payload = TdCellReport(0, true);
  ASSERT_EQ(payload.size(), 130u + 2 * 118);
  for (int flag : {0, 1, 2}) {
    auto r = decode(0xF025, kReport, payload, {flag, nullptr});
    const auto& b = r->body.tdCells;
    EXPECT_EQ(b.nCount, 2) << flag;
    EXPECT_EQ(b.nReportByte, 0x77);
    EXPECT_EQ(r->nLength, 372) << flag;
    EXPECT_EQ(b.aRecords[0].aCellValues[20], 21);
    EXPECT_EQ(b.aRecords[0].nMeasuredDelay, 180);
    if (flag == 1) {
      EXPECT_EQ(b.aRecords[1].nCellKey1, 0x200u);  // payload byte 248
      EXPECT_EQ(b.aRecords[1].nMeasuredDelay, 0xFFFF);
      EXPECT_EQ(b.aRecords[0].nFingerValue, 0x1100u);
      EXPECT_EQ(b.aRecords[0].aFingers[3].nValue4, 0x1110u);
    } else {
      EXPECT_EQ(b.aRecords[1].nCellKey1, 0x1100u) << "record 1 read from byte 180";
      EXPECT_EQ(b.aRecords[0].nFingerValue, 0u);
      EXPECT_EQ(b.aRecords[0].aFingers[0].nValue1, 0u);
    }
  }
}

TEST(TdCellReport, GpsModeOneChecksEachRecordAgainstTheList) {
  BaseStationTable stations;
  const _BSCellInfo listed[] = {{"north", 0x100, 0x22, 116.4, 40.0}};
  stations.SetList(listed, 1);
  stations.SetMismatchLimit(2);

  for (uint32_t mode : {0u, 1u, 2u}) {
    auto r = decode(0xF025, kReport, TdCellReport(mode, false), {0, &stations});
    const auto& b = r->body.tdCells;
    EXPECT_EQ(b.nFoundMask, mode == 1 ? 1u : 0u) << mode;
    EXPECT_EQ(b.nMismatchMask, mode == 1 ? 1u : 0u) << mode;  // q 189 vs 180: 9 >= 8
  }
  stations.SetMismatchLimit(3);
  EXPECT_EQ(
      decode(0xF025, kReport, TdCellReport(1, false), {0, &stations})->body.tdCells.nMismatchMask,
      0u);
}

TEST(ProfileReports, ReadWholeRecordsAndKeepTheFrameLength) {
  struct Case {
    uint16_t code;
    size_t headerSize, recordSize;
  };
  for (const Case& c : {Case{0xF100, 143, 595}, Case{0xF102, 137, 583}}) {
    Bytes b = Bytes().header(4, "gps").u32(1).u32(2).u32(3).u32(4);
    if (c.code == 0xF100) b.u32(5).u8(6).u8(7);
    b.u8(2);
    for (uint32_t rec = 1; rec <= 2; ++rec) {
      b.u8(rec);
      if (c.code == 0xF100) {
        b.u32(rec).u32(rec).u32(rec).u16(rec).u32(rec);
      } else {
        b.u16(rec).u32(rec);
      }
      for (unsigned k = 0; k < 288; ++k) b.u16(rec << 12 | k);
    }
    ASSERT_EQ(b.size(), c.headerSize + 2 * c.recordSize);

    auto r = decode(c.code, kReport, b);
    EXPECT_EQ(r->nLength, b.size());
    const auto last = c.code == 0xF100 ? r->body.tdProfile.aRecords[1].aSecondProfile[143]
                                       : r->body.tdShortProfile.aRecords[1].aSecondProfile[143];
    EXPECT_EQ(last, 2 << 12 | 287) << c.code;
    const auto count = c.code == 0xF100 ? r->body.tdProfile.nCount : r->body.tdShortProfile.nCount;
    EXPECT_EQ(count, 2);

    auto cut = decode(c.code, kReport, b, {}, static_cast<int>(b.size()) - 1);
    EXPECT_EQ(c.code == 0xF100 ? cut->body.tdProfile.nCount : cut->body.tdShortProfile.nCount, 1);
  }
}

// Every count at its maximum, cut at every payload length (and announced beyond the buffer):
// records stored are always the whole ones the payload holds, within the slots.
TEST(HostileReports, CountsNeverExceedThePayloadOrTheSlots) {
  struct Case {
    const char* name;
    uint16_t code;
    int flag;
    Bytes prefix;
    size_t start, size, fullPayloadCount;
    std::function<size_t(const CCmdManage&)> stored;
    std::function<size_t(size_t)> length;  // nLength from the stored count, or the frame's
  };
  const Case cases[] = {
      {"values", 36, 0, ValueList(36, 50, 0), 134, 2, 50,
       [](const CCmdManage& r) { return size_t{r.body.valueList.nCount}; },
       [](size_t n) { return 136 + 2 * n; }},
      {"TD values", 0xF027, 0, ValueList(0xF027, 50, 0), 130, 2, 50,
       [](const CCmdManage& r) { return size_t{r.body.tdValueList.nCount}; },
       [](size_t n) { return 132 + 2 * n; }},
      {"short values", 38, 0, Bytes().u16(0xFFFF), 6, 2, 20,
       [](const CCmdManage& r) { return size_t{r.body.shortValueList.nCount}; },
       [](size_t n) { return 12 + 2 * n; }},
      {"cell records", 40, 0, CellReport(255), 134, 15, 127,
       [](const CCmdManage& r) { return size_t{r.body.cellRecords.nCount}; },
       [](size_t n) { return 136 + 64 * n; }},
      {"sweep", 73, 0, Bytes().u32(0).u32(0xFFFFFFFF).u32(1), 12, 2, 1018,
       [](const CCmdManage& r) { return (r.nLength - 14u) / 2; },
       [](size_t n) { return 14 + 2 * n; }},
      {"td cells", 0xF025, 0, Bytes().header(0, kGps).u32(1).u32(0).u8(0).u8(255), 130, 50, 38,
       [](const CCmdManage& r) { return size_t{r.body.tdCells.nCount}; },
       [](size_t n) { return 132 + 120 * n; }},
      {"td cells with fingers", 0xF025, 1, Bytes().header(0, kGps).u32(1).u32(0).u8(0).u8(255), 130,
       118, 16, [](const CCmdManage& r) { return size_t{r.body.tdCells.nCount}; },
       [](size_t n) { return 132 + 120 * n; }},
      {"profiles", 0xF100, 0, Bytes().header(0).fill(22).u8(255), 143, 595, 3,
       [](const CCmdManage& r) { return size_t{r.body.tdProfile.nCount}; }, nullptr},
      {"short profiles", 0xF102, 0, Bytes().header(0).fill(16).u8(255), 137, 583, 3,
       [](const CCmdManage& r) { return size_t{r.body.tdShortProfile.nCount}; }, nullptr},
  };
  BaseStationTable stations;
  const _BSCellInfo anywhere[] = {{"", 0, 0, 0.0, 0.0}};
  stations.SetList(anywhere, 1);  // the zero records are all "found"

  for (const Case& c : cases) {
    Bytes payload = c.prefix;
    payload.fill(kMaxPayload - payload.size());
    for (size_t length = 0; length <= kMaxPayload + 1; ++length) {
      const int frameLength = length <= kMaxPayload ? static_cast<int>(length) : 0xFFFF;
      auto r = decode(c.code, kReport, payload, {c.flag, &stations}, frameLength);
      const size_t held = std::min(length, kMaxPayload);
      const size_t whole = held < c.start ? 0 : (held - c.start) / c.size;
      const size_t n = c.stored(*r);
      ASSERT_EQ(n, std::min(whole, c.fullPayloadCount)) << c.name << " length " << length;
      ASSERT_EQ(r->nLength, c.length ? c.length(n) : static_cast<size_t>(frameLength))
          << c.name << " length " << length;
    }
  }

  // All bytes 0xFF: each cell record announces 255 entries (1545 bytes); only one fits.
  auto cells = decode(40, kReport, Bytes().fill(kMaxPayload, 0xFF));
  EXPECT_EQ(cells->body.cellRecords.nCount, 1);
  EXPECT_EQ(cells->body.cellRecords.aRecords[0].nEntryCount, 6);
  auto values = decode(36, kReport, Bytes().fill(kMaxPayload, 0xFF));
  EXPECT_EQ(values->body.valueList.nCount, 0);
  EXPECT_EQ(values->nLength, kMaxPayload);
}

}  // namespace
}  // namespace scanlink::codec::test
