// Commands as the library puts them on the wire, decoded into named fields; and the scan-mode echo.
#include <gtest/gtest.h>

#include "command_table.h"
#include "event_log.h"
#include "hex.h"

namespace scanlink::sim {
namespace {

Bytes bytes(std::string_view hex) { return from_hex(hex).value(); }

struct DecodeCase {
  const char* legend;
  std::uint16_t code;
  const char* payload;
  const char* name;
  const char* fields;  // JSON
};

const DecodeCase kCases[] = {
    {"TD frequency list, one entry", 0xF001, "04 00 00 00 10 01 00 00 03 B6 FF FF 03",
     "SetTDScanMode",
     R"({"mode":4,"fingerTest":0,"selector":0,"selectorValue":16,"count":1,
         "entries":[{"first":950,"second":65535}],"trailing":3})"},
    {"TD CW scan, selector 1", 0xF001, "05 00 01 01 2C 00 00 00 0A 00 07", "SetTDScanMode",
     R"({"mode":5,"fingerTest":0,"selector":1,"selectorValue":300,"cw1":10,"cw2":7})"},
    {"TD cell list, no entries", 0xF001, "01 01 02 00 00 00 09", "SetTDScanMode",
     R"({"mode":1,"fingerTest":1,"selector":2,"selectorValue":0,"count":0,"entries":[],"trailing":9})"},
    {"TD cell search", 0xF001, "02 01 00 00 05 07 00 08 00 00 00 09 00 00 00 0A", "SetTDScanMode",
     R"({"mode":2,"fingerTest":1,"selector":0,"selectorValue":5,"search1":7,"search2":8,"search3":9,"search4":10})"},
    {"TD SA scan, negative value", 0xF001,
     "03 00 07 00 00 00 00 00 01 00 00 00 02 00 00 00 03 04 01 FF FF", "SetTDScanMode",
     R"({"mode":3,"fingerTest":0,"selector":7,"selectorValue":0,"sa1":1,"sa2":2,"sa3":3,"sa4":4,"saFlag":1,"sa5":-1})"},
    {"start time 15 March 2009 14:05:09", 4, "00 6D 02 0F 0E 05 09", "StartScan",
     R"({"year":109,"month":2,"day":15,"hour":14,"minute":5,"second":9})"},
    {"TD start without a body", 0xF004, "", "StartTDScan", "{}"},
    {"WCDMA cell list", 1, "07 01 00 02 03 02 00 00 27 10 00 05 00 00 27 1A 00 06", "SetWScanMode",
     R"({"mode":7,"listValue1":1,"listValue2":2,"listValue3":3,"count":2,
         "entries":[{"first":10000,"second":5},{"first":10010,"second":6}]})"},
    {"WCDMA frequency list", 1, "08 00 00 00 00 01 00 00 29 CC", "SetWScanMode",
     R"({"mode":8,"listValue1":0,"listValue2":0,"listValue3":0,"count":1,"entries":[10700]})"},
    {"GPS info format", 0xF040, "00 01 00 02", "SetGpsInfoFormat", R"({"value1":1,"value2":2})"},
    {"MAC address", 84, "00 1A 2B 3C 4D 5E", "SetMACAddress", R"({"address":"001a2b3c4d5e"})"},
    {"IP address", 81, "C0 A8 00 0A", "SetIPAddress", R"({"address":3232235530})"},
    {"stop has no body", 7, "", "StopScan", "{}"},
    {"TD mode 7 goes out empty", 0xF001, "", "SetTDScanMode", "{}"},
};

TEST(CommandDecode, HandMadeFramesDecodeToTheirNamedFields) {
  for (const DecodeCase& c : kCases) {
    SCOPED_TRACE(c.legend);
    DecodedCommand d = decode_command(c.code, bytes(c.payload));
    EXPECT_EQ(d.name, c.name);
    EXPECT_EQ(nlohmann::json::parse(d.fields.dump()), nlohmann::json::parse(c.fields));
    EXPECT_TRUE(d.problems.empty()) << d.problems.front();
  }
}

TEST(CommandDecode, GeneralWcdmaModeIs31BytesInWireOrder) {
  Bytes p = bytes("00 00000001 00000002 00000003 0004 0005 06 07 0008 09 0A 01 FFFE 0C 0000000D");
  ASSERT_EQ(p.size(), 31u);
  DecodedCommand d = decode_command(1, p);
  EXPECT_TRUE(d.problems.empty());
  EXPECT_EQ(d.mode_name, "general");
  EXPECT_EQ(d.fields["value10"], 10);
  EXPECT_EQ(d.fields["flag"], 1);
  EXPECT_EQ(d.fields["value11"], -2);
  EXPECT_EQ(d.fields["value13"], 13);
}

