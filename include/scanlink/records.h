// scanlink: message records and the bodies they carry.
//
// A CMyPcCommMessage is a frame's raw form (header values and payload bytes); a CCmdManage is its
// structured form: the three header values followed by a body whose layout depends on the code.
// Every body declares its fields in payload order. On the wire every multi-byte integer is
// big-endian; in these records they are host integers. Fields a layout does not name stay zero.
// The layouts and _CmdBody compile as C11 too (for scanlink/scanlink_c.h); the classes are C++.
#ifndef SCANLINK_RECORDS_H
#define SCANLINK_RECORDS_H

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <assert.h>  // static_assert
#endif

#include "scanlink/export.h"

// ---------------------------------------------------------------------------------------------
// Command bodies (also the scan-mode reply bodies of codes 11 and 0xF00B)
// ---------------------------------------------------------------------------------------------

// Code 1, modes other than 7 and 8: general WCDMA scan settings (SetWCDMAScanMode).
typedef struct _WScanGeneral {
  uint32_t nValue1;
  uint32_t nValue2;
  uint32_t nValue3;
  uint16_t nValue4;
  uint16_t nValue5;
  uint8_t nValue6;
  uint8_t nValue7;
  uint16_t nValue8;
  uint8_t nValue9;
  uint8_t nValue10;
  uint8_t bFlag;
  int16_t nValue11;
  uint8_t nValue12;
  uint32_t nValue13;
} _WScanGeneral;

// One cell of a cell list: a u32 and a u16 on the wire (WCDMA mode 7, TD modes 1 and 4).
typedef struct _ListEntry {
  uint32_t nFirst;
  uint16_t nSecond;
} _ListEntry;

// Code 1, mode 7: WCDMA cell list (SetWCellListScanMode). Only nCount entries are sent.
typedef struct _WCellList {
  uint8_t nListValue1;
  uint16_t nListValue2;
  uint8_t nListValue3;
  uint8_t nCount;
  _ListEntry aEntries[255];
} _WCellList;

// Code 1, mode 8: WCDMA frequency list (SetWFreqListScanMode). Only nCount entries are sent.
typedef struct _WFreqList {
  uint8_t nListValue1;
  uint16_t nListValue2;
  uint8_t nListValue3;
  uint8_t nCount;
  uint32_t aEntries[255];
} _WFreqList;

// Code 1 command and code 11 reply: the mode byte chooses general, cell-list (7) or
// frequency-list (8) fields.
typedef struct _WScanModeInfo {
  uint8_t nMode;
  union {
    _WScanGeneral general;
    _WCellList cellList;
    _WFreqList freqList;
  } fields;
} _WScanModeInfo;

// TD modes 1 (cell list) and 4 (frequency list): count, entries, then the trailing byte, which
// follows the last entry sent on the wire.
typedef struct _TDList {
  uint8_t nCount;
  _ListEntry aEntries[256];
  uint8_t nTrailing;
} _TDList;

// TD mode 2: cell search (SetTDCellSearchScanMode).
typedef struct _TDCellSearch {
  uint8_t nSearchValue1;
  uint16_t nSearchValue2;
  uint32_t nSearchValue3;
  uint32_t nSearchValue4;
} _TDCellSearch;

// TD mode 3: SA scan (SetTDSAScanMode).
typedef struct _TDSAScan {
  uint32_t nSAValue1;
  uint32_t nSAValue2;
  uint32_t nSAValue3;
  uint8_t nSAValue4;
  uint8_t bSAFlag;
  int16_t nSAValue5;
} _TDSAScan;

// TD mode 5: CW scan (SetTDCWScanMode).
typedef struct _TDCWScan {
  uint32_t nCWValue1;
  uint16_t nCWValue2;
} _TDCWScan;

// TD mode 6: DPCH scan, also used for the HSDPA, HSUPA and MBMS scans (SetDpchScanMode and twins).
typedef struct _TDChannelScan {
  uint32_t nChannelValue1;
  uint32_t nChannelValue2;
  uint16_t nChannelValue3;
  uint8_t nChannelValue4;
  uint8_t nChannelValue5;
  uint8_t nChannelValue6;
  unsigned char byBlock1[16];
  unsigned char byBlock2[16];
} _TDChannelScan;

