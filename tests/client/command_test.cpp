// What each scanner command puts on the wire, seen by a local peer: code, payload bytes,
// transaction id and module id. Arguments are chosen distinct so that a swapped field shows.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/sequence.h"
#include "integration/connected_client.h"
#include "integration/loopback_peer.h"
#include "integration/test_support.h"
#include "scanlink/scanlink.h"
#include "transport/library_state.h"

using namespace std::chrono_literals;
using scanlink::client::NextSequence;
using scanlink::client::SetSequence;
using scanlink::test::Bytes;
using scanlink::test::Frame;
using scanlink::test::LoopbackPeer;
using scanlink::test::RecordingModule;
using scanlink::transport::LoadGlobal;
using scanlink::transport::StoreGlobal;

namespace {

Bytes Tail(const Bytes& b, size_t n) { return b.size() < n ? b : Bytes(b.end() - n, b.end()); }

class Commands : public scanlink::test::ConnectedClient {
 protected:
  void TearDown() override { EndClient({&other}); }

  // The frame of a command that returned `result`. It must be the next frame on the wire, its
  // transaction id must be the next one (1, 2, 3...) and equal the result, and it must carry the
  // client's module id.
  Frame Sent(int result) {
    ++sent_;
    EXPECT_EQ(result, sent_) << "transaction ids run 1, 2, 3... and come back as the result";
    const std::vector<Frame> frames = peer.WaitFrames(static_cast<size_t>(sent_), 2s);
    if (frames.size() < static_cast<size_t>(sent_)) {
      ADD_FAILURE() << "frame " << sent_ << " never arrived";
      return Frame{0, 0, 0, {}};
    }
    const Frame& f = frames[static_cast<size_t>(sent_) - 1];
    EXPECT_EQ(f.trans, sent_);
    EXPECT_EQ(f.module, client->nModuleID);
    return f;
  }

  // A refused command returns 0 and writes nothing: the next command's frame comes right after
  // the previous one and takes the transaction id the refused one would have taken.
  void Refused(int result) {
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Sent(client->QueryBattery()).code, 0xF030) << "something was sent in between";
  }

  RecordingModule other;
  int sent_ = 0;
};

TEST_F(Commands, LoginSendsFirstArgumentFirstAndChangePasswordTheReverse) {
  char user[16];
  std::memcpy(user, "ABCDEFGHIJKLMNOP", 16);  // a full field: all 16 bytes go out
  char pass[16] = "pw";
  const Bytes userBytes = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H',
                           'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P'};
  const Bytes passBytes = {'p', 'w', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

  Frame login = Sent(client->LoginScaner(user, pass));
  EXPECT_EQ(login.code, 43);
  EXPECT_EQ(Bytes(login.payload.begin(), login.payload.begin() + 16), userBytes);
  EXPECT_EQ(Tail(login.payload, 16), passBytes);
  EXPECT_EQ(login.payload.size(), 32u);

  Frame change = Sent(client->ChangePassword(user, pass));
  EXPECT_EQ(change.code, 46);
  EXPECT_EQ(Bytes(change.payload.begin(), change.payload.begin() + 16), passBytes);
  EXPECT_EQ(Tail(change.payload, 16), userBytes);
  EXPECT_EQ(change.payload.size(), 32u);
}

TEST_F(Commands, WcdmaGeneralModeSendsValues9And10BeforeTheFlag) {
  // High bits on narrow arguments must be cut off, and -1 in the i16 is two 0xFF bytes.
  Frame f =
      Sent(client->SetWCDMAScanMode(0x103, 0x01020304, 0x05060708, 0x090A0B0C, 0x10D0E, 0x0F10,
                                    0x211, 0x12, 0x1314, true, -1, 0x315, 0x16, 0x17, 0x18191A1B));
  EXPECT_EQ(f.code, 1);
  EXPECT_EQ(f.payload, (Bytes{0x03, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A,
                              0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15,
                              0x16, 0x01, 0xFF, 0xFF, 0x17, 0x18, 0x19, 0x1A, 0x1B}));

  f = Sent(client->SetWCDMAScanMode(0, 1, 2, 3, 4, 5, 6, 7, 8, false, 0x1234, 9, 10, 11, 12));
  EXPECT_EQ(f.payload, (Bytes{0x00, 0, 0, 0, 1, 0, 0,  0,    2,    0,    0,  0, 3, 0, 4, 0,
                              5,    6, 7, 0, 8, 9, 10, 0x00, 0x12, 0x34, 11, 0, 0, 0, 12}));
}