TEST(CommandDecode, MalformedCommandsAreDecodedAsFarAsPossibleAndFlagged) {
  // Count says two entries, only one is there.
  DecodedCommand shortList = decode_command(0xF001, bytes("01 00 00 00 00 02 00 00 03 B6 00 01"));
  EXPECT_FALSE(shortList.problems.empty());
  EXPECT_EQ(shortList.fields["entries"].size(), 1u);

  DecodedCommand bodyOnStop = decode_command(7, bytes("00"));
  EXPECT_EQ(bodyOnStop.problems.size(), 1u);

  DecodedCommand longLogin = decode_command(43, Bytes(33, 0));
  EXPECT_EQ(longLogin.problems.size(), 1u);

  DecodedCommand unknown = decode_command(0x1234, {});
  EXPECT_EQ(unknown.name, "Unknown");
  EXPECT_TRUE(unknown.problems.empty());
}

// A payload of n bytes whose list holds `entries` entries of `each` bytes after a `head`.
Bytes list_payload(const char* head, std::size_t entries, std::size_t each, std::size_t tail) {
  Bytes p = bytes(head);
  p.resize(p.size() + entries * each + tail, 0);
  return p;
}

// Frames that fit their layouts but that no sender may put on the wire are flagged; the largest
// and smallest that are allowed are not.
TEST(CommandDecode, WhatTheProtocolForbidsIsFlaggedEvenWhenTheLayoutFits) {
  struct Case {
    const char* legend;
    std::uint16_t code;
    Bytes payload;
    const char* problem;  // nullptr: allowed
  };
  const Case cases[] = {
      {"WCDMA scan mode without payload", 1, {}, "empty payload"},
      {"TD header for mode 7", 0xF001, bytes("07 01 00 00 05"), "TD mode 7 has no fields"},
      {"TD header for mode 0", 0xF001, bytes("00 00 00 00 00"), "TD mode 0 has no fields"},
      {"TD header for mode 9", 0xF001, bytes("09 00 02 00 00"), "TD mode 9 has no fields"},
      {"TD mode without fields, empty", 0xF001, {}, nullptr},
      {"W cell list of 169", 1, list_payload("07 00 0000 00 A9", 169, 6, 0), "more than the 1016"},
      {"W cell list of 168", 1, list_payload("07 00 0000 00 A8", 168, 6, 0), nullptr},
      {"W freq list of 253", 1, list_payload("08 00 0000 00 FD", 253, 4, 0), "more than the 1016"},
      {"W freq list of 252", 1, list_payload("08 00 0000 00 FC", 252, 4, 0), nullptr},
      {"TD cell list of 169", 0xF001, list_payload("01 00 00 0000 A9", 169, 6, 1),
       "more than the 1016"},
      {"TD cell list of 168", 0xF001, list_payload("01 00 00 0000 A8", 168, 6, 1), nullptr},
      {"general flag 2", 1,
       bytes("00 00000001 00000002 00000003 0004 0005 06 07 0008 09 0A 02 FFFE 0C 0000000D"),
       "flag holds 2"},
      {"SA flag 255", 0xF001, bytes("03 00 07 00 00 00000001 00000002 00000003 04 FF FFFF"),
       "saFlag holds 255"},
      {"TD start with its time", 0xF004, bytes("00 6D 02 0F 0E 05 09"), nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.legend);
    DecodedCommand d = decode_command(c.code, c.payload);
    if (c.problem == nullptr) {
      EXPECT_TRUE(d.problems.empty()) << d.problems.front();
      continue;
    }
    ASSERT_EQ(d.problems.size(), 1u);
    EXPECT_NE(d.problems[0].find(c.problem), std::string::npos) << d.problems[0];
    // The readable log line carries the problem too.
    EXPECT_NE(describe_command(c.code, 20, 1, c.payload.size(), d).find(" !! " + d.problems[0]),
              std::string::npos);
  }
}

// The scan-mode replies re-encode the remembered fields; for every layout that must give back the
// command's own bytes.
TEST(CommandDecode, ReEncodingADecodedScanModeGivesTheSameBytes) {
  const std::pair<std::uint16_t, const char*> kModes[] = {
      {0xF001, "04 00 00 00 10 01 00 00 03 B6 FF FF 03"},
      {0xF001, "05 00 01 01 2C 00 00 00 0A 00 07"},
      {0xF001, "03 00 07 00 00 00 00 00 01 00 00 00 02 00 00 00 03 04 01 FF FF"},
      {0xF001,
       "06 00 02 00 00 00000001 00000002 0003 04 05 06 000102030405060708090A0B0C0D0E0F "
       "F0F1F2F3F4F5F6F7F8F9FAFBFCFDFEFF"},
      {0xF001, "08 00 00 00 01 00000002 03 0004"},
      {0xF001, "07 01 00 00 05"},
      {1, "07 01 00 02 03 02 00 00 27 10 00 05 00 00 27 1A 00 06"},
      {1, "08 00 00 00 00 01 00 00 29 CC"},
      {1, "05 00000001 00000002 00000003 0004 0005 06 07 0008 09 0A 01 FFFE 0C 0000000D"},
  };
  for (const auto& [code, hex] : kModes) {
    SCOPED_TRACE(hex);
    Bytes p = bytes(hex);
    const Layout& layout = code == 1 ? wcdma_scan_mode_layout(p[0]) : td_scan_mode_layout(p[0]);
    Decoded d = decode(layout, p);
    EXPECT_TRUE(d.problems.empty());
    EXPECT_EQ(encode(layout, d.fields), p);
  }
}

}  // namespace
}  // namespace scanlink::sim
