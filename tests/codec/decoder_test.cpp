// Reply and status decoding, table choice by transaction id, and scan-mode round trips.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "codec/message_codes.h"
#include "codec/record_json.h"
#include "wire.h"

namespace scanlink::codec::test {
namespace {

// Offset of the first body byte that differs, or -1.
long FirstDifference(const _CmdBody& a, const _CmdBody& b) {
  for (size_t i = 0; i < sizeof a.byRaw; ++i) {
    if (a.byRaw[i] != b.byRaw[i]) return static_cast<long>(i);
  }
  return -1;
}

struct DecodeCase {
  const char* name;
  uint16_t code;
  uint16_t trans;
  Bytes payload;
  uint16_t length;  // the record's payload length afterwards
  void (*expect)(_CmdBody&);
};

void Nothing(_CmdBody&) {}

// Expected bodies are set field by field: an aggregate assignment may copy stray padding bytes.
void TdHeader(_CmdBody& b, uint8_t mode, uint8_t finger, uint8_t selector, uint16_t value) {
  b.tdScanMode.nMode = mode;
  b.tdScanMode.nFingerTest = finger;
  b.tdScanMode.nSelector = selector;
  b.tdScanMode.nSelectorValue = value;
}

const DecodeCase kCases[] = {
    {"ReplyValue", 3, 7, Bytes().raw({0x12, 0x34}), 2,
     [](_CmdBody& b) { b.reply.nReplyValue = 0x1234; }},
    {"ReportCodeInReplyTable", 37, 7, Bytes().raw({0x12, 0x34}), 2, Nothing},
    {"LinkStatusInReplyTable", 0xFFEE, 7, Bytes().raw({0, 2}), 2, Nothing},
    {"ReplyCodeInReportTable", 3, kReport, Bytes().raw({0x12, 0x34}), 2, Nothing},
    {"MeasurementCodeInReplyTable", 36, 7, Bytes().fill(140, 1), 140, Nothing},
    {"CommandCode", 8, 7, Bytes().raw({1, 2, 3, 4}), 4, Nothing},
    {"StartCommandCode", 0xF004, 7, Bytes().raw({1, 2, 3, 4}), 4, Nothing},
    {"TwoBlock5", 5, 7, Bytes().run(32, 0).u32(0x20212223).u8(0x24), 37,
     [](_CmdBody& b) {
       for (int i = 0; i < 16; ++i) b.twoBlock.byBlock1[i] = static_cast<unsigned char>(i);
       for (int i = 0; i < 16; ++i) b.twoBlock.byBlock2[i] = static_cast<unsigned char>(16 + i);
       b.twoBlock.nValue = 0x20212223;
       b.twoBlock.nTailByte = 0x24;
     }},
    {"OneValue23", 23, 7, Bytes().u32(0x01020304), 4,
     [](_CmdBody& b) { b.oneValue.nValue = 0x01020304; }},
    {"Family", 44, 7, Bytes().raw({0, 0, 0, 0x0C}), 4,
     [](_CmdBody& b) { b.family.nFamilyValue = 12; }},
    {"ThreeValues", 51, 7, Bytes().run(10, 1), 10,
     [](_CmdBody& b) {
       b.threeValues.nValue1 = 0x01020304;
       b.threeValues.nValue2 = 0x05060708;
       b.threeValues.nValue3 = 0x090A;
     }},
    {"ShortPayloadReadsZeros", 51, 7, Bytes().run(5, 1), 5,
     [](_CmdBody& b) {
       b.threeValues.nValue1 = 0x01020304;
       b.threeValues.nValue2 = 0x05000000;
     }},
    {"TdTwoBlock", 0xF015, 7, Bytes().run(16, 0x40).u32(0xA0B0C0D0).u8(0xEE), 21,
     [](_CmdBody& b) {
       for (int i = 0; i < 8; ++i) b.tdTwoBlock.byBlock1[i] = static_cast<unsigned char>(0x40 + i);
       for (int i = 0; i < 8; ++i) b.tdTwoBlock.byBlock2[i] = static_cast<unsigned char>(0x48 + i);
       b.tdTwoBlock.nValue = 0xA0B0C0D0;
       b.tdTwoBlock.nTailByte = 0xEE;
     }},
    {"GpsText", 0xF02A, 7, Bytes().header(9, "$GP,3954.0000,N").u32(1).u32(2), 128,
     [](_CmdBody& b) {
       b.gpsText.nHeaderByte = 9;
       std::strcpy(b.gpsText.szGpsText, "$GP,3954.0000,N");
       b.gpsText.nHeaderValue1 = 1;
       b.gpsText.nHeaderValue2 = 2;
     }},
    {"Battery", 0xF031, 7, Bytes().raw({0x01, 0x02, 0x03}), 3,
     [](_CmdBody& b) {
       b.battery.nBatteryValue1 = 0x0102;
       b.battery.nBatteryValue2 = 3;
     }},
    {"StatusValue", 37, kReport, Bytes().raw({0xAB, 0xCD}), 2,
     [](_CmdBody& b) { b.reply.nReplyValue = 0xABCD; }},
    {"ShortStatusSetsLength8", 0xF028, kReport, Bytes().run(6, 1), 8,
     [](_CmdBody& b) {
       b.shortStatus.nValue1 = 0x01020304;
       b.shortStatus.nValue2 = 0x0506;
     }},
    {"LinkStatusBytesOneByOne", 0xFFEE, kReport, Bytes().raw({0, 2}), 2,
     [](_CmdBody& b) { b.linkStatus.nStatusByte1 = 2; }},
    {"WcdmaScanModeCellList", 11, 7,
     Bytes().raw({7, 1, 0, 2, 3, 3}).u32(10).u16(11).u32(12).u16(13).u32(14).u16(15), 24,
     [](_CmdBody& b) {
       b.wScanMode.nMode = 7;
       auto& l = b.wScanMode.fields.cellList;
       l.nListValue1 = 1;
       l.nListValue2 = 2;
       l.nListValue3 = 3;
       l.nCount = 3;
       for (uint16_t i = 0; i < 3; ++i) {
         l.aEntries[i].nFirst = 10 + 2 * i;
         l.aEntries[i].nSecond = static_cast<uint16_t>(11 + 2 * i);
       }
     }},
    {"TdScanModeEmptyListTrailingFromByte6", 0xF00B, 7, Bytes().raw({1, 1, 0, 0, 5, 0, 9}), 7,
     [](_CmdBody& b) {
       TdHeader(b, 1, 1, 0, 5);
       b.tdScanMode.fields.list.nTrailing = 9;
     }},
    {"TdScanModeCw", 0xF00B, 7, Bytes().raw({5, 0, 1, 1, 0x2C}).u32(10).u16(7), 11,
     [](_CmdBody& b) {
       TdHeader(b, 5, 0, 1, 300);
       b.tdScanMode.fields.cw.nCWValue1 = 10;
       b.tdScanMode.fields.cw.nCWValue2 = 7;
     }},
    {"TdScanModeWithoutFieldsReadsHeaderOnly", 0xF00B, 7,
     Bytes().raw({7, 1, 2, 3, 4}).fill(20, 0xFF), 25,
     [](_CmdBody& b) { TdHeader(b, 7, 1, 2, 0x0304); }},
};

class DecodeLayout : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeLayout, FillsExactlyTheLayoutFields) {
  const DecodeCase& c = GetParam();
  auto record = decode(c.code, c.trans, c.payload);
  CCmdManage expected;
  c.expect(expected.body);