TEST_F(Commands, WcdmaCellAndFrequencyListsSendCountEntries) {
  unsigned firsts[] = {0x01020304, 0x0A0B0C0D, 7};
  unsigned seconds[] = {0x11112, 0x2122, 0x3132};
  Frame f = Sent(client->SetWCellListScanMode(0x121, 0x2223, 0x24, 3, firsts, seconds));
  EXPECT_EQ(f.code, 1);
  EXPECT_EQ(f.payload, (Bytes{0x07, 0x21, 0x22, 0x23, 0x24, 0x03,  //
                              0x01, 0x02, 0x03, 0x04, 0x11, 0x12,  //
                              0x0A, 0x0B, 0x0C, 0x0D, 0x21, 0x22,  //
                              0x00, 0x00, 0x00, 0x07, 0x31, 0x32}));

  f = Sent(client->SetWCellListScanMode(0x21, 0x2223, 0x24, 0, firsts, seconds));
  EXPECT_EQ(f.payload, (Bytes{0x07, 0x21, 0x22, 0x23, 0x24, 0x00}));

  unsigned freqs[] = {10700, 0x01020304};
  f = Sent(client->SetWFreqListScanMode(0x31, 0x13233, 0x34, 2, freqs));
  EXPECT_EQ(f.code, 1);
  EXPECT_EQ(f.payload, (Bytes{0x08, 0x31, 0x32, 0x33, 0x34, 0x02,  //
                              0x00, 0x00, 0x29, 0xCC, 0x01, 0x02, 0x03, 0x04}));
}

// The general arguments share storage with the list fields of modes 7 and 8; none of them may
// reach the wire there. 10700 in a3 once became a count of 41, 0xFFFFFFFF a count of 255 that was
// refused after a sequence number had been taken.
TEST_F(Commands, WcdmaScanModeInAListModeSendsAnEmptyList) {
  for (unsigned a3 : {10700u, 0xFFFFFFFFu}) {
    for (unsigned mode : {7u, 8u, 0x107u}) {
      SCOPED_TRACE("mode " + std::to_string(mode) + ", a3 " + std::to_string(a3));
      SetSequence(100);
      const Frame f =
          Sent(client->SetWCDMAScanMode(mode, 0xFFFFFFFF, a3, 0xFFFFFFFF, 0xFFFF, 0xFFFF, 0xFF,
                                        0xFF, 0xFFFF, true, -1, 0xFF, 0xFF, 0xFF, 0xFFFFFFFF));
      EXPECT_EQ(f.code, 1);
      EXPECT_EQ(f.payload, (Bytes{static_cast<uint8_t>(mode), 0, 0, 0, 0, 0}));
      EXPECT_EQ(NextSequence(), 102) << "the command takes exactly one sequence number";
    }
  }
}

// Whatever refuses a command does so before it takes a sequence number.
TEST_F(Commands, RefusedCommandsTakeNoSequenceNumber) {
  std::vector<unsigned> many(256, 1);
  char text[16] = "x";
  unsigned char block[16] = {};
  std::string badMac = "00-1g-2B-3c-4D-5e";
  std::string badIp = "scanner", bigOctet = "300.1.2.3", shortIp = "1.2.3";
  const std::pair<const char*, std::function<int()>> refusals[] = {
      {"W cell list too long",
       [&] { return client->SetWCellListScanMode(1, 2, 3, 169, many.data(), many.data()); }},
      {"W freq list too long",
       [&] { return client->SetWFreqListScanMode(1, 2, 3, 253, many.data()); }},
      {"TD cell list without entries",
       [&] { return client->SetTDCellListScanMode(0, nullptr, many.data(), 1, 0, false, 0); }},
      {"TD freq list too long",
       [&] { return client->SetTDFreqListScanMode(0, many.data(), 169, 0, false, 0); }},
      {"login without text", [&] { return client->LoginScaner(text, nullptr); }},
      {"password without text", [&] { return client->ChangePassword(nullptr, text); }},
      {"DPCH without block",
       [&] { return client->SetDpchScanMode(0, 0, 1, 2, 3, 4, 5, 6, block, nullptr); }},
      {"bad MAC text", [&] { return client->SetScanerMACAddress(badMac.data()); }},
      {"no MAC text", [&] { return client->SetScanerMACAddress(nullptr); }},
      {"no IP text", [&] { return client->SetScanerIPAddress(nullptr); }},
      {"IP text that is no address", [&] { return client->SetScanerIPAddress(badIp.data()); }},
      {"IP octet above 255", [&] { return client->SetScanerIPAddress(bigOctet.data()); }},
      {"IP shorthand", [&] { return client->SetScanerIPAddress(shortIp.data()); }},
      {"unknown family",
       [&] {
         StoreGlobal(TDorWCDMAConfig, 0);
         const int result = client->StopScanData();
         StoreGlobal(TDorWCDMAConfig, 1);
         return result;
       }},
  };
  for (const auto& [name, op] : refusals) {
    SCOPED_TRACE(name);
    SetSequence(200);
    Refused(op());
    EXPECT_EQ(NextSequence(), 202) << "the refused command took a sequence number";
  }
}