// TD mode 8 (no operation sends it; an application may).
typedef struct _TDMode8 {
  uint32_t nValue1;
  uint8_t nValue2;
  uint16_t nValue3;
} _TDMode8;

// Code 0xF001 command and code 0xF00B reply: the TD header, then the fields of the mode.
typedef struct _TDScanModeInfo {
  uint8_t nMode;
  uint8_t nFingerTest;
  uint8_t nSelector;
  uint16_t nSelectorValue;
  union {
    _TDList list;              // modes 1 and 4
    _TDCellSearch cellSearch;  // mode 2
    _TDSAScan sa;              // mode 3
    _TDCWScan cw;              // mode 5
    _TDChannelScan channel;    // mode 6
    _TDMode8 mode8;            // mode 8
  } fields;
} _TDScanModeInfo;

// Code 4 (StartScanData): local time at the start.
typedef struct _ScanStartTime {
  uint16_t nYear;  // year minus 1900
  uint8_t nMonth;  // 0..11
  uint8_t nDay;    // 1..31
  uint8_t nHour;   // 0..23
  uint8_t nMinute;
  uint8_t nSecond;
} _ScanStartTime;

// Code 22 (no operation sends it).
typedef struct _Code22Info {
  uint32_t nValue;
  uint8_t nByte;
  unsigned char byBlock1[10];
  unsigned char byBlock2[10];
} _Code22Info;

// Codes 43 (LoginScaner) and 46 (ChangePassword): two 16-byte text fields.
typedef struct _LoginInfo {
  char szText1[16];
  char szText2[16];
} _LoginInfo;

// Code 81 (SetScanerIPAddress): the first number of the dotted text is the most significant byte.
typedef struct _IpAddressInfo {
  uint32_t nAddress;
} _IpAddressInfo;

// Code 84 (SetScanerMACAddress): the first byte of the address first.
typedef struct _MacAddressInfo {
  unsigned char byAddress[6];
} _MacAddressInfo;

// Code 87 (no operation sends it).
typedef struct _SignedValueInfo {
  int16_t nValue;
} _SignedValueInfo;

// Code 97 (no operation sends it).
typedef struct _TwoValueInfo {
  uint16_t nValue1;
  int16_t nValue2;
} _TwoValueInfo;

// Code 0xF040 (SetGpsInfoFormat).
typedef struct _GpsFormatInfo {
  uint16_t nValue1;
  uint16_t nValue2;
} _GpsFormatInfo;

// ---------------------------------------------------------------------------------------------
// Reply and status bodies
// ---------------------------------------------------------------------------------------------

// Replies 3, 6, 9, 12, 24, 89, 99, 0xF003, 0xF006, 0xF009, 0xF00C, 0xF02B, 0xF032, 0xF042 and
// report 37: one 16-bit value.
typedef struct _ReplyValue {
  uint16_t nReplyValue;
} _ReplyValue;

// Replies 5 and 21 (21 answers GetScanerVersion under WCDMA).
typedef struct _TwoBlockReply {
  unsigned char byBlock1[16];
  unsigned char byBlock2[16];
  uint32_t nValue;
  uint8_t nTailByte;
} _TwoBlockReply;

// Replies 23 and 25.
typedef struct _OneValueReply {
  uint32_t nValue;
} _OneValueReply;

// Reply 44, the answer to LoginScaner: 11, 12, 21 or 22 name the scanner type and family.
typedef struct _FamilyReply {
  uint32_t nFamilyValue;
} _FamilyReply;

// Reply 51.
typedef struct _ThreeValueReply {
  uint32_t nValue1;
  uint32_t nValue2;
  uint16_t nValue3;
} _ThreeValueReply;

// Reply 0xF015 (answers GetScanerVersion under TD-SCDMA).
typedef struct _TDTwoBlockReply {
  unsigned char byBlock1[8];
  unsigned char byBlock2[8];
  uint32_t nValue;
  uint8_t nTailByte;
} _TDTwoBlockReply;

