// Command encoding of one record. Input layout:
//   [0] code selector  [1] [2] code  [3] mode: 1 + byte % 8, or body byte 0 when bit 7 is set
//   [4] [5] capacity (bit 15 set: 1024, else 0..1024)  [6..] the body's raw bytes
// code: bytes 1-2 when bits 0-1 of byte 0 are clear, else a known code picked by byte 1.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "check.h"
#include "codec/codec.h"
#include "scanlink/records.h"

namespace {

constexpr uint16_t kKnownCodes[] = {1, 4, 22, 43, 46, 81, 84, 87, 97, 0xF001, 0xF040};
constexpr size_t kGuard = 64;
constexpr uint8_t kFill = 0xCD;
// Large enough for any list a count byte can describe (7 + 6 * 255 payload bytes).
constexpr size_t kUnbounded = scanlink::codec::kMaxFrame;

// Payload length that the layout table gives the record, independent of any capacity.
size_t ExpectedPayload(const CCmdManage& c) {
  const _CmdBody& b = c.body;
  switch (c.nCode) {
    case 1:
      if (b.wScanMode.nMode == 7) return 6 + 6 * size_t{b.wScanMode.fields.cellList.nCount};
      if (b.wScanMode.nMode == 8) return 6 + 4 * size_t{b.wScanMode.fields.freqList.nCount};
      return 31;
    case 0xF001:
      switch (b.tdScanMode.nMode) {
        case 1:
        case 4:
          return 7 + 6 * size_t{b.tdScanMode.fields.list.nCount};
        case 2:
          return 16;
        case 3:
          return 21;
        case 5:
          return 11;
        case 6:
          return 50;
        case 8:
          return 12;
        default:
          return 0;
      }
    case 4:
      return 7;
    case 22:
      return 25;
    case 43:
    case 46:
      return 32;
    case 81:
      return 4;
    case 84:
      return 6;
    case 87:
      return 2;
    case 97:
      return 4;
    case 0xF040:
      return 4;
    default:
      return 0;
  }
}

// The scan-mode replies carry the command's layout: decoding the payload as the reply and
// encoding the result again must give the same bytes.
void CheckScanModeRoundTrip(const CCmdManage& command, const uint8_t* payload, size_t length) {
  const uint16_t reply = command.nCode == 1 ? 11 : 0xF00B;
  auto message =
      std::make_unique<CMyPcCommMessage>(reply, static_cast<uint16_t>(length), 1, payload);
  auto decoded = std::make_unique<CCmdManage>();
  scanlink::codec::decode_message(*message, *decoded, scanlink::codec::DecodeEnv{});
  decoded->nCode = command.nCode;
  auto again = std::make_unique<uint8_t[]>(kUnbounded);
  const size_t n = scanlink::codec::encode_command(*decoded, again.get(), kUnbounded);
  FUZZ_CHECK(n == length + 8);
  FUZZ_CHECK(std::memcmp(again.get() + 8, payload, length) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kPrefix = 6;
  if (size < kPrefix) return 0;
  auto command = std::make_unique<CCmdManage>();
  command->nCode = (data[0] & 3) != 0 ? kKnownCodes[data[1] % std::size(kKnownCodes)]
                                      : static_cast<uint16_t>(data[1] << 8 | data[2]);
  command->nTransID = static_cast<uint16_t>(data[1] << 8 | data[0]);
  std::memcpy(command->body.byRaw, data + kPrefix,
              std::min(size - kPrefix, sizeof command->body.byRaw));
  if ((data[3] & 0x80) == 0) command->body.byRaw[0] = static_cast<uint8_t>(1 + data[3] % 8);
  const unsigned capField = data[4] << 8 | data[5];
  const size_t capacity = (capField & 0x8000) != 0 ? 1024 : capField % 1025;

  const size_t payload = ExpectedPayload(*command);
  const size_t expected = payload + 8 <= capacity ? payload + 8 : 0;

  // The buffer is followed by a guard that must stay untouched; the whole of it is pre-filled so a
  // refused command can be seen to write nothing.
  auto frame = std::make_unique<uint8_t[]>(capacity + kGuard);
  std::memset(frame.get(), kFill, capacity + kGuard);
  const size_t n = scanlink::codec::encode_command(*command, frame.get(), capacity);
  FUZZ_CHECK(n == 0 || (n >= 8 && n <= capacity));
  FUZZ_CHECK(n == expected);
  // A refused command writes nothing at all; an accepted one nothing past the capacity.
  uint8_t* untouched = frame.get() + (n == 0 ? 0 : capacity);
  FUZZ_CHECK(std::all_of(untouched, frame.get() + capacity + kGuard,
                         [](uint8_t b) { return b == kFill; }));
  if (n == 0) return 0;

  const uint8_t* f = frame.get();
  FUZZ_CHECK(f[0] == 0x55);
  FUZZ_CHECK((f[2] << 8 | f[3]) == command->nCode && (f[4] << 8 | f[5]) == command->nTransID);
  FUZZ_CHECK(static_cast<size_t>(f[6] << 8 | f[7]) == payload);
  // Text and address bodies go out verbatim.
  if (command->nCode == 43 || command->nCode == 46 || command->nCode == 84) {
    FUZZ_CHECK(std::memcmp(f + 8, command->body.byRaw, payload) == 0);
  }
  if (command->nCode == 1 || command->nCode == 0xF001)
    CheckScanModeRoundTrip(*command, f + 8, payload);
  return 0;
}
