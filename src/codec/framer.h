// Cuts a TCP byte stream into whole frames. Bytes go in as the socket delivers them, in chunks
// of any size; whole frames come out in stream order. No I/O, no lock, no allocation.
//
// A frame is a header (codec/frame_header.h) and its payload; it may span any number of chunks, its
// header included. Where a frame should start and the bytes there are no plausible header (see
// PlausibleHeader), the cutter steps one byte at a time to the next plausible header. Every
// decision depends on the bytes alone, never on how the stream was chunked: damaged bytes cost only
// themselves, and a frame received intact after them is delivered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codec/frame_header.h"

namespace scanlink::codec {

class Framer {
 public:
  static constexpr size_t kHeader = codec::kHeaderSize;
  static constexpr size_t kMaxFrame = codec::kMaxFrame;
  static constexpr uint8_t kSync = codec::kSync;

  // A header the scanner could have sent: the sync byte, a payload within the largest frame, and
  // a transaction id the scanner can send. Module id and code are not checked: replies echo any
  // module id, and codes are open-ended.
  static bool PlausibleHeader(const uint8_t* header) {
    const codec::FrameHeader h = codec::read_header(header);
    return h.sync == kSync && codec::frame_length(h) <= kMaxFrame &&
           codec::plausible_trans_id(h.transId);
  }
  static size_t FrameLength(const uint8_t* header) {
    return codec::frame_length(codec::read_header(header));
  }

  // Sink needs: void OnFrame(const uint8_t* frame, size_t length);
  //             void OnTrace(const char* text);
  //             void OnOversized(size_t declaredLength);  // where a frame should have started
  //             void OnDiscard(size_t bytes);  // bytes skipped, reported in stream order
  template <typename Sink>
  void Feed(const uint8_t* data, size_t n, Sink& sink);

  void Reset() {
    held_ = 0;
    inStep_ = true;
  }
  // Bytes held of a frame (or a header) not yet complete.
  size_t Pending() const { return held_; }

 private:
  // The bytes at a frame start are no plausible header: skip one byte. Losing step is traced and,
  // for a header announcing too long a frame, counted; while searching, candidates are not.
  template <typename Sink>
  void Reject(const uint8_t* header, Sink& sink) {
    if (inStep_ && header[0] == kSync && FrameLength(header) > kMaxFrame) {
      sink.OnOversized(FrameLength(header));
    }
    LoseStep(sink);
    sink.OnDiscard(1);
  }
  template <typename Sink>
  void LoseStep(Sink& sink) {
    if (!inStep_) return;
    sink.OnTrace("Frame start expected, searching for the next frame header");
    inStep_ = false;
  }
  // Skips to the next sync byte in [data, data + n); returns how many bytes were skipped.
  template <typename Sink>
  size_t SkipToSync(const uint8_t* data, size_t n, Sink& sink) {
    const void* sync = std::memchr(data, kSync, n);
    const size_t skip = sync == nullptr ? n : static_cast<const uint8_t*>(sync) - data;
    if (skip > 0) {
      LoseStep(sink);
      sink.OnDiscard(skip);
    }
    return skip;
  }

  size_t held_ = 0;  // bytes in carry_: the start of a candidate frame
  // Copies chunk bytes into the carry until it holds `want` of them; false when the chunk ends
  // first.
  bool FillCarry(size_t want, const uint8_t* data, size_t n, size_t& cursor) {
    const size_t take = n - cursor < want - held_ ? n - cursor : want - held_;
    std::memcpy(carry_ + held_, data + cursor, take);
    held_ += take;
    cursor += take;
    return held_ == want;
  }

  bool inStep_ = true;  // the last bytes consumed ended a frame (or nothing was consumed yet)
  uint8_t carry_[kMaxFrame];
};

template <typename Sink>
void Framer::Feed(const uint8_t* data, size_t n, Sink& sink) {
  size_t cursor = 0;
  // A candidate carried over from earlier chunks: complete its header, then its frame.
  while (held_ > 0 && cursor < n) {
    if (held_ < kHeader) {
      if (!FillCarry(kHeader, data, n, cursor)) return;
      sink.OnTrace("<8$tail");
      if (!PlausibleHeader(carry_)) {
        // Not a frame: its first byte is skipped, and the rest is searched again.
        Reject(carry_, sink);
        size_t from = 1;
        from += SkipToSync(carry_ + from, held_ - from, sink);
        held_ -= from;
        std::memmove(carry_, carry_ + from, held_);
        continue;
      }
    }
    const size_t length = FrameLength(carry_);
    if (!FillCarry(length, data, n, cursor)) return;
    sink.OnTrace(">=8");
    sink.OnFrame(carry_, length);
    held_ = 0;
    inStep_ = true;
  }
  while (cursor < n) {
    cursor += SkipToSync(data + cursor, n - cursor, sink);
    const size_t remaining = n - cursor;
    if (remaining == 0) return;
    if (remaining < kHeader) {
      sink.OnTrace("head$<8");
      std::memcpy(carry_, data + cursor, remaining);
      held_ = remaining;
      return;
    }
    if (!PlausibleHeader(data + cursor)) {
      Reject(data + cursor, sink);
      ++cursor;
      continue;
    }
    const size_t length = FrameLength(data + cursor);
    if (length > remaining) {
      sink.OnTrace("##half##");
      std::memcpy(carry_, data + cursor, remaining);
      held_ = remaining;
      return;
    }
    sink.OnFrame(data + cursor, length);
    cursor += length;
    inStep_ = true;
  }
}

}  // namespace scanlink::codec
