// Cutting the data stream into frames: however the socket chunks the stream, every frame comes
// out whole, once, in order, and oversized frames are stepped over without losing the stream.
#include "codec/framer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "transport/frames.h"

namespace scanlink::codec {
namespace {

using transport::test::Bytes;
namespace test = transport::test;

// A frame whose payload is n copies of one byte.
Bytes Filled(uint16_t n, uint8_t fill = 0xA5) { return test::Frame(20, 0x0102, 7, Bytes(n, fill)); }

struct Collector {
  std::vector<Bytes> frames;
  std::vector<std::string> traces;
  std::vector<size_t> oversized;
  size_t discarded = 0;

  void OnFrame(const uint8_t* frame, size_t length) { frames.emplace_back(frame, frame + length); }
  void OnTrace(const char* text) { traces.emplace_back(text); }
  void OnOversized(size_t declaredLength) { oversized.push_back(declaredLength); }
  void OnDiscard(size_t bytes) { discarded += bytes; }
};

// A stream as the scanner might send it, and what must come out of it.
struct Stream {
  Bytes bytes;
  std::vector<size_t> starts;  // where each frame or oversized block begins
  std::vector<Bytes> frames;
  std::vector<size_t> oversized;
  size_t skipped = 0;
  bool inStep = true;  // an oversized header is counted only where a frame should start

  void AddFrame(const Bytes& f) {
    starts.push_back(bytes.size());
    bytes.insert(bytes.end(), f.begin(), f.end());
    frames.push_back(f);
    inStep = true;
  }
  // A header announcing more than 2048 payload bytes, followed by that many bytes holding no sync
  // byte: the search for the next header steps through all of them.
  void AddOversized(uint16_t payloadLength, std::mt19937& rng) {
    if ((payloadLength & 0xFF) == 0x55) ++payloadLength;
    Bytes block = Filled(payloadLength);
    for (size_t i = 8; i < block.size(); ++i) block[i] = static_cast<uint8_t>(rng() % 0x55);
    starts.push_back(bytes.size());
    bytes.insert(bytes.end(), block.begin(), block.end());
    if (inStep) oversized.push_back(block.size());
    skipped += block.size();
    inStep = false;
  }
};

// A transaction id the scanner may send: a request's, or 0xFFFF on its own reports.
uint16_t AnyTransaction(std::mt19937& rng) {
  return rng() % 4 == 0 ? 0xFFFF : static_cast<uint16_t>(1 + rng() % 1023);
}

Stream RandomStream(std::mt19937& rng, int items) {
  Stream s;
  std::uniform_int_distribution<int> pick(0, 99);
  std::uniform_int_distribution<int> anyLength(0, 2048);
  std::uniform_int_distribution<int> bigPayload(2049, 6000);
  for (int i = 0; i < items; ++i) {
    const int p = pick(rng);
    if (p < 8) {
      s.AddOversized(static_cast<uint16_t>(p == 0 ? 0xFFFF : bigPayload(rng)), rng);
      continue;
    }
    // Lengths at the edges come up often enough to matter.
    const int length = p < 14 ? 0 : p < 20 ? 2048 : p < 24 ? 1 : anyLength(rng);
    Bytes payload(static_cast<size_t>(length));
    for (uint8_t& b : payload) b = static_cast<uint8_t>(rng());
    s.AddFrame(test::Frame(static_cast<uint8_t>(rng()), static_cast<uint16_t>(rng()),
                           AnyTransaction(rng), payload));
  }
  return s;
}

// Feeds bytes cut at the given offsets (ascending, inside the stream).
Collector FeedCut(const Bytes& bytes, const std::vector<size_t>& cuts) {
  auto framer = std::make_unique<Framer>();
  Collector out;
  size_t from = 0;
  std::vector<size_t> ends = cuts;
  ends.push_back(bytes.size());
  for (size_t to : ends) {
    framer->Feed(bytes.data() + from, to - from, out);
    from = to;
  }
  EXPECT_EQ(framer->Pending(), 0u);
  return out;
}

void ExpectAllThrough(const Stream& s, const Collector& out) {
  ASSERT_EQ(out.frames.size(), s.frames.size());
  for (size_t i = 0; i < s.frames.size(); ++i) {
    ASSERT_EQ(out.frames[i], s.frames[i]) << "frame " << i;
  }
  EXPECT_EQ(out.oversized, s.oversized);
  EXPECT_EQ(out.discarded, s.skipped);
}

TEST(FramerTest, RandomStreamsCutAtRandomPointsComeOutWhole) {
  for (uint32_t seed = 1; seed <= 120; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    const Stream s = RandomStream(rng, 24);
    // Chunk sizes spread evenly over the orders of magnitude from 1 byte to 8 KiB.
    std::uniform_int_distribution<int> magnitude(0, 13);
    std::vector<size_t> cuts;
    for (size_t at = 0;;) {
      at += std::uniform_int_distribution<size_t>(1, size_t{1} << magnitude(rng))(rng);
      if (at >= s.bytes.size()) break;
      cuts.push_back(at);
    }
    ExpectAllThrough(s, FeedCut(s.bytes, cuts));
  }
}

TEST(FramerTest, EveryHeaderSplitAndSeveralBodySplitsOfEachFrame) {
  std::mt19937 rng(7);
  Stream s;
  s.AddFrame(Filled(300, 0x11));
  s.AddFrame(Filled(0, 0x22));
  s.AddFrame(Filled(2048, 0x55));  // a body full of sync bytes
  s.AddOversized(3000, rng);
  s.AddFrame(Filled(1, 0x33));
  s.AddOversized(2049, rng);
  s.AddFrame(Filled(17, 0x44));
  for (size_t item = 0; item < s.starts.size(); ++item) {
    const size_t start = s.starts[item];
    const size_t end = item + 1 < s.starts.size() ? s.starts[item + 1] : s.bytes.size();
    const size_t length = end - start;
    std::vector<size_t> bodyCuts = {0};  // 0: the body is not cut
    for (size_t at : {size_t{9}, length / 2, length - 1}) {
      if (at > 8 && at < length) bodyCuts.push_back(at);
    }
    for (size_t head = 1; head < 8; ++head) {
      for (size_t body : bodyCuts) {
        SCOPED_TRACE("item " + std::to_string(item) + " cut at " + std::to_string(head) + ", " +
                     std::to_string(body));
        std::vector<size_t> cuts = {start + head};
        if (body != 0) cuts.push_back(start + body);
        ExpectAllThrough(s, FeedCut(s.bytes, cuts));
      }
    }
  }
}

struct ChunkCase {
  const char* name;
  std::vector<Bytes> chunks;
  std::vector<Bytes> frames;
  std::vector<std::string> traces;
  size_t discarded;
};

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

Bytes Slice(const Bytes& b, size_t from, size_t to) {
  return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from),
               b.begin() + static_cast<std::ptrdiff_t>(to));
}

