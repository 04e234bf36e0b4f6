// One scanner as the operations see it: its engine, its state and the module id its requests go
// out under. The original client makes one over the first session for each call; a C session
// keeps one over its own engine.
#pragma once

#include <cstddef>
#include <cstdint>

#include "scanlink/scanlink.h"

namespace scanlink::transport {
class CMyPcCommSocket;
struct LibraryState;
}  // namespace scanlink::transport

namespace scanlink::client {

class Operations {
 public:
  // The command frame buffer holds 1016 payload bytes: the list operations' limits.
  static constexpr unsigned kMaxCellEntries = 168;
  static constexpr unsigned kMaxFreqEntries = 252;

  // engine may be null (a client without an engine): every operation then sends nothing.
  Operations(transport::CMyPcCommSocket* engine, transport::LibraryState& state, uint8_t moduleId)
      : engine_(engine), state_(state), moduleId_(moduleId) {}

  int ClientSendMessage(CMyPcCommMessage& message);
  int SendMessageW(const CCmdManage* command);

  int LoginScaner(const char* text1, const char* text2);
  int ChangePassword(const char* text2, const char* text1);
  int SetWFreqListScanMode(unsigned listValue1, unsigned listValue2, unsigned listValue3,
                           unsigned count, const unsigned* freqs);
  int SetWCellListScanMode(unsigned listValue1, unsigned listValue2, unsigned listValue3,
                           unsigned count, const unsigned* firsts, const unsigned* seconds);
  int SetWCDMAScanMode(unsigned mode, unsigned value1, unsigned value2, unsigned value3,
                       unsigned value4, unsigned value5, unsigned value6, unsigned value7,
                       unsigned value8, bool flag, short value11, unsigned value9, unsigned value10,
                       unsigned value12, unsigned value13);
  int SetTDSAScanMode(unsigned sa1, unsigned sa2, unsigned selectorValue, unsigned sa3, bool saFlag,
                      short sa5, unsigned sa4, unsigned selector);
  int SetTDCellListScanMode(unsigned selectorValue, const unsigned* firsts, const unsigned* seconds,
                            unsigned count, unsigned selector, bool fingerTest, unsigned trailing);
  int SetTDFreqListScanMode(unsigned selectorValue, const unsigned* freqs, unsigned count,
                            unsigned selector, bool fingerTest, unsigned trailing);
  int SetTDCellSearchScanMode(unsigned search3, unsigned search4, unsigned selectorValue,
                              unsigned search2, unsigned search1, unsigned selector,
                              bool fingerTest);
  int SetTDCWScanMode(unsigned cw1, unsigned selectorValue, unsigned cw2, unsigned selector);
  // The DPCH, HSDPA, HSUPA and MBMS scans share this layout.
  int SetDpchScanMode(unsigned selectorValue, unsigned selector, unsigned channel1,
                      unsigned channel2, unsigned channel3, unsigned channel4, unsigned channel5,
                      unsigned channel6, const unsigned char* block1, const unsigned char* block2);
  int GetScanMode();
  int GetScanerVersion();
  int ResetScaner();
  int StopScanData();
  int StartScanData();
  int SetScanerMACAddress(const char* text);
  int SetScanerIPAddress(const char* text);
  int QueryBattery();
  int SetGpsInfoFormat(int value1, int value2);

 private:
  int Send(CCmdManage& cmd);
  int SendFrame(uint8_t* frame, size_t length);
  int SendEmpty(uint16_t wcdmaCode);
  int SendLogin(uint16_t code, const char* text1, const char* text2);
  uint16_t FamilyCode(uint16_t wcdma) const;
  uint8_t SetFinger(bool on);

  transport::CMyPcCommSocket* engine_;
  transport::LibraryState& state_;
  uint8_t moduleId_;
};

}  // namespace scanlink::client