// Reply 0xF02A: the measurement header's first 128 bytes.
typedef struct _GpsTextReply {
  uint8_t nHeaderByte;
  char szGpsText[119];
  uint32_t nHeaderValue1;
  uint32_t nHeaderValue2;
} _GpsTextReply;

// Reply 0xF031, the data answer to QueryBattery.
typedef struct _BatteryReply {
  uint16_t nBatteryValue1;
  uint8_t nBatteryValue2;
} _BatteryReply;

// Report 0xF028 (the record's nLength is set to 8).
typedef struct _ShortStatusReport {
  uint32_t nValue1;
  uint16_t nValue2;
} _ShortStatusReport;

// Code 0xFFEE: the library's own link status notice. nStatusByte1 holds 1 (link lost),
// 2 (link restored) or 3 (reconnection failed).
typedef struct _LinkStatusBody {
  uint8_t nStatusByte0;
  uint8_t nStatusByte1;
} _LinkStatusBody;

// ---------------------------------------------------------------------------------------------
// Measurement report bodies (transaction id 0xFFFF). Counts hold the number of records actually
// decoded; the record's nLength is rewritten from them where the report says so.
// ---------------------------------------------------------------------------------------------

enum {
  SCANLINK_VALUE_SLOTS = 50,        // value lists 36 and 0xF027
  SCANLINK_SHORT_VALUE_SLOTS = 20,  // short value list 38
  SCANLINK_CELL_ENTRY_SLOTS = 6,    // entries per cell record
  SCANLINK_PROFILE_SLOTS = 16,      // profile records of 0xF100 and 0xF102
  SCANLINK_PROFILE_POINTS = 144     // values per profile
};

// Report 36.
typedef struct _ValueListReport {
  uint8_t nHeaderByte;
  char szGpsText[119];
  uint32_t nHeaderValue1;
  uint32_t nHeaderValue2;
  uint32_t nHeaderValue3;
  uint16_t nCount;  // 0 when the frame's count exceeded the 50 slots
  uint16_t aValues[SCANLINK_VALUE_SLOTS];
} _ValueListReport;

// Report 0xF027: as 36 without header value 3.
typedef struct _TDValueListReport {
  uint8_t nHeaderByte;
  char szGpsText[119];
  uint32_t nHeaderValue1;
  uint32_t nHeaderValue2;
  uint16_t nCount;
  uint16_t aValues[SCANLINK_VALUE_SLOTS];
} _TDValueListReport;

// Report 38 (no measurement header).
typedef struct _ShortValueListReport {
  uint16_t nCount;
  uint32_t nReportValue;
  uint16_t aValues[SCANLINK_SHORT_VALUE_SLOTS];
  uint8_t nTailByte;
} _ShortValueListReport;

// One record of a cell-record report.
typedef struct _CellRecord {
  uint32_t nRecordValue1;
  uint16_t nRecordValue2;
  uint16_t nRecordValue3;
  uint16_t nRecordValue4;
  uint16_t nRecordValue5;
  uint16_t nRecordValue6;
  uint8_t nEntryCount;  // entries stored, at most 6
  _ListEntry aEntries[SCANLINK_CELL_ENTRY_SLOTS];
} _CellRecord;

// One finger of a TD cell record (present when FingerTestFlag is 1).
typedef struct _TDFinger {
  uint32_t nValue1;
  uint32_t nValue2;
  uint32_t nValue3;
  uint32_t nValue4;
} _TDFinger;

// One record of a TD cell report.
typedef struct _TDCellRecord {
  uint32_t nCellKey1;
  uint16_t nCellKey2;
  uint16_t aCellValues[21];
  uint16_t nMeasuredDelay;  // quarter chips; signed 16-bit in the GPS check
  uint32_t nFingerValue;
  _TDFinger aFingers[4];
} _TDCellRecord;

