// Response decoding: the transaction id picks the table (0xFFFF reports, anything else replies),
// the code picks the row. A code in the wrong table, or in neither, leaves the body zero.
#include <atomic>
#include <cstdint>
#include <span>

#include "codec/bytes.h"
#include "codec/codec.h"
#include "codec/command_layouts.h"
#include "codec/gps_check.h"
#include "codec/reports.h"

namespace scanlink::codec {
namespace {

using DecodeReply = void (*)(Reader&, _CmdBody&);

void reply_value(Reader& in, _CmdBody& body) { in(body.reply.nReplyValue); }

void two_block(Reader& in, _CmdBody& body) {
  auto& r = body.twoBlock;
  fields(in, r.byBlock1, r.byBlock2, r.nValue, r.nTailByte);
}

void one_value(Reader& in, _CmdBody& body) { in(body.oneValue.nValue); }

void family(Reader& in, _CmdBody& body) { in(body.family.nFamilyValue); }

void three_values(Reader& in, _CmdBody& body) {
  auto& r = body.threeValues;
  fields(in, r.nValue1, r.nValue2, r.nValue3);
}

void td_two_block(Reader& in, _CmdBody& body) {
  auto& r = body.tdTwoBlock;
  fields(in, r.byBlock1, r.byBlock2, r.nValue, r.nTailByte);
}

void gps_text(Reader& in, _CmdBody& body) {
  auto& r = body.gpsText;
  fields(in, r.nHeaderByte, r.szGpsText, r.nHeaderValue1, r.nHeaderValue2);
}

void battery(Reader& in, _CmdBody& body) {
  fields(in, body.battery.nBatteryValue1, body.battery.nBatteryValue2);
}

struct ReplyRow {
  uint16_t code;
  DecodeReply decode;
};

// The scan-mode replies read exactly what the encoder writes, except that 0xF00B in a mode
// without fields still reads its TD header.
constexpr ReplyRow kReplies[] = {
    {3, reply_value},      {6, reply_value},       {9, reply_value},       {12, reply_value},
    {24, reply_value},     {89, reply_value},      {99, reply_value},      {0xF003, reply_value},
    {0xF006, reply_value}, {0xF009, reply_value},  {0xF00C, reply_value},  {0xF02B, reply_value},
    {0xF032, reply_value}, {0xF042, reply_value},  {5, two_block},         {21, two_block},
    {11, w_scan_mode},     {23, one_value},        {25, one_value},        {44, family},
    {51, three_values},    {0xF00B, td_scan_mode}, {0xF015, td_two_block}, {0xF02A, gps_text},
    {0xF031, battery},
};

void status_value(Reader& in, CCmdManage& record, const DecodeEnv&) {
  in(record.body.reply.nReplyValue);
}

void short_status(Reader& in, CCmdManage& record, const DecodeEnv&) {
  fields(in, record.body.shortStatus.nValue1, record.body.shortStatus.nValue2);
  record.nLength = 8;
}

// The library's own link notice: two separate bytes, the link state in the second.
void link_status(Reader& in, CCmdManage& record, const DecodeEnv&) {
  fields(in, record.body.linkStatus.nStatusByte0, record.body.linkStatus.nStatusByte1);
}

constexpr ReportRow kStatusReports[] = {
    {37, status_value},
    {0xF028, short_status},
    {kLinkStatusCode, link_status},
};

const ReportRow* find_report(uint16_t code) {
  for (std::span<const ReportRow> rows :
       {std::span<const ReportRow>(kStatusReports), measurement_reports()}) {
    for (const ReportRow& row : rows) {
      if (row.code == code) return &row;
    }
  }
  return nullptr;
}

}  // namespace

namespace {

void decode(Reader& in, CCmdManage& record, const DecodeEnv& env) {
  if (record.nTransID == kBroadcastTrans) {
    if (const ReportRow* row = find_report(record.nCode)) row->decode(in, record, env);
    return;
  }
  for (const ReplyRow& row : kReplies) {
    if (row.code == record.nCode) {
      row.decode(in, record.body);
      return;
    }
  }
}

}  // namespace

void decode_message(const CMyPcCommMessage& message, CCmdManage& record, const DecodeEnv& env) {
  record.nCode = message.nCode;
  record.nTransID = message.nTransID;
  record.nLength = message.nLength;
  Reader in(message.payload, message.nLength);
  decode(in, record, env);
}

void decode_payload(uint16_t code, uint16_t transId, const uint8_t* payload, size_t length,
                    CCmdManage& record, const DecodeEnv& env) {
  record.nCode = code;
  record.nTransID = transId;
  record.nLength = static_cast<uint16_t>(length);
  Reader in(payload, length, kMaxPayload);
  decode(in, record, env);
}

}  // namespace scanlink::codec
