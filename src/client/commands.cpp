// The scanner commands: each fills one command record, encodes it into the frame that goes to the
// socket, takes the session's next command sequence number and hands the frame to the engine.
#include <cstring>
#include <optional>

#include "client/operations.h"
#include "client/sequence.h"
#include "codec/codec.h"
#include "codec/message_codes.h"
#include "codec/text.h"
#include "scanlink/scanlink.h"
#include "transport/engine.h"
#include "transport/library_state.h"
#include "transport/local_time.h"
#include "transport/trace.h"

using scanlink::transport::LoadGlobal;
using scanlink::transport::StoreGlobal;

namespace scanlink::client {
namespace {

namespace codes = codec::codes;

_WScanModeInfo& WCommand(CCmdManage& cmd, uint8_t mode) {
  cmd.nCode = codes::kSetWScanMode;
  cmd.body.wScanMode.nMode = mode;
  return cmd.body.wScanMode;
}

// The selector value goes out only for selectors 0 and 1.
_TDScanModeInfo& TDCommand(CCmdManage& cmd, uint8_t mode, uint8_t finger, unsigned selector,
                           unsigned selectorValue) {
  cmd.nCode = codes::kSetTDScanMode;
  _TDScanModeInfo& td = cmd.body.tdScanMode;
  td.nMode = mode;
  td.nFingerTest = finger;
  td.nSelector = static_cast<uint8_t>(selector);
  if (selector == 0 || selector == 1) td.nSelectorValue = static_cast<uint16_t>(selectorValue);
  return td;
}

// Without seconds (a frequency list) each second is 0xFFFF.
void FillEntries(_ListEntry* entries, unsigned count, const unsigned* firsts,
                 const unsigned* seconds) {
  for (unsigned i = 0; i < count; ++i) {
    entries[i].nFirst = firsts[i];
    entries[i].nSecond = seconds != nullptr ? static_cast<uint16_t>(seconds[i]) : 0xFFFF;
  }
}

}  // namespace

// The code of a family-dependent operation, or 0 when the family is not known.
uint16_t Operations::FamilyCode(uint16_t wcdma) const {
  switch (LoadGlobal(*state_.values.family)) {
    case 1:
      return wcdma;
    case 2:
      return codec::TDCodeOf(wcdma);
    default:
      return 0;
  }
}

uint8_t Operations::SetFinger(bool on) {
  const uint8_t finger = on ? 1 : 0;
  StoreGlobal(*state_.values.fingerTest, finger);
  return finger;
}

// Encodes, takes the next sequence number and sends. A record that cannot be encoded is refused
// first, so a refusal never uses up a sequence number.
int Operations::Send(CCmdManage& cmd) {
  uint8_t frame[codec::kCommandFrameSize];
  const size_t total = codec::encode_command(cmd, frame, sizeof frame);
  if (total == 0) return 0;
  cmd.nTransID = NextSequence(state_.sequence);
  return SendFrame(frame, total);
}

// Not under the library lock: a send waiting for room must not hold up the listening thread.
int Operations::SendFrame(uint8_t* frame, size_t length) {
  if (engine_ == nullptr) return 0;
  return engine_->MySendFrame(frame, length, moduleId_);
}

int Operations::ClientSendMessage(CMyPcCommMessage& message) {
  if (engine_ == nullptr) return 0;
  return engine_->MySendMessage(message, moduleId_);
}

int Operations::SendMessageW(const CCmdManage* command) {
  if (command == nullptr) return 0;
  uint8_t frame[codec::kCommandFrameSize];
  const size_t total = codec::encode_command(*command, frame, sizeof frame);
  if (total == 0) {
    transport::MyTrace(state_, transport::kTraceError,
                       "SendMessageW(): The command does not fit a frame!");
    return 0;
  }
  return SendFrame(frame, total);
}

int Operations::SendLogin(uint16_t code, const char* text1, const char* text2) {
  if (text1 == nullptr || text2 == nullptr) return 0;
  CCmdManage cmd;
  cmd.nCode = code;
  std::memcpy(cmd.body.login.szText1, text1, 16);
  std::memcpy(cmd.body.login.szText2, text2, 16);
  return Send(cmd);
}

int Operations::LoginScaner(const char* text1, const char* text2) {
  return SendLogin(codes::kLogin, text1, text2);
}

int Operations::ChangePassword(const char* text2, const char* text1) {
  return SendLogin(codes::kChangePassword, text1, text2);
}

int Operations::SetWFreqListScanMode(unsigned int listValue1, unsigned int listValue2,
                                     unsigned int listValue3, unsigned int count,
                                     const unsigned* freqs) {
  if (count > kMaxFreqEntries || (count > 0 && freqs == nullptr)) return 0;
  CCmdManage cmd;
  _WFreqList& l = WCommand(cmd, 8).fields.freqList;
  l.nListValue1 = static_cast<uint8_t>(listValue1);
  l.nListValue2 = static_cast<uint16_t>(listValue2);
  l.nListValue3 = static_cast<uint8_t>(listValue3);
  l.nCount = static_cast<uint8_t>(count);
  for (unsigned i = 0; i < count; ++i) l.aEntries[i] = freqs[i];
  return Send(cmd);
}

int Operations::SetWCellListScanMode(unsigned int listValue1, unsigned int listValue2,
                                     unsigned int listValue3, unsigned int count,
                                     const unsigned* firsts, const unsigned* seconds) {
  if (count > kMaxCellEntries || (count > 0 && (firsts == nullptr || seconds == nullptr))) {
    return 0;
  }
  CCmdManage cmd;
  _WCellList& l = WCommand(cmd, 7).fields.cellList;
  l.nListValue1 = static_cast<uint8_t>(listValue1);
  l.nListValue2 = static_cast<uint16_t>(listValue2);
  l.nListValue3 = static_cast<uint8_t>(listValue3);
  l.nCount = static_cast<uint8_t>(count);
  FillEntries(l.aEntries, count, firsts, seconds);
  return Send(cmd);
}

int Operations::SetWCDMAScanMode(unsigned int mode, unsigned int value1, unsigned int value2,
                                 unsigned int value3, unsigned int value4, unsigned int value5,
                                 unsigned int value6, unsigned int value7, unsigned int value8,
                                 bool flag, short int value11, unsigned int value9,
                                 unsigned int value10, unsigned int value12, unsigned int value13) {
  CCmdManage cmd;
  _WScanModeInfo& w = WCommand(cmd, static_cast<uint8_t>(mode));
  // Modes 7 and 8 carry list fields, which this operation does not fill: they go out as zeros (an
  // empty list). The general fields share their storage and must not leak into them.
  if (w.nMode == 7 || w.nMode == 8) return Send(cmd);
  _WScanGeneral& g = w.fields.general;
  g.nValue1 = value1;
  g.nValue2 = value2;
  g.nValue3 = value3;
  g.nValue4 = static_cast<uint16_t>(value4);
  g.nValue5 = static_cast<uint16_t>(value5);
  g.nValue6 = static_cast<uint8_t>(value6);
  g.nValue7 = static_cast<uint8_t>(value7);
  g.nValue8 = static_cast<uint16_t>(value8);
  g.bFlag = flag ? 1 : 0;
  g.nValue11 = value11;
  g.nValue9 = static_cast<uint8_t>(value9);
  g.nValue10 = static_cast<uint8_t>(value10);
  g.nValue12 = static_cast<uint8_t>(value12);
  g.nValue13 = value13;
  return Send(cmd);
}

int Operations::SetTDSAScanMode(unsigned int sa1, unsigned int sa2, unsigned int selectorValue,
                                unsigned int sa3, bool saFlag, short int sa5, unsigned int sa4,
                                unsigned int selector) {
  CCmdManage cmd;
  _TDSAScan& sa = TDCommand(cmd, 3, 0, selector, selectorValue).fields.sa;
  sa.nSAValue1 = sa1;
  sa.nSAValue2 = sa2;
  sa.nSAValue3 = sa3;
  sa.nSAValue4 = static_cast<uint8_t>(sa4);
  sa.bSAFlag = saFlag ? 1 : 0;
  sa.nSAValue5 = sa5;
  return Send(cmd);
}

int Operations::SetTDCellListScanMode(unsigned int selectorValue, const unsigned* firsts,
                                      const unsigned* seconds, unsigned int count,
                                      unsigned int selector, bool fingerTest,
                                      unsigned int trailing) {
  if (count > kMaxCellEntries || (count > 0 && (firsts == nullptr || seconds == nullptr))) {
    return 0;
  }
  const uint8_t finger = SetFinger(fingerTest);
  CCmdManage cmd;
  _TDList& l = TDCommand(cmd, 1, finger, selector, selectorValue).fields.list;
  l.nCount = static_cast<uint8_t>(count);
  FillEntries(l.aEntries, count, firsts, seconds);
  l.nTrailing = static_cast<uint8_t>(trailing);
  return Send(cmd);
}

int Operations::SetTDFreqListScanMode(unsigned int selectorValue, const unsigned* freqs,
                                      unsigned int count, unsigned int selector, bool fingerTest,
                                      unsigned int trailing) {
  if (count > kMaxCellEntries || (count > 0 && freqs == nullptr)) return 0;
  const uint8_t finger = SetFinger(fingerTest);
  CCmdManage cmd;
  _TDList& l = TDCommand(cmd, 4, finger, selector, selectorValue).fields.list;
  l.nCount = static_cast<uint8_t>(count);
  FillEntries(l.aEntries, count, freqs, nullptr);
  l.nTrailing = static_cast<uint8_t>(trailing);
  return Send(cmd);
}

int Operations::SetTDCellSearchScanMode(unsigned int search3, unsigned int search4,
                                        unsigned int selectorValue, unsigned int search2,
                                        unsigned int search1, unsigned int selector,
                                        bool fingerTest) {
  const uint8_t finger = SetFinger(fingerTest);
  CCmdManage cmd;
  _TDCellSearch& cs = TDCommand(cmd, 2, finger, selector, selectorValue).fields.cellSearch;
  cs.nSearchValue1 = static_cast<uint8_t>(search1);
  cs.nSearchValue2 = static_cast<uint16_t>(search2);
  cs.nSearchValue3 = search3;
  cs.nSearchValue4 = search4;
  return Send(cmd);
}

int Operations::SetTDCWScanMode(unsigned int cw1, unsigned int selectorValue, unsigned int cw2,
                                unsigned int selector) {
  CCmdManage cmd;
  _TDCWScan& cw = TDCommand(cmd, 5, 0, selector, selectorValue).fields.cw;
  cw.nCWValue1 = cw1;
  cw.nCWValue2 = static_cast<uint16_t>(cw2);
  return Send(cmd);
}

int Operations::SetDpchScanMode(unsigned int selectorValue, unsigned int selector,
                                unsigned int channel1, unsigned int channel2, unsigned int channel3,
                                unsigned int channel4, unsigned int channel5, unsigned int channel6,
                                const unsigned char* block1, const unsigned char* block2) {
  if (block1 == nullptr || block2 == nullptr) return 0;
  CCmdManage cmd;
  _TDChannelScan& ch = TDCommand(cmd, 6, 0, selector, selectorValue).fields.channel;
  ch.nChannelValue1 = channel1;
  ch.nChannelValue2 = channel2;
  ch.nChannelValue3 = static_cast<uint16_t>(channel3);
  ch.nChannelValue4 = static_cast<uint8_t>(channel4);
  ch.nChannelValue5 = static_cast<uint8_t>(channel5);
  ch.nChannelValue6 = static_cast<uint8_t>(channel6);
  std::memcpy(ch.byBlock1, block1, sizeof ch.byBlock1);
  std::memcpy(ch.byBlock2, block2, sizeof ch.byBlock2);
  return Send(cmd);
}

// The family-dependent operations without a body.
int Operations::SendEmpty(uint16_t wcdmaCode) {
  CCmdManage cmd;
  cmd.nCode = FamilyCode(wcdmaCode);
  return cmd.nCode != 0 ? Send(cmd) : 0;
}

int Operations::GetScanMode() { return SendEmpty(codes::kGetScanMode); }
int Operations::GetScanerVersion() { return SendEmpty(codes::kGetVersion); }
int Operations::ResetScaner() { return SendEmpty(codes::kResetScanner); }
int Operations::StopScanData() { return SendEmpty(codes::kStopScan); }

int Operations::StartScanData() {
  CCmdManage cmd;
  cmd.nCode = FamilyCode(codes::kStartScan);
  if (cmd.nCode == 0) return 0;
  const transport::LocalTime now = transport::NowLocal();
  cmd.body.startTime.nYear = static_cast<uint16_t>(now.year - 1900);
  cmd.body.startTime.nMonth = static_cast<uint8_t>(now.month);
  cmd.body.startTime.nDay = static_cast<uint8_t>(now.day);
  cmd.body.startTime.nHour = static_cast<uint8_t>(now.hour);
  cmd.body.startTime.nMinute = static_cast<uint8_t>(now.minute);
  cmd.body.startTime.nSecond = static_cast<uint8_t>(now.second);
  return Send(cmd);
}

int Operations::SetScanerMACAddress(const char* text) {
  CCmdManage cmd;
  cmd.nCode = codes::kSetMACAddress;
  if (!codec::parse_mac_text(text, cmd.body.macAddress.byAddress)) return 0;
  return Send(cmd);
}

int Operations::SetScanerIPAddress(const char* text) {
  // The whole text must be the address: a text that is no dotted-quad address, or one cut to
  // fit ("192.168.100.2001", "10.0.0.1/24"), would go out as another address than meant and
  // cut the scanner off the network.
  const std::optional<uint32_t> parsed = codec::parse_ipv4_text(text);
  if (!parsed) {
    transport::MyTrace(state_, transport::kTraceWarning,
                       "SetScanerIPAddress(): The text is no IPv4 address, nothing is sent!");
    return 0;
  }
  CCmdManage cmd;
  cmd.nCode = codes::kSetIPAddress;
  cmd.body.ipAddress.nAddress = *parsed;
  return Send(cmd);
}

int Operations::QueryBattery() {
  CCmdManage cmd;
  cmd.nCode = codes::kQueryBattery;
  return Send(cmd);
}

int Operations::SetGpsInfoFormat(int value1, int value2) {
  CCmdManage cmd;
  cmd.nCode = codes::kSetGpsInfoFormat;
  cmd.body.gpsFormat.nValue1 = static_cast<uint16_t>(value1);
  cmd.body.gpsFormat.nValue2 = static_cast<uint16_t>(value2);
  return Send(cmd);
}

}  // namespace scanlink::client