TEST_F(Commands, ListsUpToTheFrameLimitAreSentOneMoreEntryIsRefused) {
  // Entry i: first value 0x010000ii, second value 0xB0ii; the last sent entry is checked.
  std::vector<unsigned> firsts(256), seconds(256);
  for (unsigned i = 0; i < 256; ++i) {
    firsts[i] = 0x01000000u | i;
    seconds[i] = 0xB000u | i;
  }
  struct Row {
    const char* name;
    std::function<int(unsigned)> send;
    unsigned most;
    size_t length;
    uint8_t countByte;
    Bytes tail;
  };
  const Row rows[] = {
      {"W cell list",
       [&](unsigned n) {
         return client->SetWCellListScanMode(1, 2, 3, n, firsts.data(), seconds.data());
       },
       168,
       1014,
       0xA8,
       {0x01, 0x00, 0x00, 0xA7, 0xB0, 0xA7}},
      {"W freq list",
       [&](unsigned n) { return client->SetWFreqListScanMode(1, 2, 3, n, firsts.data()); },
       252,
       1014,
       0xFC,
       {0x01, 0x00, 0x00, 0xFB}},
      {"TD cell list",
       [&](unsigned n) {
         return client->SetTDCellListScanMode(0, firsts.data(), seconds.data(), n, 0, false, 0x5C);
       },
       168,
       1015,
       0xA8,
       {0x01, 0x00, 0x00, 0xA7, 0xB0, 0xA7, 0x5C}},
      {"TD freq list",
       [&](unsigned n) {
         return client->SetTDFreqListScanMode(0, firsts.data(), n, 0, false, 0x5C);
       },
       168,
       1015,
       0xA8,
       {0x01, 0x00, 0x00, 0xA7, 0xFF, 0xFF, 0x5C}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Frame f = Sent(row.send(row.most));
    ASSERT_EQ(f.payload.size(), row.length);
    EXPECT_EQ(f.payload[5], row.countByte);
    EXPECT_EQ(Tail(f.payload, row.tail.size()), row.tail);
    Refused(row.send(row.most + 1));
  }
}

TEST_F(Commands, TdCellListStoresTheSelectorValueOnlyForSelector0Or1) {
  unsigned firsts[] = {10000, 0x01020304};
  unsigned seconds[] = {0x155, 0xFFFF};
  struct Row {
    unsigned selector;
    bool finger;
    uint8_t selectorByte, valueHigh, valueLow;
  };
  // Selector 256 reaches the wire as byte 0, yet the test on the whole argument refuses the value.
  const Row rows[] = {{1, true, 0x01, 0x23, 0x45},
                      {0, false, 0x00, 0x23, 0x45},
                      {2, true, 0x02, 0x00, 0x00},
                      {256, false, 0x00, 0x00, 0x00}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.selector);
    const Frame f = Sent(client->SetTDCellListScanMode(0x12345, firsts, seconds, 2, row.selector,
                                                       row.finger, 0x1A9));
    EXPECT_EQ(f.code, 0xF001);
    const uint8_t finger = row.finger ? 1 : 0;
    EXPECT_EQ(f.payload, (Bytes{0x01, finger, row.selectorByte, row.valueHigh, row.valueLow, 0x02,
                                0x00, 0x00, 0x27, 0x10, 0x01, 0x55,  //
                                0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF,  //
                                0xA9}));
    EXPECT_EQ(LoadGlobal(FingerTestFlag), finger);
  }
}