const Bytes kA = Filled(20, 0xAA);
const Bytes kB = test::Frame(21, 0xF025, 0xFFFF, Bytes(5, 0xBB));
const Bytes kEmpty = Filled(0);
constexpr const char* kLost = "Frame start expected, searching for the next frame header";

const ChunkCase kChunkCases[] = {
    {"TwoFramesInOneChunk", {Cat({kA, kB})}, {kA, kB}, {}, 0},
    {"EightByteFrame", {kEmpty}, {kEmpty}, {}, 0},
    {"EightByteFrameSplitInItsHeader",
     {Slice(kEmpty, 0, 3), Slice(kEmpty, 3, 8)},
     {kEmpty},
     {"head$<8", "<8$tail", ">=8"},
     0},
    {"HeaderSplitAfterFiveBytes",
     {Slice(kA, 0, 5), Cat({Slice(kA, 5, kA.size()), kB})},
     {kA, kB},
     {"head$<8", "<8$tail", ">=8"},
     0},
    {"BodySplit", {Slice(kA, 0, 12), Slice(kA, 12, kA.size())}, {kA}, {"##half##", ">=8"}, 0},
    {"WrongSyncAtChunkStartCostsOnlyThatByte", {Cat({{0x54}, kA}), kB}, {kA, kB}, {kLost}, 1},
    {"ImplausibleHeaderAfterAFrameIsSteppedOver",
     {Cat({kA, {0x00, 0x55}, kB}), kB},
     {kA, kB, kB},
     {kLost},
     2},
    {"ShortJunkChunk", {{0x01, 0x02, 0x03}, kA}, {kA}, {kLost}, 3},
    {"SyncByteInJunkSplitFromTheFrame",
     {{0x01, 0x55, 0x02}, kB},
     {kB},
     {kLost, "head$<8", "<8$tail", "<8$tail", ">=8"},
     3},
};

void PrintTo(const ChunkCase& c, std::ostream* os) { *os << c.name; }

class FramerChunkTest : public ::testing::TestWithParam<ChunkCase> {};

