// scanlink: client library for a portable WCDMA / TD-SCDMA scanner on a TCP/IP link.
//
// Usage: create one CMyPcCommSocketClient, write the scanner's address into gHostAddr and its data
// port into nTcpPort, register your modules (classes derived from CMyPcCommInterface), call
// ClientInitPcComm(), then send commands (LoginScaner, SetWCDMAScanMode, StartScanData, ...).
// Each command returns a transaction id at once; its reply, every measurement report and the
// link notices arrive later on the library's own threads through the modules' callbacks.
//
// This header compiles as C++17.
#ifndef SCANLINK_SCANLINK_H
#define SCANLINK_SCANLINK_H

#include <stddef.h>
#include <stdint.h>

#include "scanlink/export.h"
#include "scanlink/records.h"

#define SCANLINK_VERSION_MAJOR 1
#define SCANLINK_VERSION_MINOR 1
#define SCANLINK_VERSION_PATCH 0

// Message codes an application meets most often.
enum {
  SCANLINK_CODE_LINK_STATUS = 0xFFEE,  // the library's own link status notice
  SCANLINK_TRANS_BROADCAST = 0xFFFF    // transaction id of frames meant for every module
};

// Link status values in body.linkStatus.nStatusByte1 of a code-0xFFEE record.
enum { SCANLINK_LINK_LOST = 1, SCANLINK_LINK_RESTORED = 2, SCANLINK_LINK_RETRY_FAILED = 3 };

// A module of the application. The library stores a pointer to it while it is registered; it
// must be unregistered (and cleared as alarm module) before it is destroyed. The callbacks run on
// the library's threads with the library lock held; they may call the client's operations.
class SCANLINK_API CMyPcCommInterface {
 public:
  CMyPcCommInterface();
  CMyPcCommInterface(const CMyPcCommInterface& other);
  CMyPcCommInterface& operator=(const CMyPcCommInterface& other);
  virtual ~CMyPcCommInterface();

  // false before each automatic reconnection attempt, true after one succeeds.
  virtual void ConnectMsg(bool connected);
  // A decoded reply to this module's request, a report for every module, or a link notice.
  // The record lives for the duration of the call.
  virtual void ProcPcCommMsg(CCmdManage& message);
  // A chunk of raw bytes from the alarm connection (alarm module only); valid during the call.
  virtual void ProcPcCommMsgAlarm(char* data, int length);

  unsigned char bActive;  // 1 once registered
};

// One base station of the list given to SetBSList.
struct _BSCellInfo {
  char szName[64];     // NUL-terminated, stored only
  uint32_t nCellKey1;  // compared with a TD cell record's cell key 1
  uint32_t nCellKey2;  // compared with a TD cell record's 16-bit cell key 2
  double dLongitude;   // degrees east
  double dLatitude;    // degrees north
};

// The client. One exists at a time; its constructor creates the library's engine and its
// destructor destroys it (never destroy it from inside a module callback). Operations return a
// transaction id (1..1023) or 0 when nothing could be sent; registration returns bool.
class SCANLINK_API CMyPcCommSocketClient {
 public:
  CMyPcCommSocketClient();
  CMyPcCommSocketClient(const CMyPcCommSocketClient& other);
  CMyPcCommSocketClient& operator=(const CMyPcCommSocketClient& other);
  virtual ~CMyPcCommSocketClient();

  // 0 link up, 1 probe or set-up failure, 2 data connection failed, 6 link down after a failed
  // automatic reconnection (write 0 into gLinkDownFlag to allow a new bring-up).
  int ClientInitPcComm();
  // Stops the worker threads and closes the link; always true. Nothing reopens it afterwards.
  bool ExitConnection();
  // mode 1 registers (or moves to the tail of the list), mode 0 unregisters.
  bool ClientRegisterModule(CMyPcCommInterface* module, unsigned char mode);
  // mode 1 makes module the alarm module, mode 0 clears it, other modes change nothing.
  bool ClientRegisterModuleAlarm(CMyPcCommInterface* module, unsigned char mode);
  int ClientSendMessage(CMyPcCommMessage& message);
  int SendMessageW(CCmdManage* command);
  // One send on the alarm connection: bytes taken, or -1 on error.
  int ClientSendAlarmMessage(char* data, int length);
  void ClientTrace(char* text);
  bool ClientVerifyProc();

  // GPS consistency check of TD cell reports.
  int SetBSList(_BSCellInfo* list, int count);
  int SetGpsMismatchLimit(int limit);

