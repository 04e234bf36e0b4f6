// Frames cut from a stream that arrives in arbitrary pieces.
#include "frame.h"

#include <gtest/gtest.h>

namespace scanlink::sim {
namespace {

Bytes login_frame() {
  Bytes payload(32, 0);
  payload[0] = 'u';
  return encode_frame(Frame{20, 43, 1, payload});
}

std::vector<Frame> feed_in_pieces(const Bytes& stream, std::size_t piece) {
  FrameAssembler a;
  std::vector<Frame> out;
  for (std::size_t i = 0; i < stream.size(); i += piece) {
    a.feed(ByteView(stream).subspan(i, std::min(piece, stream.size() - i)));
    while (auto f = a.next()) out.push_back(std::move(*f));
  }
  EXPECT_EQ(a.buffered(), 0u);
  return out;
}

TEST(Frame, HeaderIsSyncModuleAndThreeBigEndianValues) {
  Bytes b = encode_frame(Frame{20, 0xF001, 5, Bytes{1, 2, 3}});
  EXPECT_EQ(b, (Bytes{0x55, 20, 0xF0, 0x01, 0x00, 0x05, 0x00, 0x03, 1, 2, 3}));
}

TEST(FrameAssembler, FramesSurviveEveryWayOfSplittingTheStream) {
  Bytes stream = login_frame();
  Bytes empty = encode_frame(Frame{21, 7, 2, {}});
  Bytes big = encode_frame(Frame{22, 0xF001, 3, Bytes(1015, 0xAB)});
  stream.insert(stream.end(), empty.begin(), empty.end());
  stream.insert(stream.end(), big.begin(), big.end());
  for (std::size_t piece : {1u, 3u, 7u, 8u, 9u, 40u, 41u, 1000u, 5000u}) {
    SCOPED_TRACE(piece);
    auto frames = feed_in_pieces(stream, piece);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].code, 43);
    EXPECT_EQ(frames[0].payload[0], 'u');
    EXPECT_EQ(frames[1].module, 21);
    EXPECT_TRUE(frames[1].payload.empty());
    EXPECT_EQ(frames[2].trans, 3);
    EXPECT_EQ(frames[2].payload.size(), 1015u);
  }
}

TEST(FrameAssembler, BytesBeforeASyncByteAreSkippedAndCounted) {
  FrameAssembler a;
  Bytes stream{0x00, 0x13, 0x37};
  Bytes f = login_frame();
  stream.insert(stream.end(), f.begin(), f.end());
  a.feed(stream);
  auto frame = a.next();
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(frame->code, 43);
  EXPECT_EQ(a.take_skipped(), 3u);
  EXPECT_EQ(a.take_skipped(), 0u);
}

TEST(FrameAssembler, IncompleteFrameWaitsAndClearDropsIt) {
  FrameAssembler a;
  Bytes f = login_frame();
  a.feed(ByteView(f).first(20));
  EXPECT_FALSE(a.next().has_value());
  EXPECT_EQ(a.buffered(), 20u);
  a.clear();
  a.feed(f);
  auto frame = a.next();
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(frame->payload.size(), 32u);
}

}  // namespace
}  // namespace scanlink::sim