TEST_F(Commands, TdFrequencyListSendsEachFrequencyWithSecondValueFFFF) {
  unsigned freqs[] = {950, 0x01020304, 10055};
  Frame f = Sent(client->SetTDFreqListScanMode(0x0010, freqs, 3, 0, true, 3));
  EXPECT_EQ(f.code, 0xF001);
  EXPECT_EQ(f.payload, (Bytes{0x04, 0x01, 0x00, 0x00, 0x10, 0x03,  //
                              0x00, 0x00, 0x03, 0xB6, 0xFF, 0xFF,  //
                              0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF,  //
                              0x00, 0x00, 0x27, 0x47, 0xFF, 0xFF,  //
                              0x03}));
  EXPECT_EQ(LoadGlobal(FingerTestFlag), 1);

  f = Sent(client->SetTDFreqListScanMode(0x0010, freqs, 1, 1, false, 0x103));
  EXPECT_EQ(f.payload,
            (Bytes{0x04, 0x00, 0x01, 0x00, 0x10, 0x01, 0x00, 0x00, 0x03, 0xB6, 0xFF, 0xFF, 0x03}));
  EXPECT_EQ(LoadGlobal(FingerTestFlag), 0);
}

TEST_F(Commands, TdCellSearchTakesItsSearchValuesFromA5A4A1A2) {
  Frame f = Sent(
      client->SetTDCellSearchScanMode(0x01020304, 0x05060708, 0x0BB8, 0x1090A, 0x10B, 1, true));
  EXPECT_EQ(f.code, 0xF001);
  EXPECT_EQ(f.payload, (Bytes{0x02, 0x01, 0x01, 0x0B, 0xB8, 0x0B, 0x09, 0x0A, 0x01, 0x02, 0x03,
                              0x04, 0x05, 0x06, 0x07, 0x08}));
  EXPECT_EQ(LoadGlobal(FingerTestFlag), 1);

  f = Sent(client->SetTDCellSearchScanMode(1, 2, 0x0BB8, 3, 4, 5, false));
  EXPECT_EQ(f.payload, (Bytes{0x02, 0x00, 0x05, 0x00, 0x00, 4, 0, 3, 0, 0, 0, 1, 0, 0, 0, 2}));
  EXPECT_EQ(LoadGlobal(FingerTestFlag), 0);
}

TEST_F(Commands, ModesWithoutFingerSendByte0AndLeaveTheFlagAlone) {
  // A cell list with the finger test on sets the flag; CW and SA scans must not touch it.
  Frame f = Sent(client->SetTDCellListScanMode(7, nullptr, nullptr, 0, 0, true, 0x42));
  EXPECT_EQ(f.payload, (Bytes{0x01, 0x01, 0x00, 0x00, 0x07, 0x00, 0x42}));
  ASSERT_EQ(LoadGlobal(FingerTestFlag), 1);

  f = Sent(client->SetTDCWScanMode(10, 300, 7, 1));
  EXPECT_EQ(f.code, 0xF001);
  EXPECT_EQ(f.payload, (Bytes{0x05, 0x00, 0x01, 0x01, 0x2C, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x07}));
  f = Sent(client->SetTDCWScanMode(10, 300, 7, 2));
  EXPECT_EQ(f.payload, (Bytes{0x05, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x07}));
  EXPECT_EQ(LoadGlobal(FingerTestFlag), 1);

  f = Sent(client->SetTDSAScanMode(0x01020304, 0x05060708, 0x1234, 0x090A0B0C, true, -2, 0x10D, 0));
  EXPECT_EQ(f.code, 0xF001);
  EXPECT_EQ(f.payload, (Bytes{0x03, 0x00, 0x00, 0x12, 0x34, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06,
                              0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x01, 0xFF, 0xFE}));
  EXPECT_EQ(LoadGlobal(FingerTestFlag), 1);
}