// One record of a TD profile report.
typedef struct _TDProfileRecord {
  uint8_t nProfileByte;
  uint32_t nProfileValue1;
  uint32_t nProfileValue2;
  uint32_t nProfileValue3;
  uint16_t nProfileValue4;
  uint32_t nProfileValue5;
  uint16_t aFirstProfile[SCANLINK_PROFILE_POINTS];
  uint16_t aSecondProfile[SCANLINK_PROFILE_POINTS];
} _TDProfileRecord;

// One record of a TD short profile report.
typedef struct _TDShortProfileRecord {
  uint8_t nProfileByte;
  uint16_t nProfileValue1;
  uint32_t nProfileValue2;
  uint16_t aFirstProfile[SCANLINK_PROFILE_POINTS];
  uint16_t aSecondProfile[SCANLINK_PROFILE_POINTS];
} _TDShortProfileRecord;

// Report 0xF100, the largest body: it fixes the size of the body area.
typedef struct _TDProfileReport {
  uint8_t nHeaderByte;
  char szGpsText[119];
  uint32_t nHeaderValue1;
  uint32_t nHeaderValue2;
  uint32_t nHeaderValue3;
  uint32_t nHeaderValue4;
  uint32_t nHeaderValue5;
  uint8_t nReportByte1;
  uint8_t nReportByte2;
  uint8_t nCount;
  _TDProfileRecord aRecords[SCANLINK_PROFILE_SLOTS];
} _TDProfileReport;

// Report 0xF102.
typedef struct _TDShortProfileReport {
  uint8_t nHeaderByte;
  char szGpsText[119];
  uint32_t nHeaderValue1;
  uint32_t nHeaderValue2;
  uint32_t nHeaderValue3;
  uint32_t nHeaderValue4;
  uint8_t nCount;
  _TDShortProfileRecord aRecords[SCANLINK_PROFILE_SLOTS];
} _TDShortProfileReport;

// The size of the body area, and from it the slots of the lists that fill "what fits": the body
// area less the fields in front of the list (136, 132 and 12 bytes; checked below).
#define SCANLINK_BODY_SIZE (sizeof(_TDProfileReport))
#define SCANLINK_CELL_RECORD_SLOTS ((SCANLINK_BODY_SIZE - 136) / sizeof(_CellRecord))
#define SCANLINK_TD_CELL_SLOTS ((SCANLINK_BODY_SIZE - 132) / sizeof(_TDCellRecord))
#define SCANLINK_SWEEP_SLOTS ((SCANLINK_BODY_SIZE - 12) / sizeof(uint16_t))

// Reports 40, 41, 257 and 259.
typedef struct _CellRecordReport {
  uint8_t nHeaderByte;
  char szGpsText[119];
  uint32_t nHeaderValue1;
  uint32_t nHeaderValue2;
  uint8_t nSkipped;  // payload byte 128 is not read; stays 0
  uint8_t nCount;    // records stored
  uint32_t nReportValue;
  _CellRecord aRecords[SCANLINK_CELL_RECORD_SLOTS];
} _CellRecordReport;

// Report 0xF025. The GPS check of SetBSList marks bit (i mod 32) of the masks for record i.
typedef struct _TDCellReport {
  uint8_t nHeaderByte;
  char szGpsText[119];
  uint32_t nMismatchMask;  // found cells whose delay disagrees with the GPS distance
  uint32_t nFoundMask;     // cells found in the base-station list
  uint8_t nReportByte;
  uint8_t nCount;  // records stored
  _TDCellRecord aRecords[SCANLINK_TD_CELL_SLOTS];
} _TDCellReport;

// Reports 73 and 0xF026. Points = (end - start) / step + 1, as far as the payload holds them.
typedef struct _SweepReport {
  uint32_t nStart;
  uint32_t nEnd;
  uint32_t nStep;
  uint16_t aPoints[SCANLINK_SWEEP_SLOTS];
} _SweepReport;

// The offsets the slot counts above assume, and that each list fills the body area but for less
// than one slot.
static_assert(offsetof(_CellRecordReport, aRecords) == 136, "cell records start at 136");
static_assert(offsetof(_TDCellReport, aRecords) == 132, "TD cell records start at 132");
static_assert(offsetof(_SweepReport, aPoints) == 12, "sweep points start at 12");
static_assert(sizeof(_CellRecordReport) <= SCANLINK_BODY_SIZE &&
                  SCANLINK_BODY_SIZE - sizeof(_CellRecordReport) < sizeof(_CellRecord),
              "cell records fill the body area");
