// Stream reassembly under arbitrary chunking, which must not change what comes out. Input: byte 0
// picks how many chunk-size bytes follow (1..8); those sizes are used in turn to cut the rest of
// the input into reads.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "check.h"
#include "codec/framer.h"

namespace {

using scanlink::codec::Framer;

// Sizes reach both single bytes and reads longer than the largest frame.
size_t ChunkSize(uint8_t b) {
  if (b == 0) return 4096;
  if (b < 0x80) return b;
  return (static_cast<size_t>(b & 0x7F) + 1) * 32;
}

struct Sink {
  const uint8_t* stream;
  size_t framed = 0;     // bytes handed out in frames
  size_t discarded = 0;  // bytes reported as not part of any frame
  size_t frames = 0;

  void OnFrame(const uint8_t* frame, size_t length) {
    FUZZ_CHECK(length >= Framer::kHeader && length <= Framer::kMaxFrame);
    FUZZ_CHECK(frame[0] == 0x55);
    FUZZ_CHECK(length == ((static_cast<size_t>(frame[6]) << 8 | frame[7]) + Framer::kHeader));
    // Frames and discards are reported in stream order, so this frame begins right after them.
    FUZZ_CHECK(std::memcmp(frame, stream + framed + discarded, length) == 0);
    framed += length;
    ++frames;
  }
  void OnTrace(const char* text) { FUZZ_CHECK(text != nullptr); }
  void OnOversized(size_t declared) { FUZZ_CHECK(declared > Framer::kMaxFrame); }
  void OnDiscard(size_t bytes) { discarded += bytes; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t sizes = (data[0] & 7u) + 1;
  if (size < 1 + sizes) return 0;
  const uint8_t* plan = data + 1;
  const uint8_t* stream = data + 1 + sizes;
  const size_t total = size - 1 - sizes;

  static Framer framer;  // large carry buffer: keep it off the stack
  static Framer bytewise;
  framer.Reset();
  bytewise.Reset();
  Sink sink{stream};
  Sink one{stream};
  size_t fed = 0;
  for (size_t i = 0; fed < total; ++i) {
    size_t n = ChunkSize(plan[i % sizes]);
    if (n > total - fed) n = total - fed;
    framer.Feed(stream + fed, n, sink);
    fed += n;
    FUZZ_CHECK(framer.Pending() <= Framer::kMaxFrame);
    FUZZ_CHECK(sink.framed + sink.discarded <= fed);
    // Every byte read so far is in a frame, discarded, or held for the frame not yet complete.
    FUZZ_CHECK(sink.framed + sink.discarded + framer.Pending() == fed);
  }
  // The bytes alone decide: fed one byte at a time, the same frames and skips come out.
  for (size_t i = 0; i < total; ++i) bytewise.Feed(stream + i, 1, one);
  FUZZ_CHECK(one.framed == sink.framed && one.discarded == sink.discarded);
  FUZZ_CHECK(one.frames == sink.frames && bytewise.Pending() == framer.Pending());
  return 0;
}