TEST_F(Commands, ChannelScansShareTheDpchLayoutAndMbmsRepeatsItsThirdArgument) {
  unsigned char p[16], q[16];
  for (int i = 0; i < 16; ++i) {
    p[i] = static_cast<unsigned char>(0xA0 + i);
    q[i] = static_cast<unsigned char>(0xB0 + i);
  }
  const Bytes blocks = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA,
                        0xAB, 0xAC, 0xAD, 0xAE, 0xAF, 0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5,
                        0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xBB, 0xBC, 0xBD, 0xBE, 0xBF};
  auto withBlocks = [&](Bytes head) {
    head.insert(head.end(), blocks.begin(), blocks.end());
    return head;
  };
  const Bytes dpch = withBlocks({0x06, 0x00, 0x00, 0x01, 0x02, 0x11, 0x12, 0x13, 0x14, 0x21, 0x22,
                                 0x23, 0x24, 0x31, 0x32, 0x41, 0x51, 0x61});
  using Op =
      int (CMyPcCommSocketClient::*)(unsigned, unsigned, unsigned, unsigned, unsigned, unsigned,
                                     unsigned, unsigned, unsigned char*, unsigned char*);
  const std::pair<const char*, Op> ops[] = {{"Dpch", &CMyPcCommSocketClient::SetDpchScanMode},
                                            {"Hsdpa", &CMyPcCommSocketClient::SetHsdpaScanMode},
                                            {"Hsupa", &CMyPcCommSocketClient::SetHsupaScanMode}};
  for (const auto& [name, op] : ops) {
    SCOPED_TRACE(name);
    const Frame f = Sent((client.get()->*op)(0x10102, 0, 0x11121314, 0x21222324, 0x13132, 0x141,
                                             0x151, 0x161, p, q));
    EXPECT_EQ(f.code, 0xF001);
    EXPECT_EQ(f.payload, dpch);
  }

  const Bytes mbms =
      withBlocks({0x06, 0x00, 0x02, 0x00, 0x00, 0, 0, 0, 3, 0, 0, 0, 3, 0, 4, 5, 6, 7});
  EXPECT_EQ(Sent(client->SetMbmsScanMode(1, 2, 3, 4, 5, 6, 7, p, q)).payload, mbms);
  EXPECT_EQ(Sent(client->SetDpchScanMode(1, 2, 3, 3, 4, 5, 6, 7, p, q)).payload, mbms);
}

TEST_F(Commands, FamilyOperationsFollowTheConfiguredFamily) {
  using Op = int (CMyPcCommSocketClient::*)();
  struct Row {
    const char* name;
    Op op;
    uint16_t wcdma, td;
  };
  const Row rows[] = {{"GetScanMode", &CMyPcCommSocketClient::GetScanMode, 10, 0xF00A},
                      {"GetScanerVersion", &CMyPcCommSocketClient::GetScanerVersion, 20, 0xF014},
                      {"ResetScaner", &CMyPcCommSocketClient::ResetScaner, 18, 0xF012},
                      {"StopScanData", &CMyPcCommSocketClient::StopScanData, 7, 0xF007},
                      {"StartScanData", &CMyPcCommSocketClient::StartScanData, 4, 0xF004}};
  for (int family : {1, 2, 0, 3}) {
    StoreGlobal(TDorWCDMAConfig, family);
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(row.name) + " in family " + std::to_string(family));
      const int result = (client.get()->*row.op)();
      if (family != 1 && family != 2) {
        Refused(result);
        continue;
      }
      const Frame f = Sent(result);
      EXPECT_EQ(f.code, family == 1 ? row.wcdma : row.td);
      // The start time is checked on its own below; the TD start command's payload is open.
      if (row.op != &CMyPcCommSocketClient::StartScanData) {
        EXPECT_TRUE(f.payload.empty());
      }
    }
  }
}

// The seven time bytes of a start command sent at t: year-1900, month 0-11, day, h, m, s.
Bytes LocalTimeBytes(std::time_t t) {
  std::tm tm{};
#if defined(_WIN32)
  localtime_s(&tm, &t);
#else
  localtime_r(&t, &tm);
#endif
  return {static_cast<uint8_t>(tm.tm_year >> 8), static_cast<uint8_t>(tm.tm_year),
          static_cast<uint8_t>(tm.tm_mon),       static_cast<uint8_t>(tm.tm_mday),
          static_cast<uint8_t>(tm.tm_hour),      static_cast<uint8_t>(tm.tm_min),
          static_cast<uint8_t>(tm.tm_sec)};
}

