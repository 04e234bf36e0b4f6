// Command encoding: every layout and mode, byte for byte, and the frame-buffer limits; the frame
// header every frame starts with.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "wire.h"

namespace scanlink::codec::test {
namespace {

constexpr uint8_t kUntouched = 0xEE;

struct EncodeCase {
  const char* name;
  uint16_t code;
  void (*fill)(_CmdBody&);
  Bytes payload;
};

_TDScanModeInfo& Td(_CmdBody& b, uint8_t mode, uint8_t finger, uint8_t selector, uint16_t value) {
  b.tdScanMode = {mode, finger, selector, value, {}};
  return b.tdScanMode;
}

// Entry i is {0x0A + 2i, 0x0B + 2i}.
void SetList(_TDScanModeInfo& td, uint8_t mode, uint8_t count) {
  td.nMode = mode;
  td.fields.list.nCount = count;
  for (unsigned i = 0; i < count; ++i) {
    td.fields.list.aEntries[i] = {0x0A + 2 * i, static_cast<uint16_t>(0x0B + 2 * i)};
  }
}

const EncodeCase kCases[] = {
    {"WcdmaGeneral", 1,
     [](_CmdBody& b) {
       b.wScanMode.fields.general = {0x01020304, 0x05060708, 0x0102, 0x0A0B, 0x0C0D, 0x0E, 0x0F,
                                     0x1011, 0x12, 0x13, 1, -1, 0x14, 0x15161718};
     },
     Bytes().raw({0x00, 1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 1, 2, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F,
                  0x10, 0x11, 0x12, 0x13, 0x01, 0xFF, 0xFF, 0x14, 0x15, 0x16, 0x17, 0x18})},
    {"WcdmaGeneralAnyOtherMode", 1, [](_CmdBody& b) { b.wScanMode.nMode = 0xFF; },
     Bytes().u8(0xFF).fill(30)},
    {"WcdmaCellList", 1,
     [](_CmdBody& b) {
       b.wScanMode.nMode = 7;
       b.wScanMode.fields.cellList = {1, 0x0203, 4, 2, {{0x0A0B0C0D, 0x0E0F}, {5, 6}}};
     },
     Bytes().raw({7, 1, 2, 3, 4, 2, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0, 0, 0, 5, 0, 6})},
    {"WcdmaFreqList", 1,
     [](_CmdBody& b) {
       b.wScanMode.nMode = 8;
       b.wScanMode.fields.freqList = {1, 0x0203, 4, 2, {0x11223344, 7}};
     },
     Bytes().raw({8, 1, 2, 3, 4, 2, 0x11, 0x22, 0x33, 0x44, 0, 0, 0, 7})},
    {"TdFreqList", 0xF001,
     [](_CmdBody& b) { Td(b, 4, 0, 0, 0x0010).fields.list = {1, {{950, 0xFFFF}}, 3}; },
     Bytes().raw({0x04, 0x00, 0x00, 0x00, 0x10, 0x01, 0x00, 0x00, 0x03, 0xB6, 0xFF, 0xFF, 0x03})},
    {"TdCellListTrailingAfterLastSentEntry", 0xF001,
     [](_CmdBody& b) {
       SetList(Td(b, 1, 1, 1, 0x0203), 1, 2);
       b.tdScanMode.fields.list.aEntries[2] = {0x99, 0x99};  // not sent
       b.tdScanMode.fields.list.nTrailing = 5;
     },
     Bytes().raw({1, 1, 1, 2, 3, 2, 0, 0, 0, 0x0A, 0, 0x0B, 0, 0, 0, 0x0C, 0, 0x0D, 5})},
    {"TdCellSearch", 0xF001,
     [](_CmdBody& b) { Td(b, 2, 1, 0, 5).fields.cellSearch = {0x11, 0x2233, 0x44556677, 0x8899AABB}; },
     Bytes().raw({2, 1, 0, 0, 5, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA,
                  0xBB})},
    {"TdSaScan", 0xF001, [](_CmdBody& b) { Td(b, 3, 0, 1, 7).fields.sa = {1, 2, 3, 4, 1, -2}; },
     Bytes().raw({3, 0, 1, 0, 7, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 4, 1, 0xFF, 0xFE})},
    {"TdCwScan", 0xF001, [](_CmdBody& b) { Td(b, 5, 0, 1, 300).fields.cw = {10, 7}; },
     Bytes().raw({0x05, 0x00, 0x01, 0x01, 0x2C, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x07})},
    {"TdChannelScan", 0xF001,
     [](_CmdBody& b) {
       auto& ch = Td(b, 6, 0, 0, 1).fields.channel;
       ch = {2, 3, 4, 5, 6, 7, {}, {}};
       for (int i = 0; i < 16; ++i) ch.byBlock1[i] = static_cast<unsigned char>(0x10 + i);
       for (int i = 0; i < 16; ++i) ch.byBlock2[i] = static_cast<unsigned char>(0x20 + i);
     },
     Bytes().raw({6, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 4, 5, 6, 7}).run(16, 0x10).run(16, 0x20)},
    {"TdMode8", 0xF001, [](_CmdBody& b) { Td(b, 8, 0, 0, 0).fields.mode8 = {0x01020304, 5, 0x0607}; },
     Bytes().raw({8, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7})},
    {"TdMode7SendsNothing", 0xF001, [](_CmdBody& b) { Td(b, 7, 1, 1, 0x1234); }, Bytes()},
    {"TdMode0SendsNothing", 0xF001, [](_CmdBody& b) { Td(b, 0, 1, 1, 0x1234); }, Bytes()},
    {"StartTime", 4, [](_CmdBody& b) { b.startTime = {109, 2, 15, 14, 5, 9}; },
     Bytes().raw({0x00, 0x6D, 0x02, 0x0F, 0x0E, 0x05, 0x09})},
    {"Code22", 22, [](_CmdBody& b) { b.code22 = {0x01020304, 5, {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j'}, {9}}; },
     Bytes().u32(0x01020304).u8(5).text("abcdefghij", 10).u8(9).fill(9)},
    {"Login", 43, [](_CmdBody& b) { b.login = {"user", "pass"}; },
     Bytes().text("user", 16).text("pass", 16)},
    {"ChangePassword", 46, [](_CmdBody& b) { std::memcpy(b.login.szText1, "0123456789ABCDEF", 16); },
     Bytes().text("0123456789ABCDEF", 16).fill(16)},
    {"IpAddress", 81, [](_CmdBody& b) { b.ipAddress.nAddress = 0xC0A8000A; },
     Bytes().raw({0xC0, 0xA8, 0x00, 0x0A})},
    {"MacAddress", 84, [](_CmdBody& b) { b.macAddress = {{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}}; },
     Bytes().raw({0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E})},
    {"SignedValue", 87, [](_CmdBody& b) { b.signedValue.nValue = -1; }, Bytes().raw({0xFF, 0xFF})},
    {"TwoValues", 97, [](_CmdBody& b) { b.twoValues = {0x0102, -2}; },
     Bytes().raw({0x01, 0x02, 0xFF, 0xFE})},
    {"GpsFormat", 0xF040, [](_CmdBody& b) { b.gpsFormat = {1, 2}; },
     Bytes().raw({0x00, 0x01, 0x00, 0x02})},
};

class EncodeLayout : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeLayout, WritesHeaderImageAndPayloadInTableOrder) {
  const EncodeCase& c = GetParam();
  CCmdManage command;
  command.nCode = c.code;
  command.nTransID = 0x0506;
  c.fill(command.body);
  std::vector<uint8_t> frame(kCommandFrameSize, kUntouched);

  const size_t n = encode_command(command, frame.data(), frame.size());

  const size_t payload = c.payload.size();
  ASSERT_EQ(n, payload + 8);
  EXPECT_EQ(command_payload_length(command, kCommandFrameSize).payload, payload);
  const Bytes header = Bytes().u8(0x55).u8(0x04).u16(c.code).u16(0x0506).u16(payload);
  EXPECT_EQ(std::vector<uint8_t>(frame.begin(), frame.begin() + 8), header.v);
  EXPECT_EQ(std::vector<uint8_t>(frame.begin() + 8, frame.begin() + n), c.payload.v);
  EXPECT_EQ(frame[n], kUntouched);
}

INSTANTIATE_TEST_SUITE_P(Commands, EncodeLayout, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(EncodeCommand, CodesWithoutLayoutSendOnlyTheHeader) {
  for (uint16_t code :
       {0, 7, 10, 18, 20, 113, 0xF004, 0xF007, 0xF00A, 0xF012, 0xF014, 0xF030, 0xFFEE, 0xFFFF}) {
    CCmdManage command;
    command.nCode = code;
    command.body.startTime = {109, 2, 15, 14, 5, 9};  // 0xF004 stays empty even when filled
    uint8_t frame[kCommandFrameSize];
    EXPECT_EQ(encode_command(command, frame, sizeof frame), 8u) << code;
    EXPECT_EQ(frame[6] << 8 | frame[7], 0) << code;
  }
}

struct ListLimit {
  uint16_t code;
  uint8_t mode;
  uint8_t count;
  size_t capacity;
  size_t payload;  // 0: refused
};

class EncodeListLimit : public ::testing::TestWithParam<ListLimit> {};

TEST_P(EncodeListLimit, FitsTheFrameBufferOrIsRefusedUntouched) {
  const ListLimit& l = GetParam();
  CCmdManage command;
  command.nCode = l.code;
  if (l.code == 1) {
    command.body.wScanMode.nMode = l.mode;
    command.body.wScanMode.fields.cellList.nCount = l.count;  // same place in both list forms
    command.body.wScanMode.fields.freqList.nCount = l.count;
  } else {
    SetList(command.body.tdScanMode, l.mode, l.count);
    command.body.tdScanMode.fields.list.nTrailing = 0x77;
  }
  std::vector<uint8_t> frame(l.capacity, kUntouched);

  const size_t n = encode_command(command, frame.data(), frame.size());
  const EncodedLength length = command_payload_length(command, l.capacity);

  if (l.payload == 0) {
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(length.ok);
    EXPECT_EQ(length.payload, 0u);
    EXPECT_EQ(std::count(frame.begin(), frame.end(), kUntouched), static_cast<long>(l.capacity));
    return;
  }
  ASSERT_EQ(n, l.payload + 8);
  EXPECT_TRUE(length.ok);
  if (l.code == 0xF001 && l.count > 0) {
    const size_t last = 8 + 6 + 6 * (l.count - 1);  // last entry {0x0A + 2i, 0x0B + 2i}
    EXPECT_EQ(frame[last + 3], static_cast<uint8_t>(0x0A + 2 * (l.count - 1)));
    EXPECT_EQ(frame[n - 1], 0x77);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lists, EncodeListLimit,
    ::testing::Values(ListLimit{1, 7, 168, 1024, 1014}, ListLimit{1, 7, 169, 1024, 0},
                      ListLimit{1, 8, 252, 1024, 1014}, ListLimit{1, 8, 253, 1024, 0},
                      ListLimit{0xF001, 1, 168, 1024, 1015}, ListLimit{0xF001, 1, 169, 1024, 0},
                      ListLimit{0xF001, 4, 168, 1024, 1015}, ListLimit{0xF001, 4, 169, 1024, 0},
                      ListLimit{0xF001, 1, 255, 2056, 1537}, ListLimit{1, 7, 255, 2056, 1536},
                      ListLimit{1, 7, 0, 14, 6}, ListLimit{1, 8, 0, 14, 6},
                      ListLimit{0xF001, 1, 0, 15, 7}, ListLimit{0xF001, 1, 0, 14, 0}));

TEST(EncodeCommand, RefusesABufferWithoutRoomForTheHeader) {
  CCmdManage command;
  command.nCode = 7;
  uint8_t frame[8];
  EXPECT_EQ(encode_command(command, frame, 7), 0u);
  EXPECT_EQ(encode_command(command, nullptr, 1024), 0u);
  EXPECT_EQ(command.EncodeCommand(frame, sizeof frame), 8);
}

TEST(FrameHeader, WritesBigEndianAndReadsBackAtTheLimits) {
  const struct {
    FrameHeader header;
    Bytes bytes;
  } cases[] = {
      {{kSync, 0, 0, 0, 0}, Bytes().raw({0x55, 0, 0, 0, 0, 0, 0, 0})},
      {{kSync, 0xFF, kLinkStatusCode, kBroadcastTrans, kMaxPayload},
       Bytes().raw({0x55, 0xFF, 0xFF, 0xEE, 0xFF, 0xFF, 0x08, 0x00})},
      {{0x54, 4, 0x0102, 0x0304, 0xFFFF}, Bytes().raw({0x54, 4, 1, 2, 3, 4, 0xFF, 0xFF})},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> out(kHeaderSize + 1, kUntouched);
    write_header(out.data(), c.header);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + kHeaderSize), c.bytes.v);
    EXPECT_EQ(out[kHeaderSize], kUntouched);
    const FrameHeader back = read_header(out.data());
    EXPECT_EQ(std::memcmp(&back, &c.header, sizeof back), 0);
    EXPECT_EQ(frame_length(back), kHeaderSize + c.header.length);
  }
}

}  // namespace
}  // namespace scanlink::codec::test