  // Scanner commands.
  int LoginScaner(char* text1, char* text2);
  int SetWFreqListScanMode(unsigned int listValue1, unsigned int listValue2,
                           unsigned int listValue3, unsigned int count, unsigned int* const freqs);
  int SetWCellListScanMode(unsigned int listValue1, unsigned int listValue2,
                           unsigned int listValue3, unsigned int count, unsigned int* const firsts,
                           unsigned int* const seconds);
  int SetWCDMAScanMode(unsigned int mode, unsigned int value1, unsigned int value2,
                       unsigned int value3, unsigned int value4, unsigned int value5,
                       unsigned int value6, unsigned int value7, unsigned int value8, bool flag,
                       short int value11, unsigned int value9, unsigned int value10,
                       unsigned int value12, unsigned int value13);
  int SetTDSAScanMode(unsigned int sa1, unsigned int sa2, unsigned int selectorValue,
                      unsigned int sa3, bool saFlag, short int sa5, unsigned int sa4,
                      unsigned int selector);
  int SetTDCellListScanMode(unsigned int selectorValue, unsigned int* const firsts,
                            unsigned int* const seconds, unsigned int count, unsigned int selector,
                            bool fingerTest, unsigned int trailing);
  int SetTDFreqListScanMode(unsigned int selectorValue, unsigned int* const freqs,
                            unsigned int count, unsigned int selector, bool fingerTest,
                            unsigned int trailing);
  int SetTDCellSearchScanMode(unsigned int search3, unsigned int search4,
                              unsigned int selectorValue, unsigned int search2,
                              unsigned int search1, unsigned int selector, bool fingerTest);
  int SetTDCWScanMode(unsigned int cw1, unsigned int selectorValue, unsigned int cw2,
                      unsigned int selector);
  int SetDpchScanMode(unsigned int selectorValue, unsigned int selector, unsigned int channel1,
                      unsigned int channel2, unsigned int channel3, unsigned int channel4,
                      unsigned int channel5, unsigned int channel6, unsigned char* const block1,
                      unsigned char* const block2);
  int SetHsdpaScanMode(unsigned int selectorValue, unsigned int selector, unsigned int channel1,
                       unsigned int channel2, unsigned int channel3, unsigned int channel4,
                       unsigned int channel5, unsigned int channel6, unsigned char* const block1,
                       unsigned char* const block2);
  int SetHsupaScanMode(unsigned int selectorValue, unsigned int selector, unsigned int channel1,
                       unsigned int channel2, unsigned int channel3, unsigned int channel4,
                       unsigned int channel5, unsigned int channel6, unsigned char* const block1,
                       unsigned char* const block2);
  // channel value 1 and 2 both carry channel12.
  int SetMbmsScanMode(unsigned int selectorValue, unsigned int selector, unsigned int channel12,
                      unsigned int channel3, unsigned int channel4, unsigned int channel5,
                      unsigned int channel6, unsigned char* const block1,
                      unsigned char* const block2);
  int GetScanMode(void);
  int GetScanerVersion(void);
  int ResetScaner(void);
  int StopScanData(void);
  int StartScanData(void);
  // The reverse of LoginScaner: the second argument goes into the first text field.
  int ChangePassword(char* text2, char* text1);
  // "00-1a-2B-3c-4D-5e": six groups of two hex digits, any separators. Refused (0) otherwise.
  int SetScanerMACAddress(char* text);
  int SetScanerIPAddress(char* text);
  int QueryBattery(void);
  int SetGpsInfoFormat(int value1, int value2);

  unsigned char nModuleID;  // id of this client's latest registration (255 after unregistering)
};

// Exported variables: the application writes gHostAddr and nTcpPort before ClientInitPcComm and
// may read the rest at any time.
SCANLINK_API extern char gHostAddr[32];   // scanner's IPv4 address, dotted decimal
SCANLINK_API extern int nTcpPort;         // data port (low 16 bits used)
SCANLINK_API extern int nTcpPortAlarm;    // alarm port, always 8050
SCANLINK_API extern int gFirstConnFlag;   // 1 once a bring-up has succeeded
SCANLINK_API extern int gInitFinishFlag;  // 1 while the link is up
SCANLINK_API extern int gLinkDownFlag;    // 1 after a failed automatic reconnection
SCANLINK_API extern int nScannerType;     // 1 or 2 from the login reply, 0 unknown
SCANLINK_API extern int TDorWCDMAConfig;  // 1 WCDMA, 2 TD-SCDMA, 0 unknown
SCANLINK_API extern int FingerTestFlag;   // TD cell reports carry finger fields while 1