  EXPECT_EQ(record->nCode, c.code);
  EXPECT_EQ(record->nTransID, c.trans);
  EXPECT_EQ(record->nLength, c.length);
  EXPECT_EQ(FirstDifference(record->body, expected.body), -1);
}

INSTANTIATE_TEST_SUITE_P(Replies, DecodeLayout, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DecodeReply, EveryValueReplyCodeReadsOneU16) {
  for (uint16_t code :
       {3, 6, 9, 12, 24, 89, 99, 0xF003, 0xF006, 0xF009, 0xF00C, 0xF02B, 0xF032, 0xF042}) {
    EXPECT_EQ(decode(code, 1, Bytes().raw({0x12, 0x34, 0x56}))->body.reply.nReplyValue, 0x1234)
        << code;
  }
}

TEST(DecodeReply, CodesSharingALayoutDecodeAlike) {
  const Bytes payload = Bytes().run(37, 1);
  EXPECT_EQ(FirstDifference(decode(5, 1, payload)->body, decode(21, 1, payload)->body), -1);
  EXPECT_EQ(FirstDifference(decode(23, 1, payload)->body, decode(25, 1, payload)->body), -1);
}

TEST(DecodeReply, IgnoresBytesPastThePayloadLengthAndPast2048) {
  auto message = std::make_unique<CMyPcCommMessage>(51, 2, 9, "\x12\x34");
  std::memset(message->payload + 2, 0xFF, 8);  // not part of the frame
  CCmdManage record;
  decode_message(*message, record, {});
  EXPECT_EQ(record.body.threeValues.nValue1, 0x12340000u);
  EXPECT_EQ(record.body.threeValues.nValue2, 0u);

  // A length above the buffer keeps the buffer's bytes and reads nothing beyond them.
  std::vector<uint8_t> big(3000, 0xAB);
  CMyPcCommMessage oversized(0xF02A, 3000, 9, big.data());
  EXPECT_EQ(oversized.nLength, 3000);
  CCmdManage gps;
  decode_message(oversized, gps, {});
  EXPECT_EQ(gps.nLength, 3000);
  EXPECT_EQ(gps.body.gpsText.nHeaderValue2, 0xABABABABu);
}

// Scan-mode replies carry the command bodies: what the encoder wrote decodes into a record that
// encodes to the same bytes, the longest lists included.
TEST(ScanModeRoundTrip, ReplyDecodesWhatTheCommandEncodes) {
  struct Case {
    uint16_t command, reply;
    void (*fill)(_CmdBody&);
  };
  const Case cases[] = {
      {1, 11,
       [](_CmdBody& b) {
         b.wScanMode = {2, {}};
         b.wScanMode.fields.general = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 1, -11, 12, 13};
       }},
      {1, 11,
       [](_CmdBody& b) {
         b.wScanMode = {7, {}};
         b.wScanMode.fields.cellList = {1, 2, 3, 255, {}};
         for (uint16_t i = 0; i < 255; ++i) b.wScanMode.fields.cellList.aEntries[i] = {i * 99u, i};
       }},
      {1, 11,
       [](_CmdBody& b) {
         b.wScanMode = {8, {}};
         b.wScanMode.fields.freqList = {1, 2, 3, 255, {}};
         for (uint16_t i = 0; i < 255; ++i)
           b.wScanMode.fields.freqList.aEntries[i] = 0xF0000000u | i;
       }},
      {0xF001, 0xF00B,
       [](_CmdBody& b) {
         b.tdScanMode = {1, 1, 0, 0x10, {}};
         b.tdScanMode.fields.list.nCount = 255;
         for (uint16_t i = 0; i < 255; ++i) b.tdScanMode.fields.list.aEntries[i] = {i * 7u, i};
         b.tdScanMode.fields.list.nTrailing = 0x5A;
       }},
      {0xF001, 0xF00B,
       [](_CmdBody& b) {
         b.tdScanMode = {6, 0, 2, 0, {}};
         b.tdScanMode.fields.channel = {1, 2, 3, 4, 5, 6, {1, 2, 3}, {0xFF, 0xFE}};
       }},
  };
  for (const Case& c : cases) {
    auto command = std::make_unique<CCmdManage>();
    command->nCode = c.command;
    c.fill(command->body);
    std::vector<uint8_t> frame(kMaxFrame);
    const size_t n = encode_command(*command, frame.data(), frame.size());
    ASSERT_GT(n, 8u);

    Bytes payload;
    payload.v.assign(frame.begin() + 8, frame.begin() + n);
    auto reply = decode(c.reply, 3, payload);
    reply->nCode = c.command;
    std::vector<uint8_t> again(kMaxFrame);
    ASSERT_EQ(encode_command(*reply, again.data(), again.size()), n);
    EXPECT_TRUE(std::equal(frame.begin() + 8, frame.begin() + n, again.begin() + 8)) << n;
  }
}

