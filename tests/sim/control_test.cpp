// Control lines a test writes to the simulator's stdin.
#include "control.h"

#include <gtest/gtest.h>

namespace scanlink::sim {
namespace {

using Kind = ControlCommand::Kind;

TEST(Control, EveryCommandParses) {
  const std::pair<const char*, Kind> kLines[] = {
      {"close-data", Kind::kCloseData},
      {"close-alarm", Kind::kCloseAlarm},
      {"reset-data", Kind::kResetData},
      {"reset-mid-frame", Kind::kResetMidFrame},
      {"stop-listening 1500", Kind::kStopListening},
      {"refuse-alarm on", Kind::kRefuseAlarm},
      {"stall off", Kind::kStall},
      {"answer off", Kind::kAnswer},
      {"restart", Kind::kRestart},
      {"send 55 14 00 2c", Kind::kSend},
      {"frame 44 1 0000000c", Kind::kFrame},
      {"alarm 0102", Kind::kAlarm},
      {"start", Kind::kStart},
      {"start td", Kind::kStart},
      {"stop", Kind::kStop},
      {"rate 20", Kind::kRate},
      {"family 22", Kind::kFamily},
      {"quit", Kind::kQuit},
      {"  quit \r", Kind::kQuit},
  };
  for (const auto& [line, kind] : kLines) {
    SCOPED_TRACE(line);
    ControlParse p = parse_control(line);
    ASSERT_TRUE(p.command.has_value()) << p.error;
    EXPECT_EQ(p.command->kind, kind);
  }
}

TEST(Control, ArgumentsAreCarried) {
  ControlCommand frame = *parse_control("frame 0xF025 0xFFFF - 21").command;
  EXPECT_EQ(frame.frame.code, 0xF025);
  EXPECT_EQ(frame.frame.trans, 0xFFFF);
  EXPECT_TRUE(frame.frame.payload.empty());
  EXPECT_EQ(frame.frame.module, 21);
  EXPECT_EQ(parse_control("frame 44 7 0000000C").command->frame.payload, (Bytes{0, 0, 0, 12}));
  EXPECT_EQ(parse_control("send 55 14 002c").command->bytes, (Bytes{0x55, 0x14, 0x00, 0x2C}));
  EXPECT_EQ(parse_control("stop-listening 250").command->number, 250u);
  EXPECT_TRUE(parse_control("refuse-alarm on").command->on);
  EXPECT_EQ(parse_control("start wcdma").command->family, Family::kWcdma);
  EXPECT_FALSE(parse_control("start").command->family.has_value());
}

TEST(Control, BadLinesAreRefusedWithAReasonAndBlankLinesIgnored) {
  for (const char* line : {"frobnicate", "stall maybe", "rate fast", "send", "send 5", "frame 44 1",
                           "frame 70000 1 -", "frame 44 1 00 300", "quit now", "start gsm"}) {
    SCOPED_TRACE(line);
    ControlParse p = parse_control(line);
    EXPECT_FALSE(p.command.has_value());
    EXPECT_FALSE(p.error.empty());
  }
  ControlParse blank = parse_control("   ");
  EXPECT_FALSE(blank.command.has_value());
  EXPECT_TRUE(blank.error.empty());
}

}  // namespace
}  // namespace scanlink::sim
