// Reply and report decoding of one message. Input layout:
//   [0] code selector  [1] [2] code  [3] transaction id selector  [4] flags
//   [5] [6] claimed payload length (used when the flags ask for it)  [7..] payload (<= 2048)
// transaction id: 0xFFFF (reports) when bit 0 is set, else (byte >> 1) * 9 (replies).
// flags: bits 0-1 FingerTestFlag (0, 1, 2), bit 2 claim the length of bytes 5-6 instead of the
// payload's own, bits 4-5 the mismatch limit.
// code: bytes 1-2 when bits 0-1 of byte 0 are clear, else a known code picked by byte 1.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "check.h"
#include "codec/codec.h"
#include "codec/gps_check.h"
#include "scanlink/records.h"

namespace {

using scanlink::codec::BaseStationTable;
using scanlink::codec::DecodeEnv;

constexpr uint16_t kKnownCodes[] = {3,      5,      6,      9,      11,     12,     21,     23,
                                    24,     25,     36,     37,     38,     40,     41,     44,
                                    51,     73,     89,     99,     257,    259,    0xF003, 0xF006,
                                    0xF009, 0xF00B, 0xF00C, 0xF015, 0xF025, 0xF026, 0xF027, 0xF028,
                                    0xF02A, 0xF02B, 0xF031, 0xF032, 0xF042, 0xF100, 0xF102, 0xFFEE};

// Keys the TD cell records can hit: two stations share keys (the first one wins), one sits at
// the parse default, and one has a second key no 16-bit record key can equal.
constexpr struct {
  uint32_t key1, key2;
  double lon, lat;
} kStations[] = {
    {1, 2, 116.4, 40.0},
    {1, 2, 0.0, 0.0},
    {0x01020304, 0x0506, 180.0, 90.0},
    {0xFFFFFFFF, 0xFFFF, -179.9, -89.9},
    {7, 0x10000, 116.4, 39.9},
    {0, 0, 116.4, 39.9},
};

BaseStationTable& Stations() {
  static BaseStationTable* table = [] {
    auto* t = new BaseStationTable;
    _BSCellInfo list[std::size(kStations)] = {};
    for (size_t i = 0; i < std::size(kStations); ++i) {
      std::memset(list[i].szName, 'x', sizeof list[i].szName);  // no terminator: the table adds it
      list[i].nCellKey1 = kStations[i].key1;
      list[i].nCellKey2 = kStations[i].key2;
      list[i].dLongitude = kStations[i].lon;
      list[i].dLatitude = kStations[i].lat;
    }
    FUZZ_CHECK(t->SetList(list, static_cast<int>(std::size(kStations))) ==
               static_cast<int>(std::size(kStations)));
    return t;
  }();
  return *table;
}

bool Listed(uint32_t key1, uint16_t key2) {
  for (const auto& s : kStations) {
    if (s.key1 == key1 && s.key2 == key2) return true;
  }
  return false;
}

bool AllZero(const void* p, size_t n) {
  const auto* b = static_cast<const uint8_t*>(p);
  return std::all_of(b, b + n, [](uint8_t x) { return x == 0; });
}

// The payload as the decoder must see it: bytes past the claimed length read as zero.
struct Payload {
  const uint8_t* bytes;
  size_t length;
  uint8_t u8(size_t i) const { return i < length ? bytes[i] : 0; }
  uint16_t u16(size_t i) const { return static_cast<uint16_t>(u8(i) << 8 | u8(i + 1)); }
  uint32_t u32(size_t i) const { return static_cast<uint32_t>(u16(i)) << 16 | u16(i + 2); }
};

bool IsReplyCode(uint16_t c) {
  constexpr uint16_t kReplies[] = {
      3,      6, 9,  12, 24, 89, 99, 0xF003, 0xF006, 0xF009, 0xF00C, 0xF02B, 0xF032,
      0xF042, 5, 21, 11, 23, 25, 44, 51,     0xF00B, 0xF015, 0xF02A, 0xF031};
  return std::find(std::begin(kReplies), std::end(kReplies), c) != std::end(kReplies);
}

bool IsReportCode(uint16_t c) {
  constexpr uint16_t kReports[] = {37,  0xF028, 0xFFEE, 36,     0xF027, 38,     40,    41,
                                   257, 259,    73,     0xF026, 0xF025, 0xF100, 0xF102};
  return std::find(std::begin(kReports), std::end(kReports), c) != std::end(kReports);
}

void CheckReport(const CCmdManage& r, const Payload& p, uint16_t claimed, int finger) {
  const _CmdBody& b = r.body;
  switch (r.nCode) {
    case 36:
    case 0xF027: {
      const size_t at = r.nCode == 36 ? 132 : 128;
      const uint16_t sent = p.u16(at);
      const uint16_t count = r.nCode == 36 ? b.valueList.nCount : b.tdValueList.nCount;
      if (sent > SCANLINK_VALUE_SLOTS) {
        FUZZ_CHECK(count == 0 && r.nLength == claimed);
      } else {
        const size_t received = p.length > at + 2 ? (p.length - at - 2) / 2 : 0;
        FUZZ_CHECK(count == std::min<size_t>(sent, received));
        FUZZ_CHECK(r.nLength == (r.nCode == 36 ? 136 : 132) + 2 * count);
      }
      break;
    }
    case 38:
      FUZZ_CHECK(b.shortValueList.nCount <= SCANLINK_SHORT_VALUE_SLOTS);
      FUZZ_CHECK(b.shortValueList.nCount <= p.u16(0));
      FUZZ_CHECK(r.nLength == 12 + 2 * b.shortValueList.nCount);
      break;
    case 40:
    case 41:
    case 257:
    case 259: {
      const _CellRecordReport& c = b.cellRecords;
      FUZZ_CHECK(c.nCount <= SCANLINK_CELL_RECORD_SLOTS && c.nCount <= p.u8(129));
      FUZZ_CHECK(c.nSkipped == 0);
      for (size_t i = 0; i < c.nCount; ++i) {
        FUZZ_CHECK(c.aRecords[i].nEntryCount <= SCANLINK_CELL_ENTRY_SLOTS);
      }
      FUZZ_CHECK(AllZero(&c.aRecords[c.nCount],
                         sizeof c.aRecords[0] * (SCANLINK_CELL_RECORD_SLOTS - c.nCount)));
      FUZZ_CHECK(r.nLength == static_cast<uint16_t>(136 + 64 * c.nCount));
      break;
    }
    case 73:
    case 0xF026: {
      const _SweepReport& s = b.sweep;
      FUZZ_CHECK(r.nLength >= 14 && r.nLength % 2 == 0);
      const size_t stored = (r.nLength - 14u) / 2;
      uint64_t points = 0;
      if (s.nStep != 0 && s.nEnd >= s.nStart) points = (s.nEnd - s.nStart) / s.nStep + uint64_t{1};
      FUZZ_CHECK(stored <= SCANLINK_SWEEP_SLOTS && stored <= points);
      FUZZ_CHECK(
          AllZero(&s.aPoints[stored], sizeof s.aPoints[0] * (SCANLINK_SWEEP_SLOTS - stored)));
      break;
    }
    case 0xF025: {
      const _TDCellReport& t = b.tdCells;
      FUZZ_CHECK(t.nCount <= SCANLINK_TD_CELL_SLOTS && t.nCount <= p.u8(129));
      FUZZ_CHECK((t.nMismatchMask & ~t.nFoundMask) == 0);
      uint32_t found = 0;
      for (size_t i = 0; i < t.nCount; ++i) {
        const _TDCellRecord& c = t.aRecords[i];
        if (Listed(c.nCellKey1, c.nCellKey2)) found |= 1u << (i % 32);
        if (finger != 1) {
          FUZZ_CHECK(c.nFingerValue == 0 && AllZero(c.aFingers, sizeof c.aFingers));
        }
      }
      FUZZ_CHECK(t.nFoundMask == (p.u32(120) == 1 ? found : 0));
      FUZZ_CHECK(AllZero(&t.aRecords[t.nCount],
                         sizeof t.aRecords[0] * (SCANLINK_TD_CELL_SLOTS - t.nCount)));
      FUZZ_CHECK(r.nLength == 132 + 120 * t.nCount);
      break;
    }
    case 0xF100:
      FUZZ_CHECK(b.tdProfile.nCount <= SCANLINK_PROFILE_SLOTS && b.tdProfile.nCount <= p.u8(142));
      FUZZ_CHECK(r.nLength == claimed);
      break;
    case 0xF102:
      FUZZ_CHECK(b.tdShortProfile.nCount <= SCANLINK_PROFILE_SLOTS &&
                 b.tdShortProfile.nCount <= p.u8(136));
      FUZZ_CHECK(r.nLength == claimed);
      break;
    case 0xF028:
      FUZZ_CHECK(r.nLength == 8);
      break;
    default:  // 37, 0xFFEE
      FUZZ_CHECK(r.nLength == claimed);
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kPrefix = 7;
  if (size < kPrefix) return 0;
  const uint16_t code = (data[0] & 3) != 0 ? kKnownCodes[data[1] % std::size(kKnownCodes)]
                                           : static_cast<uint16_t>(data[1] << 8 | data[2]);
  const uint16_t trans = (data[3] & 1) != 0 ? 0xFFFF : static_cast<uint16_t>((data[3] >> 1) * 9);
  const int finger = (data[4] & 3) % 3;
  const size_t bytes = std::min<size_t>(size - kPrefix, CMyPcCommMessage::kMaxPayload);
  const uint16_t claimed = (data[4] & 4) != 0 ? static_cast<uint16_t>(data[5] << 8 | data[6])
                                              : static_cast<uint16_t>(bytes);
  static constexpr int kLimits[] = {0, 2, 3, 0x20000000};

  // Heap copies sized to the records, so a read or write past either one is caught.
  auto message =
      std::make_unique<CMyPcCommMessage>(code, static_cast<uint16_t>(bytes), trans, data + kPrefix);
  message->nLength = claimed;  // may claim more than was received
  auto record = std::make_unique<CCmdManage>();

  BaseStationTable& stations = Stations();
  stations.SetMismatchLimit(kLimits[(data[4] >> 4) & 3]);
  const DecodeEnv env{finger, &stations};
  scanlink::codec::decode_message(*message, *record, env);

  FUZZ_CHECK(record->nCode == code && record->nTransID == trans);
  const bool known = trans == 0xFFFF ? IsReportCode(code) : IsReplyCode(code);
  if (!known) {
    FUZZ_CHECK(record->nLength == claimed && AllZero(&record->body, sizeof record->body));
    return 0;
  }
  if (trans != 0xFFFF) {
    FUZZ_CHECK(record->nLength == claimed);
    return 0;
  }
  const Payload payload{message->payload, std::min<size_t>(claimed, CMyPcCommMessage::kMaxPayload)};
  CheckReport(*record, payload, claimed, finger);
  return 0;
}