TEST(Records, StartZeroedAndCopyAtMostTheBuffer) {
  auto storage = std::make_unique<unsigned char[]>(sizeof(CCmdManage));
  std::memset(storage.get(), 0xAA, sizeof(CCmdManage));
  auto* record = new (storage.get()) CCmdManage;
  EXPECT_EQ(record->nCode | record->nTransID | record->nLength, 0);
  EXPECT_TRUE(std::all_of(std::begin(record->body.byRaw), std::end(record->body.byRaw),
                          [](unsigned char b) { return b == 0; }));
  record->~CCmdManage();

  const uint8_t bytes[4] = {1, 2, 3, 4};
  CMyPcCommMessage message(0xF001, 3, 9, bytes);
  EXPECT_EQ(message.nCode, 0xF001);
  EXPECT_EQ(message.nLength, 3);
  EXPECT_EQ(message.nTransID, 9);
  EXPECT_EQ(message.payload[2], 3);
  EXPECT_EQ(message.payload[3], 0);
  CMyPcCommMessage empty(7, 0, 1, nullptr);
  EXPECT_EQ(empty.payload[0], 0);
}

// Each row of the code table is acted on: what the scanner sends is decoded where it belongs (a
// reply with a request's id, a report with 0xFFFF) and rendered as JSON; a command with a body is
// encoded. A row whose layout one of them lacks fails here.
TEST(CodeTable, EveryRowIsDecodedRenderedOrEncoded) {
  const std::vector<uint8_t> ones(kMaxPayload, 1);
  for (const MessageCode& c : kMessageCodes) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FindMessageCode(c.code), &c) << "code twice in the table: " << c.code;
    auto record = std::make_unique<CCmdManage>();
    if (c.kind == MessageKind::kCommand) {
      record->nCode = c.code;
      std::memset(record->body.byRaw, 1, sizeof record->body.byRaw);
      const EncodedLength length = command_payload_length(*record, kCommandFrameSize);
      EXPECT_TRUE(length.ok);
      EXPECT_EQ(length.payload > 0, c.layout != BodyLayout::kEmpty);
      continue;
    }
    const uint16_t trans = c.kind == MessageKind::kReply ? 7 : kReport;
    decode_payload(c.code, trans, ones.data(), ones.size(), *record, {});
    EXPECT_FALSE(std::all_of(std::begin(record->body.byRaw), std::end(record->body.byRaw),
                             [](unsigned char b) { return b == 0; }));
    EXPECT_EQ(RecordJson(*record, false).find("\"body\":{}"), std::string::npos);
  }
}

}  // namespace
}  // namespace scanlink::codec::test
