// Measurement reports. A value list whose count is above its 50 slots is refused whole; every other
// count is cut to the whole records that the received payload holds and the body has slots for, and
// the number stored is what the count field and the rewritten payload length say.
#include "codec/reports.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "codec/bytes.h"
#include "codec/codec.h"
#include "codec/gps_check.h"

namespace scanlink::codec {
namespace {

constexpr size_t kListEntrySize = 6;     // u32 + u16
constexpr size_t kCellRecordFixed = 15;  // six values and the entry count
constexpr size_t kTDCellRecordSize = 50;
constexpr size_t kTDCellFingerSize = 68;  // finger value and four fingers of four u32
constexpr size_t kProfilesSize = 4 * SCANLINK_PROFILE_POINTS;  // two arrays of u16
constexpr size_t kProfileRecordSize = 19 + kProfilesSize;
constexpr size_t kShortProfileRecordSize = 7 + kProfilesSize;

// The payload length a report writes back: base + per × records stored.
struct LengthFormula {
  size_t base;
  size_t per;
  uint16_t operator()(size_t stored) const { return static_cast<uint16_t>(base + per * stored); }
};

// The formula of a body whose slots are its last array: the body's size without the slots, and
// the size of one slot.
template <class Body, class Slot, size_t N>
constexpr LengthFormula body_length(Slot (Body::*)[N]) {
  return {sizeof(Body) - sizeof(Slot) * N, sizeof(Slot)};
}

constexpr LengthFormula kValueListLength = body_length(&_ValueListReport::aValues);
constexpr LengthFormula kTDValueListLength = body_length(&_TDValueListReport::aValues);
constexpr LengthFormula kShortValueListLength = body_length(&_ShortValueListReport::aValues);
constexpr LengthFormula kCellRecordsLength = body_length(&_CellRecordReport::aRecords);
constexpr LengthFormula kTDCellsLength = body_length(&_TDCellReport::aRecords);
// The sweep's formula counts one u16 beyond its points.
constexpr LengthFormula kSweepLength = {offsetof(_SweepReport, aPoints) + sizeof(uint16_t),
                                        sizeof(uint16_t)};

// The formulas scanners and applications know; a change to the bodies must not move them.
static_assert(kValueListLength.base == 136 && kValueListLength.per == 2);
static_assert(kTDValueListLength.base == 132 && kTDValueListLength.per == 2);
static_assert(kShortValueListLength.base == 12 && kShortValueListLength.per == 2);
static_assert(kCellRecordsLength.base == 136 && kCellRecordsLength.per == 64);
static_assert(kTDCellsLength.base == 132 && kTDCellsLength.per == 120);
static_assert(kSweepLength.base == 14 && kSweepLength.per == 2);

// Records of `size` bytes to decode: at most `wanted`, the body's `slots`, and the whole records
// left in the received payload.
size_t whole_records(const Reader& in, size_t size, uint64_t wanted, size_t slots) {
  return static_cast<size_t>(std::min<uint64_t>({wanted, slots, in.remaining() / size}));
}

template <class Body>
void measurement_header(Reader& in, Body& body) {
  fields(in, body.nHeaderByte, body.szGpsText);
}

// Codes 36 and 0xF027: a count above the slots refuses the list (count 0, the frame's length).
// Otherwise the values the payload holds are stored: a missing one must not read as a zero
// measurement.
template <class Body>
void value_list(Reader& in, CCmdManage& record, Body& body, LengthFormula length) {
  const uint16_t count = in.read_u16();
  if (count > SCANLINK_VALUE_SLOTS) return;
  const size_t stored = whole_records(in, sizeof(uint16_t), count, SCANLINK_VALUE_SLOTS);
  for (size_t i = 0; i < stored; ++i) in(body.aValues[i]);
  body.nCount = static_cast<uint16_t>(stored);
  record.nLength = length(stored);
}

}  // namespace

void value_list_report(Reader& in, CCmdManage& record, const DecodeEnv&) {
  auto& b = record.body.valueList;
  measurement_header(in, b);
  fields(in, b.nHeaderValue1, b.nHeaderValue2, b.nHeaderValue3);
  value_list(in, record, b, kValueListLength);
}

void td_value_list_report(Reader& in, CCmdManage& record, const DecodeEnv&) {
  auto& b = record.body.tdValueList;
  measurement_header(in, b);
  fields(in, b.nHeaderValue1, b.nHeaderValue2);
  value_list(in, record, b, kTDValueListLength);
}

// Code 38: the tail byte is read where the frame's count puts it, whatever was stored.
void short_value_list_report(Reader& in, CCmdManage& record, const DecodeEnv&) {
  auto& b = record.body.shortValueList;
  const uint16_t count = in.read_u16();
  in(b.nReportValue);
  const size_t stored = whole_records(in, 2, count, SCANLINK_SHORT_VALUE_SLOTS);
  for (size_t i = 0; i < stored; ++i) in(b.aValues[i]);
  in.skip(2 * (count - stored));
  in(b.nTailByte);
  b.nCount = static_cast<uint16_t>(stored);
  record.nLength = kShortValueListLength(stored);
}

// Codes 40, 41, 257, 259: records of varying size, each followed directly by the next. A record
// with more entries than its slots keeps the first ones and still steps over all of them.
void cell_record_report(Reader& in, CCmdManage& record, const DecodeEnv&) {
  auto& b = record.body.cellRecords;
  measurement_header(in, b);
  fields(in, b.nHeaderValue1, b.nHeaderValue2);
  in.skip(1);
  const uint8_t count = in.read_u8();
  in(b.nReportValue);

  size_t stored = 0;
  while (stored < count && stored < SCANLINK_CELL_RECORD_SLOTS) {
    const size_t entries = in.peek_u8(kCellRecordFixed - 1);
    if (in.remaining() < kCellRecordFixed + kListEntrySize * entries) break;
    _CellRecord& c = b.aRecords[stored++];
    fields(in, c.nRecordValue1, c.nRecordValue2, c.nRecordValue3, c.nRecordValue4, c.nRecordValue5,
           c.nRecordValue6, c.nEntryCount);
    c.nEntryCount = static_cast<uint8_t>(std::min<size_t>(entries, SCANLINK_CELL_ENTRY_SLOTS));
    for (size_t j = 0; j < c.nEntryCount; ++j)
      fields(in, c.aEntries[j].nFirst, c.aEntries[j].nSecond);
    in.skip(kListEntrySize * (entries - c.nEntryCount));
  }
  b.nCount = static_cast<uint8_t>(stored);
  record.nLength = kCellRecordsLength(stored);
}

// Codes 73 and 0xF026: the number of points follows from start, end and step. A step of 0 or an
// end below the start describes no sweep, and carries no points.
void sweep_report(Reader& in, CCmdManage& record, const DecodeEnv&) {
  auto& b = record.body.sweep;
  fields(in, b.nStart, b.nEnd, b.nStep);
  uint64_t points = 0;
  if (b.nStep != 0 && b.nEnd >= b.nStart) points = (b.nEnd - b.nStart) / b.nStep + uint64_t{1};
  const size_t stored = whole_records(in, 2, points, SCANLINK_SWEEP_SLOTS);
  for (size_t i = 0; i < stored; ++i) in(b.aPoints[i]);
  record.nLength = kSweepLength(stored);
}

// Code 0xF025: the records carry finger fields while FingerTestFlag is 1; with GPS mode 1 each
// stored record is checked against the base-station list.
void td_cell_report(Reader& in, CCmdManage& record, const DecodeEnv& env) {
  auto& b = record.body.tdCells;
  measurement_header(in, b);
  const uint32_t gpsMode = in.read_u32();
  in.skip(4);
  b.nMismatchMask = 0;
  b.nFoundMask = 0;
  in(b.nReportByte);
  const uint8_t count = in.read_u8();

  const bool fingers = env.fingerTestFlag == 1;
  const size_t size = kTDCellRecordSize + (fingers ? kTDCellFingerSize : 0);
  const size_t stored = whole_records(in, size, count, SCANLINK_TD_CELL_SLOTS);
  const bool check = gpsMode == 1 && env.stations != nullptr && stored > 0;
  // One position per report: every record shares the text.
  const GeoPosition scanner =
      check ? ParseGpsPosition(b.szGpsText, sizeof b.szGpsText) : GeoPosition{};

  for (size_t i = 0; i < stored; ++i) {
    _TDCellRecord& c = b.aRecords[i];
    fields(in, c.nCellKey1, c.nCellKey2, c.aCellValues, c.nMeasuredDelay);
    if (fingers) {
      in(c.nFingerValue);
      for (_TDFinger& f : c.aFingers) fields(in, f.nValue1, f.nValue2, f.nValue3, f.nValue4);
    } else {
      c.nFingerValue = 0;
    }
    if (check) {
      env.stations->CheckRecord(static_cast<int>(i), c.nCellKey1, c.nCellKey2,
                                static_cast<int16_t>(c.nMeasuredDelay), scanner, b.nMismatchMask,
                                b.nFoundMask);
    }
  }
  b.nCount = static_cast<uint8_t>(stored);
  record.nLength = kTDCellsLength(stored);
}

// Code 0xF100; the payload length stays as the frame gave it.
void td_profile_report(Reader& in, CCmdManage& record, const DecodeEnv&) {
  auto& b = record.body.tdProfile;
  measurement_header(in, b);
  fields(in, b.nHeaderValue1, b.nHeaderValue2, b.nHeaderValue3, b.nHeaderValue4, b.nHeaderValue5,
         b.nReportByte1, b.nReportByte2);
  const uint8_t count = in.read_u8();
  const size_t stored = whole_records(in, kProfileRecordSize, count, SCANLINK_PROFILE_SLOTS);
  for (size_t i = 0; i < stored; ++i) {
    _TDProfileRecord& p = b.aRecords[i];
    fields(in, p.nProfileByte, p.nProfileValue1, p.nProfileValue2, p.nProfileValue3,
           p.nProfileValue4, p.nProfileValue5, p.aFirstProfile, p.aSecondProfile);
  }
  b.nCount = static_cast<uint8_t>(stored);
}

// Code 0xF102; the payload length stays as the frame gave it.
void td_short_profile_report(Reader& in, CCmdManage& record, const DecodeEnv&) {
  auto& b = record.body.tdShortProfile;
  measurement_header(in, b);
  fields(in, b.nHeaderValue1, b.nHeaderValue2, b.nHeaderValue3, b.nHeaderValue4);
  const uint8_t count = in.read_u8();
  const size_t stored = whole_records(in, kShortProfileRecordSize, count, SCANLINK_PROFILE_SLOTS);
  for (size_t i = 0; i < stored; ++i) {
    _TDShortProfileRecord& p = b.aRecords[i];
    fields(in, p.nProfileByte, p.nProfileValue1, p.nProfileValue2, p.aFirstProfile,
           p.aSecondProfile);
  }
  b.nCount = static_cast<uint8_t>(stored);
}

}  // namespace scanlink::codec