TEST_P(FramerChunkTest, Cuts) {
  const ChunkCase& c = GetParam();
  auto framer = std::make_unique<Framer>();
  Collector out;
  for (const Bytes& chunk : c.chunks) framer->Feed(chunk.data(), chunk.size(), out);
  EXPECT_EQ(out.frames, c.frames);
  EXPECT_EQ(out.traces, c.traces);
  EXPECT_EQ(out.discarded, c.discarded);
  EXPECT_TRUE(out.oversized.empty());
  EXPECT_EQ(framer->Pending(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Chunks, FramerChunkTest, ::testing::ValuesIn(kChunkCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The edges of what the scanner can send: request ids 1..1023 or the broadcast id, and a payload
// up to 2048 bytes.
TEST(FramerTest, PlausibleHeaderAtTheEdges) {
  const struct {
    uint16_t trans;
    size_t payload;
    bool plausible;
  } cases[] = {
      {1, 0, true},     {1023, 0, true},    {0xFFFF, 2048, true}, {0, 0, false},
      {1024, 0, false}, {0xFFFE, 0, false}, {7, 2049, false},
  };
  for (const auto& c : cases) {
    const Bytes frame = test::Frame(20, 0x0102, c.trans, Bytes(c.payload, 0xA5));
    EXPECT_EQ(Framer::PlausibleHeader(frame.data()), c.plausible) << c.trans << " " << c.payload;
    EXPECT_EQ(Framer::FrameLength(frame.data()), frame.size());
  }
}

// Damaged streams: what comes out depends on the bytes alone, never on how they were chunked, and
// a frame after the damage is delivered.
TEST(FramerTest, RecoveryFromDamagedBytesDoesNotDependOnTheChunking) {
  // Payloads without sync bytes, so the only candidates are where the damage puts them.
  std::vector<Bytes> f;
  for (uint16_t i = 0; i < 5; ++i)
    f.push_back(test::Frame(1, 37, i == 2 ? 9 : 0xFFFF, Bytes(40 + i * 100, 0x30 + i)));
  const Bytes oversized = {0x55, 1, 0, 37, 0xFF, 0xFF, 0x09, 0x00, 1, 2, 3};
  struct Damage {
    const char* name;
    Bytes stream;
    std::vector<Bytes> frames;
    size_t skipped;
    size_t oversized;
  };
  const Bytes f1Cut = Slice(f[1], 0, f[1].size() - 3);
  const Damage cases[] = {
      // The damaged frame takes its declared length; the 3 bytes left over are skipped.
      {"3 bytes inserted",
       Cat({f[0], Slice(f[1], 0, 20), {7, 8, 9}, Slice(f[1], 20, f[1].size()), f[2], f[3], f[4]}),
       {f[0], Cat({Slice(f[1], 0, 20), {7, 8, 9}, Slice(f[1], 20, f[1].size() - 3)}), f[2], f[3],
        f[4]},
       3,
       0},
      // The short frame takes the next one's first bytes; the rest of that one is skipped.
      {"3 bytes deleted",
       Cat({f[0], f1Cut, f[2], f[3], f[4]}),
       {f[0], Cat({f1Cut, Slice(f[2], 0, 3)}), f[3], f[4]},
       f[2].size() - 3,
       0},
      {"garbage with sync bytes between frames",
       Cat({f[0], {0x55, 0x55, 0, 0, 0xFE, 0, 0, 0, 0x55}, f[1], f[2], f[3], f[4]}),
       {f[0], f[1], f[2], f[3], f[4]},
       9,
       0},
      {"garbage first", Cat({{1, 2, 3}, f[0], f[1]}), {f[0], f[1]}, 3, 0},
      {"oversized header", Cat({f[0], oversized, f[1]}), {f[0], f[1]}, oversized.size(), 1},
  };
  for (const Damage& d : cases) {
    std::mt19937 rng(3);
    for (size_t chunk : {size_t{1}, size_t{7}, size_t{4096}, size_t{0}}) {
      SCOPED_TRACE(std::string(d.name) + ", chunks of " +
                   (chunk == 0 ? std::string("random size") : std::to_string(chunk)));
      std::vector<size_t> cuts;
      for (size_t at = 0;;) {
        at += chunk != 0 ? chunk : std::uniform_int_distribution<size_t>(1, 300)(rng);
        if (at >= d.stream.size()) break;
        cuts.push_back(at);
      }
      const Collector out = FeedCut(d.stream, cuts);
      EXPECT_EQ(out.frames, d.frames);
      EXPECT_EQ(out.discarded, d.skipped);
      EXPECT_EQ(out.oversized.size(), d.oversized);
    }
  }
}

}  // namespace
}  // namespace scanlink::codec
