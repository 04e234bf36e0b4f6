// Response decoding: the code's row gives its kind and layout. Replies are read when they carry a
// request's transaction id, reports and the link notice when they carry 0xFFFF; a code in the
// wrong place, or not in the table, leaves the body zero.
#include <cstdint>

#include "codec/bytes.h"
#include "codec/codec.h"
#include "codec/command_layouts.h"
#include "codec/gps_check.h"
#include "codec/message_codes.h"
#include "codec/reports.h"

namespace scanlink::codec {
namespace {

void reply_value(Reader& in, CCmdManage& record, const DecodeEnv&) {
  in(record.body.reply.nReplyValue);
}

// Both version replies: two blocks, a value and a byte.
template <auto Reply>
void two_block(Reader& in, CCmdManage& record, const DecodeEnv&) {
  auto& r = record.body.*Reply;
  fields(in, r.byBlock1, r.byBlock2, r.nValue, r.nTailByte);
}

void one_value(Reader& in, CCmdManage& record, const DecodeEnv&) {
  in(record.body.oneValue.nValue);
}

void family(Reader& in, CCmdManage& record, const DecodeEnv&) {
  in(record.body.family.nFamilyValue);
}

void three_values(Reader& in, CCmdManage& record, const DecodeEnv&) {
  auto& r = record.body.threeValues;
  fields(in, r.nValue1, r.nValue2, r.nValue3);
}

void gps_text(Reader& in, CCmdManage& record, const DecodeEnv&) {
  auto& r = record.body.gpsText;
  fields(in, r.nHeaderByte, r.szGpsText, r.nHeaderValue1, r.nHeaderValue2);
}

void battery(Reader& in, CCmdManage& record, const DecodeEnv&) {
  fields(in, record.body.battery.nBatteryValue1, record.body.battery.nBatteryValue2);
}

// The scan-mode replies read exactly what the encoder writes, except that a TD mode without
// fields still reads its TD header.
void w_scan_mode_reply(Reader& in, CCmdManage& record, const DecodeEnv&) {
  w_scan_mode(in, record.body);
}

void td_scan_mode_reply(Reader& in, CCmdManage& record, const DecodeEnv&) {
  td_scan_mode(in, record.body);
}

void short_status(Reader& in, CCmdManage& record, const DecodeEnv&) {
  fields(in, record.body.shortStatus.nValue1, record.body.shortStatus.nValue2);
  record.nLength = 8;
}

// The library's own link notice: two separate bytes, the link state in the second.
void link_status(Reader& in, CCmdManage& record, const DecodeEnv&) {
  fields(in, record.body.linkStatus.nStatusByte0, record.body.linkStatus.nStatusByte1);
}

using DecodeBody = void (*)(Reader& in, CCmdManage& record, const DecodeEnv& env);

// Commands' layouts have no decoder: nothing the scanner sends is read as one.
constexpr LayoutTable<DecodeBody> kDecoders = ByLayout<DecodeBody>({
    {BodyLayout::kValue, reply_value},
    {BodyLayout::kWScanMode, w_scan_mode_reply},
    {BodyLayout::kTDScanMode, td_scan_mode_reply},
    {BodyLayout::kTwoBlock, two_block<&_CmdBody::twoBlock>},
    {BodyLayout::kOneValue, one_value},
    {BodyLayout::kFamily, family},
    {BodyLayout::kThreeValues, three_values},
    {BodyLayout::kTDTwoBlock, two_block<&_CmdBody::tdTwoBlock>},
    {BodyLayout::kGpsText, gps_text},
    {BodyLayout::kBattery, battery},
    {BodyLayout::kShortStatus, short_status},
    {BodyLayout::kLinkStatus, link_status},
    {BodyLayout::kValueList, value_list_report},
    {BodyLayout::kTDValueList, td_value_list_report},
    {BodyLayout::kShortValueList, short_value_list_report},
    {BodyLayout::kCellRecords, cell_record_report},
    {BodyLayout::kSweep, sweep_report},
    {BodyLayout::kTDCells, td_cell_report},
    {BodyLayout::kTDProfile, td_profile_report},
    {BodyLayout::kTDShortProfile, td_short_profile_report},
});

void decode(Reader& in, CCmdManage& record, const DecodeEnv& env) {
  const MessageCode* entry = FindMessageCode(record.nCode);
  if (entry == nullptr || entry->kind == MessageKind::kCommand) return;
  const bool broadcast = record.nTransID == kBroadcastTrans;
  if (broadcast != (entry->kind != MessageKind::kReply)) return;
  if (const DecodeBody decode = kDecoders[static_cast<size_t>(entry->layout)]) {
    decode(in, record, env);
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
