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

// The replies of one member: its fields, in payload order.
template <auto Member, auto... Fields>
void member_fields(Reader& in, CCmdManage& record, const DecodeEnv&) {
  fields(in, ((record.body.*Member).*Fields)...);
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

using DecodeBody = void (*)(Reader& in, CCmdManage& record, const DecodeEnv& env);

// Commands' layouts have no decoder: nothing the scanner sends is read as one.
constexpr LayoutTable<DecodeBody> kDecoders = ByLayout<DecodeBody>({
    {BodyLayout::kValue, member_fields<&_CmdBody::reply, &_ReplyValue::nReplyValue>},
    {BodyLayout::kWScanMode, w_scan_mode_reply},
    {BodyLayout::kTDScanMode, td_scan_mode_reply},
    {BodyLayout::kTwoBlock,
     member_fields<&_CmdBody::twoBlock, &_TwoBlockReply::byBlock1, &_TwoBlockReply::byBlock2,
                   &_TwoBlockReply::nValue, &_TwoBlockReply::nTailByte>},
    {BodyLayout::kOneValue, member_fields<&_CmdBody::oneValue, &_OneValueReply::nValue>},
    {BodyLayout::kFamily, member_fields<&_CmdBody::family, &_FamilyReply::nFamilyValue>},
    {BodyLayout::kThreeValues,
     member_fields<&_CmdBody::threeValues, &_ThreeValueReply::nValue1, &_ThreeValueReply::nValue2,
                   &_ThreeValueReply::nValue3>},
    {BodyLayout::kTDTwoBlock,
     member_fields<&_CmdBody::tdTwoBlock, &_TDTwoBlockReply::byBlock1, &_TDTwoBlockReply::byBlock2,
                   &_TDTwoBlockReply::nValue, &_TDTwoBlockReply::nTailByte>},
    {BodyLayout::kGpsText,
     member_fields<&_CmdBody::gpsText, &_GpsTextReply::nHeaderByte, &_GpsTextReply::szGpsText,
                   &_GpsTextReply::nHeaderValue1, &_GpsTextReply::nHeaderValue2>},
    {BodyLayout::kBattery, member_fields<&_CmdBody::battery, &_BatteryReply::nBatteryValue1,
                                         &_BatteryReply::nBatteryValue2>},
    {BodyLayout::kShortStatus, short_status},
    // The library's own link notice: two separate bytes, the link state in the second.
    {BodyLayout::kLinkStatus, member_fields<&_CmdBody::linkStatus, &_LinkStatusBody::nStatusByte0,
                                            &_LinkStatusBody::nStatusByte1>},
    {BodyLayout::kValueList, value_list_report},
    {BodyLayout::kTDValueList, td_value_list_report},
    {BodyLayout::kShortValueList, short_value_list_report},
    {BodyLayout::kCellRecords, cell_record_report},
    {BodyLayout::kSweep, sweep_report},
    {BodyLayout::kTDCells, td_cell_report},
    {BodyLayout::kTDProfile, td_profile_report},
    {BodyLayout::kTDShortProfile, td_short_profile_report},
});

}  // namespace

void decode_payload(uint16_t code, uint16_t transId, const uint8_t* payload, size_t length,
                    CCmdManage& record, const DecodeEnv& env) {
  record.nCode = code;
  record.nTransID = transId;
  record.nLength = static_cast<uint16_t>(length);
  const MessageCode* entry = FindMessageCode(code);
  if (entry == nullptr || entry->kind == MessageKind::kCommand) return;
  const bool broadcast = transId == kBroadcastTrans;
  if (broadcast != (entry->kind != MessageKind::kReply)) return;
  if (const DecodeBody decode = kDecoders[static_cast<size_t>(entry->layout)]) {
    Reader in(payload, length, kMaxPayload);
    decode(in, record, env);
  }
}

void decode_message(const CMyPcCommMessage& message, CCmdManage& record, const DecodeEnv& env) {
  decode_payload(message.nCode, message.nTransID, message.payload, message.nLength, record, env);
}

}  // namespace scanlink::codec