TEST_F(Commands, StartScanDataSendsTheLocalTime) {
#if !defined(_WIN32)
  // An offset of 5:30 from UTC makes local time differ from UTC in hour and minute. (Windows
  // takes local time from the system's zone, which a test cannot change.)
  const char* saved = std::getenv("TZ");
  const std::string savedTz = saved ? saved : "";
  setenv("TZ", "XST-5:30", 1);
  tzset();
#endif

  const std::time_t before = std::time(nullptr);
  const Frame f = Sent(client->StartScanData());
  const std::time_t after = std::time(nullptr);
  EXPECT_EQ(f.code, 4);
  bool matches = false;
  for (std::time_t t = before; t <= after; ++t) matches = matches || f.payload == LocalTimeBytes(t);
  EXPECT_TRUE(matches) << "payload is not the local time between the calls: "
                       << ::testing::PrintToString(f.payload) << " vs "
                       << ::testing::PrintToString(LocalTimeBytes(before));

#if !defined(_WIN32)
  if (saved) {
    setenv("TZ", savedTz.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
#endif
}

TEST_F(Commands, MacAddressTextIgnoresCaseAndSeparators) {
  const Bytes mac = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
  for (const char* text :
       {"00-1a-2B-3c-4D-5e", "00:1A:2B:3C:4D:5E", "00-1a-2b-3c-4d-5e", "00.1A 2b_3C+4d/5E"}) {
    SCOPED_TRACE(text);
    std::string buffer = text;
    const Frame f = Sent(client->SetScanerMACAddress(buffer.data()));
    EXPECT_EQ(f.code, 84);
    EXPECT_EQ(f.payload, mac);
    EXPECT_EQ(buffer, text) << "the caller's text must stay as it was";
  }
  for (const char* text : {"00-1g-2B-3c-4D-5e", "00-1a-2B", "00-1a-2B-3c-4D-5e-77"}) {
    SCOPED_TRACE(text);
    std::string buffer = text;
    Refused(client->SetScanerMACAddress(buffer.data()));
  }
}

TEST_F(Commands, IpAddressTextGoesOutInTextOrder) {
  struct Row {
    const char* text;
    Bytes address;
  };
  const Row rows[] = {{"192.168.0.10", {0xC0, 0xA8, 0x00, 0x0A}},
                      {"10.20.30.40", {0x0A, 0x14, 0x1E, 0x28}}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    std::string buffer = row.text;
    const Frame f = Sent(client->SetScanerIPAddress(buffer.data()));
    EXPECT_EQ(f.code, 81);
    EXPECT_EQ(f.payload, row.address);
  }
  // Each of these once went out as its first 15 characters: another address than meant.
  for (const char* text : {"192.168.100.2001", "192.168.100.100/24", "255.255.255.2550"}) {
    SCOPED_TRACE(text);
    std::string buffer = text;
    Refused(client->SetScanerIPAddress(buffer.data()));
  }
}

TEST_F(Commands, BatteryQueryIsEmptyAndGpsFormatSendsTwoShortValues) {
  Frame f = Sent(client->QueryBattery());
  EXPECT_EQ(f.code, 0xF030);
  EXPECT_TRUE(f.payload.empty());

  f = Sent(client->SetGpsInfoFormat(1, 2));
  EXPECT_EQ(f.code, 0xF040);
  EXPECT_EQ(f.payload, (Bytes{0x00, 0x01, 0x00, 0x02}));
  f = Sent(client->SetGpsInfoFormat(0x10203, -1));
  EXPECT_EQ(f.payload, (Bytes{0x02, 0x03, 0xFF, 0xFF}));
}

TEST_F(Commands, ACodeWithoutLayoutGoesOutAsAHeaderAlone) {
  CCmdManage command;
  command.nCode = 7;
  command.nTransID = 0x1234;  // the frame carries the send path's id instead
  std::memset(command.body.byRaw, 0xAA, 64);
  const Frame f = Sent(client->SendMessageW(&command));
  EXPECT_EQ(f.code, 7);
  EXPECT_TRUE(f.payload.empty());
}

TEST_F(Commands, FramesCarryTheModuleIdOfTheLatestRegistration) {
  EXPECT_EQ(client->nModuleID, 20);
  EXPECT_EQ(Sent(client->QueryBattery()).module, 20);
  ASSERT_TRUE(client->ClientRegisterModule(&other, 1));
  EXPECT_EQ(client->nModuleID, 21);
  EXPECT_EQ(Sent(client->GetScanMode()).module, 21);
  EXPECT_EQ(Sent(client->StopScanData()).module, 21);
}

}  // namespace