// Diagnostics: the library's trace texts go to this sink (none by default). It is called on the
// library's threads, possibly with the library lock held: keep it short and do not block. When
// ScanlinkSetTraceSink returns, the sink it replaced has finished every call and is never called
// again (its context may be released): calls under way on other threads are waited for. Texts
// of a session of the C interface without a trace of its own (scanlink_set_session_trace) come
// prefixed with "session N (address:port): ".
typedef void (*ScanlinkTraceSink)(const char* text, void* context);
SCANLINK_API void ScanlinkSetTraceSink(ScanlinkTraceSink sink, void* context);

// Every byte the first session (these classes) exchanges with the scanner, as it goes; sessions
// of the C interface have taps of their own (scanlink_set_tap). Direction 0 received, 1 sent;
// channel 0 data, 1 alarm. Called on the library's threads (received: the listening thread, per
// read, before framing; sent: the sending thread, for each frame as it hands it to the data
// connection, so a request is always seen before its reply; alarm bytes once they went out),
// one call at a time.
// Never called again once a call replacing it has returned. The tap must not call the library.
typedef void (*ScanlinkWireTap)(int direction, int channel, const unsigned char* bytes, int length,
                                void* context);
SCANLINK_API void ScanlinkSetWireTap(ScanlinkWireTap tap, void* context);
// The same, and with SCANLINK_TAP_CONNECTIONS in flags the tap is also told where connections
// begin and end: direction 2 says a data connection has just been made (before any byte of it is
// sent or received), direction 3 that it has ended (no byte of it follows); both with bytes NULL
// and length 0. Bytes of different connections never belong to one frame, so a recorder starts
// cutting afresh at each. ScanlinkSetWireTap never calls with these directions.
enum { SCANLINK_TAP_CONNECTIONS = 1 };
SCANLINK_API void ScanlinkSetWireTapEx(ScanlinkWireTap tap, void* context, int flags);

// A scanner that answers nothing (power lost, out of radio range: every packet lost, nothing
// closed) makes the link count as lost once it has been silent for this long, whether the link
// was idle or a request was waiting to be acknowledged; then the usual status 1 and
// ConnectMsg(false). The default, 10000 ms, reports a loss within 20 s in every case. A scanner
// that answers, however idle, is never reported lost. Applies to connections made afterwards;
// 1000 to 600000 ms. Returns 1 when taken, 0 when refused (the bound stays as it was).
SCANLINK_API int ScanlinkSetLinkTimeout(int milliseconds);

// Counters since the library was loaded; readable at any time from any thread.
struct ScanlinkCounters {
  uint64_t framesReceived;         // whole frames cut from the data stream
  uint64_t bytesReceived;          // bytes read from the data connection
  uint64_t framesDelivered;        // records handed to at least one module
  uint64_t droppedSync;            // frames rejected for a wrong sync byte
  uint64_t droppedLength;          // frames rejected for an inconsistent length
  uint64_t droppedNoModule;        // frames for which no module was registered or matched
  uint64_t droppedTransaction;     // replies to unknown transactions or from another module
  uint64_t bytesSkipped;           // stream bytes discarded while looking for frames
  uint64_t framesOversized;        // headers announcing over 2048 payload bytes, skipped
  uint64_t sends;                  // frames written
  uint64_t sendsFailed;            // sends refused or failed
  uint64_t linkLosses;             // link failures seen by supervision
  uint64_t reconnections;          // successful automatic reconnections
  uint64_t transactionsReclaimed;  // ids of requests lost with a broken link
  uint64_t queueHighWater;         // most frames waiting for dispatch at once
  // Since 1.1, filled by ScanlinkReadCountersSized only:
  uint64_t droppedReserved;        // frames with the library's own link-status code, dropped
};
// Fills the fields up to queueHighWater. ScanlinkReadCountersSized fills size bytes
// (sizeof(ScanlinkCounters) as the caller compiled it), so a program built against an older
// header never has bytes written past its struct.
SCANLINK_API void ScanlinkReadCounters(ScanlinkCounters* counters);
SCANLINK_API void ScanlinkReadCountersSized(ScanlinkCounters* counters, size_t size);

#endif