static_assert(sizeof(_TDCellReport) <= SCANLINK_BODY_SIZE &&
                  SCANLINK_BODY_SIZE - sizeof(_TDCellReport) < sizeof(_TDCellRecord),
              "TD cell records fill the body area");
static_assert(sizeof(_SweepReport) <= SCANLINK_BODY_SIZE &&
                  SCANLINK_BODY_SIZE - sizeof(_SweepReport) < sizeof(uint16_t),
              "sweep points fill the body area");

// The body area of a CCmdManage: one member per layout, chosen by the code (and table).
typedef union _CmdBody {
  // commands
  _WScanModeInfo wScanMode;      // code 1; reply 11
  _TDScanModeInfo tdScanMode;    // code 0xF001; reply 0xF00B
  _ScanStartTime startTime;      // code 4
  _Code22Info code22;            // code 22
  _LoginInfo login;              // codes 43, 46
  _IpAddressInfo ipAddress;      // code 81
  _MacAddressInfo macAddress;    // code 84
  _SignedValueInfo signedValue;  // code 87
  _TwoValueInfo twoValues;       // code 97
  _GpsFormatInfo gpsFormat;      // code 0xF040
  // replies and status
  _ReplyValue reply;               // value replies, report 37
  _TwoBlockReply twoBlock;         // replies 5, 21
  _OneValueReply oneValue;         // replies 23, 25
  _FamilyReply family;             // reply 44
  _ThreeValueReply threeValues;    // reply 51
  _TDTwoBlockReply tdTwoBlock;     // reply 0xF015
  _GpsTextReply gpsText;           // reply 0xF02A
  _BatteryReply battery;           // reply 0xF031
  _ShortStatusReport shortStatus;  // report 0xF028
  _LinkStatusBody linkStatus;      // code 0xFFEE
  // measurement reports
  _ValueListReport valueList;            // 36
  _TDValueListReport tdValueList;        // 0xF027
  _ShortValueListReport shortValueList;  // 38
  _CellRecordReport cellRecords;         // 40, 41, 257, 259
  _SweepReport sweep;                    // 73, 0xF026
  _TDCellReport tdCells;                 // 0xF025
  _TDProfileReport tdProfile;            // 0xF100
  _TDShortProfileReport tdShortProfile;  // 0xF102
  unsigned char byRaw[SCANLINK_BODY_SIZE];
} _CmdBody;

#ifdef __cplusplus
class CMyPcCommMessage;

// The structured record: header values, then the body of the code. Constructed all-zero.
class SCANLINK_API CCmdManage {
 public:
  CCmdManage();
  virtual ~CCmdManage();

  uint16_t nCode;
  uint16_t nTransID;  // command: the command sequence number; decoded: the frame's transaction id
  uint16_t nLength;   // decoded: the payload length (rewritten by several reports)
  _CmdBody body;

  // Encodes this command into frame[0..capacity): an 8-byte header image, then the payload.
  // Returns the payload length + 8, or 0 when the payload does not fit (a list count too large).
  int EncodeCommand(unsigned char* frame, size_t capacity) const;
  // Fills this freshly constructed record from a received message.
  void DecodeMessage(const CMyPcCommMessage& message);
};

// The raw record: header values and up to 2048 payload bytes (the rest zero).
class SCANLINK_API CMyPcCommMessage {
 public:
  enum { kMaxPayload = 2048 };

  // Zeroes the payload and copies length bytes from payload, never more than 2048. A longer
  // length is kept as given, and the send path refuses such a message.
  CMyPcCommMessage(uint16_t code, uint16_t length, uint16_t transID, const void* payload);
  virtual ~CMyPcCommMessage();

  uint16_t nCode;
  uint16_t nLength;
  uint16_t nTransID;
  unsigned char payload[kMaxPayload];
};

#endif  // __cplusplus

#endif
