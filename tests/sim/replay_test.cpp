// Playing a recording back: which recorded frames answer which request, what is streamed, and when.
#include "replay.h"

#include <gtest/gtest.h>

namespace scanlink::sim {
namespace {

using namespace std::chrono_literals;

RecordedPacket packet(std::int64_t ms, bool to_scanner, Frame f) {
  return {ms * 1000, to_scanner, false, encode_frame(f)};
}

std::vector<std::uint16_t> codes(const std::vector<Replay::Unit>& units) {
  std::vector<std::uint16_t> out;
  for (const auto& u : units) out.push_back(u.alarm ? 0 : get_u16(u.bytes, 2));
  return out;
}

TEST(Replay, RepliesFollowTheirRequestsAndReportsTheRecordedPace) {
  std::vector<RecordedPacket> rec = {
      packet(0, true, {20, 43, 1, {}}),  // login
      packet(5, false, {20, 44, 1, {0, 0, 0, 21}}),
      packet(10, true, {20, 0xF030, 2, {}}),  // battery, twice, different answers
      packet(12, false, {20, 0xF031, 2, {1}}),
      packet(13, false, {20, 0xF032, 2, {0, 0}}),
      packet(100, false, {0, 0xF025, 0xFFFF, {9}}),  // a report before the scan: left out
      packet(200, true, {20, 0xF004, 3, {}}),        // the scan starts
      packet(210, false, {20, 0xF006, 3, {0, 0}}),
      packet(300, false, {0, 0xF025, 0xFFFF, {1}}),
      packet(350, true, {20, 0xF030, 4, {}}),
      packet(360, false, {20, 0xF031, 4, {2}}),
      {400'000, false, true, {0xA1, 0xA2}},  // alarm bytes
      packet(500, false, {0, 0xF028, 0xFFFF, {2}}),
  };
  // The last report split across two TCP segments, as a tcpdump capture has it.
  Bytes last = encode_frame({0, 0xF025, 0xFFFF, {3, 3, 3}});
  rec.push_back({1200'000, false, false, Bytes(last.begin(), last.begin() + 5)});
  rec.push_back({1300'000, false, false, Bytes(last.begin() + 5, last.end())});

  Replay r(rec, {.speed = 10});
  EXPECT_TRUE(r.waits_for_start());
  auto login = r.replies(43, 21, 77);
  ASSERT_TRUE(login.has_value());
  ASSERT_EQ(login->size(), 1u);
  EXPECT_EQ((*login)[0].code, 44);
  EXPECT_EQ((*login)[0].module, 21) << "rewritten to the new request";
  EXPECT_EQ((*login)[0].trans, 77);
  EXPECT_EQ((*login)[0].payload, (Bytes{0, 0, 0, 21}));
  auto b1 = r.replies(0xF030, 20, 1), b2 = r.replies(0xF030, 20, 2), b3 = r.replies(0xF030, 20, 3);
  ASSERT_TRUE(b1 && b2 && b3);
  EXPECT_EQ(b1->size(), 2u);
  EXPECT_EQ((*b1)[0].payload, Bytes{1});
  ASSERT_EQ(b2->size(), 1u) << "the second request gets the second recorded answer";
  EXPECT_EQ((*b2)[0].payload, Bytes{2});
  EXPECT_EQ((*b3)[0].payload, Bytes{2}) << "and the last one after that";
  EXPECT_FALSE(r.replies(7, 20, 4).has_value()) << "never recorded: the simulator answers";

  EXPECT_EQ(r.stream_units(), 4u);
  auto t0 = Replay::Clock::now();
  EXPECT_TRUE(r.due(t0 + 1h).empty()) << "nothing before the client starts the scan";
  r.start(t0);
  // Recorded 100 ms after the start; at ten times the pace, 10 ms.
  EXPECT_TRUE(r.due(t0 + 9ms).empty());
  EXPECT_EQ(codes(r.due(t0 + 11ms)), (std::vector<std::uint16_t>{0xF025}));
  EXPECT_EQ(codes(r.due(t0 + 31ms)), (std::vector<std::uint16_t>{0, 0xF028}));
  EXPECT_TRUE(r.due(t0 + 99ms).empty()) << "a frame is due when its last byte was";
  auto tail = r.due(t0 + 111ms);
  ASSERT_EQ(tail.size(), 1u);
  EXPECT_EQ(tail[0].bytes, last);
  r.due(t0 + 112ms);
  EXPECT_TRUE(r.finished());

  Replay looping(rec, {.speed = 10, .loop = true});
  looping.start(t0);
  EXPECT_EQ(looping.due(t0 + 111ms).size(), 4u);
  EXPECT_EQ(codes(looping.due(t0 + 122ms)), (std::vector<std::uint16_t>{0xF025}));
  EXPECT_FALSE(looping.finished());
}

TEST(Replay, AnUntimedStreamWithoutAStartIsPacedByTheRate) {
  Bytes stream = encode_frame({0, 36, 0xFFFF, {1}});
  Bytes second = encode_frame({0, 37, 0xFFFF, {0, 0}});
  stream.insert(stream.end(), {0x01, 0x02});  // bytes that are no frame go out as they are
  stream.insert(stream.end(), second.begin(), second.end());
  Replay r({{-1, false, false, stream}}, {.untimed_rate = 10});
  EXPECT_FALSE(r.waits_for_start());
  auto t0 = Replay::Clock::now();
  r.start(t0);
  EXPECT_EQ(r.due(t0 + 101ms).size(), 1u);
  auto rest = r.due(t0 + 301ms);
  ASSERT_EQ(rest.size(), 2u);
  EXPECT_EQ(rest[0].bytes, (Bytes{0x01, 0x02}));
  EXPECT_EQ(rest[1].bytes, second);
}

// A connection that ended inside a frame: its half goes out as it was, and the next connection's
// frame stays whole (no frame made of the two); what the recording noted between is told in turn.
TEST(Replay, EachRecordedConnectionIsCutOnItsOwn) {
  const Bytes first = encode_frame({0, 0xF025, 0xFFFF, Bytes(40, 1)});
  const Bytes second = encode_frame({0, 0xF025, 0xFFFF, Bytes(40, 2)});
  const Bytes half(first.begin(), first.begin() + 20);
  Replay r({{-1, false, false, half, 1},
            {-1, false, false, {}, 1, "link lost"},
            {-1, false, false, second, 2}},
           {.untimed_rate = 10});
  auto t0 = Replay::Clock::now();
  r.start(t0);
  const auto units = r.due(t0 + 1s);
  ASSERT_EQ(units.size(), 3u);
  EXPECT_EQ(units[0].bytes, half);
  EXPECT_EQ(units[1].note, "link lost");
  EXPECT_EQ(units[2].bytes, second);
}

}  // namespace
}  // namespace scanlink::sim
