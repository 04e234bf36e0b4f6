// Command encoding: the code's row gives its layout, the layout (and mode) its fields from the
// table below; codes of other layouts, or not in the table, go out with an empty payload.
#include <cstdint>

#include "codec/bytes.h"
#include "codec/codec.h"
#include "codec/command_layouts.h"
#include "codec/message_codes.h"

namespace scanlink::codec {
namespace {

using EncodeBody = void (*)(Writer&, const _CmdBody&);

// The other commands' bodies: fields of one member, in payload order.
template <auto Member, auto... Fields>
void member_fields(Writer& out, const _CmdBody& body) {
  fields(out, ((body.*Member).*Fields)...);
}

// A TD mode without fields sends nothing at all, not even the TD header.
void td_scan_mode_command(Writer& out, const _CmdBody& body) {
  if (td_mode_has_fields(body.tdScanMode.nMode)) td_scan_mode(out, body);
}

constexpr LayoutTable<EncodeBody> kCommands = ByLayout<EncodeBody>({
    {BodyLayout::kWScanMode, w_scan_mode},
    {BodyLayout::kTDScanMode, td_scan_mode_command},
    {BodyLayout::kStartTime,
     member_fields<&_CmdBody::startTime, &_ScanStartTime::nYear, &_ScanStartTime::nMonth,
                   &_ScanStartTime::nDay, &_ScanStartTime::nHour, &_ScanStartTime::nMinute,
                   &_ScanStartTime::nSecond>},
    {BodyLayout::kCommand22,
     member_fields<&_CmdBody::code22, &_Code22Info::nValue, &_Code22Info::nByte,
                   &_Code22Info::byBlock1, &_Code22Info::byBlock2>},
    {BodyLayout::kLogin,
     member_fields<&_CmdBody::login, &_LoginInfo::szText1, &_LoginInfo::szText2>},
    {BodyLayout::kIpAddress, member_fields<&_CmdBody::ipAddress, &_IpAddressInfo::nAddress>},
    {BodyLayout::kMacAddress, member_fields<&_CmdBody::macAddress, &_MacAddressInfo::byAddress>},
    {BodyLayout::kSignedValue, member_fields<&_CmdBody::signedValue, &_SignedValueInfo::nValue>},
    {BodyLayout::kTwoValues,
     member_fields<&_CmdBody::twoValues, &_TwoValueInfo::nValue1, &_TwoValueInfo::nValue2>},
    {BodyLayout::kGpsFormat,
     member_fields<&_CmdBody::gpsFormat, &_GpsFormatInfo::nValue1, &_GpsFormatInfo::nValue2>},
});

// The module byte until the send path writes the requesting module's id.
constexpr uint8_t kImageModuleByte = 4;

void encode_body(const CCmdManage& command, Writer& out) {
  const MessageCode* entry = FindMessageCode(command.nCode);
  if (entry == nullptr || entry->kind != MessageKind::kCommand) return;
  if (const EncodeBody encode = kCommands[static_cast<size_t>(entry->layout)]) {
    encode(out, command.body);
  }
}

}  // namespace

EncodedLength command_payload_length(const CCmdManage& command, size_t capacity) {
  Writer measure(nullptr, 0);
  encode_body(command, measure);
  if (capacity < kHeaderSize || measure.size() > capacity - kHeaderSize) return {0, false};
  return {measure.size(), true};
}

size_t encode_command(const CCmdManage& command, uint8_t* frame, size_t capacity) {
  if (frame == nullptr) return 0;
  const EncodedLength length = command_payload_length(command, capacity);
  if (!length.ok) return 0;

  write_header(frame, {kSync, kImageModuleByte, command.nCode, command.nTransID,
                       static_cast<uint16_t>(length.payload)});
  Writer out(frame + kHeaderSize, capacity - kHeaderSize);
  encode_body(command, out);
  return kHeaderSize + length.payload;
}

}  // namespace scanlink::codec
