// Cuts a TCP byte stream into whole frames. Bytes go in as the socket delivers them, in chunks
// of any size; whole frames come out in stream order. No I/O, no lock, no allocation.
//
// A frame is an 8-byte header (sync 0x55, module id, code, transaction id, payload length,
// big-endian) and its payload. A frame may span any number of chunks, its header included. A
// frame longer than 2056 bytes is skipped by its declared length, so the stream stays in step.
// A byte other than the sync byte where a frame should start discards the rest of that chunk:
// the stream is found again where a later chunk begins on a frame boundary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace scanlink::transport {

class Framer {
 public:
  static constexpr size_t kHeader = 8;
  static constexpr size_t kMaxFrame = 2056;

  // Sink needs: void OnFrame(const uint8_t* frame, size_t length);
  //             void OnTrace(const char* text);
  //             void OnOversized(size_t declaredLength);
  //             void OnDiscard(size_t bytes);  // bytes not part of any queued frame
  template <typename Sink>
  void Feed(const uint8_t* data, size_t n, Sink& sink);

  void Reset() {
    state_ = State::kIdle;
    carryLen_ = 0;
    frameLen_ = 0;
    skipLeft_ = 0;
  }
  // Bytes held of a frame not yet complete.
  size_t Pending() const { return carryLen_; }

 private:
  enum class State { kIdle, kHeader, kBody, kSkip };

  static size_t FrameLength(const uint8_t* header) {
    return (static_cast<size_t>(header[6]) << 8 | header[7]) + kHeader;
  }

  State state_ = State::kIdle;
  size_t carryLen_ = 0;
  size_t frameLen_ = 0;
  size_t skipLeft_ = 0;
  uint8_t carry_[kMaxFrame];
};

template <typename Sink>
void Framer::Feed(const uint8_t* data, size_t n, Sink& sink) {
  size_t cursor = 0;
  while (cursor < n) {
    const size_t remaining = n - cursor;
    switch (state_) {
      case State::kSkip: {
        const size_t take = remaining < skipLeft_ ? remaining : skipLeft_;
        skipLeft_ -= take;
        cursor += take;
        sink.OnDiscard(take);
        if (skipLeft_ == 0) state_ = State::kIdle;
        break;
      }
      case State::kIdle: {
        if (remaining < kHeader) sink.OnTrace("head$<8");
        if (data[cursor] != 0x55) {
          sink.OnDiscard(remaining);
          return;
        }
        if (remaining < kHeader) {
          std::memcpy(carry_, data + cursor, remaining);
          carryLen_ = remaining;
          state_ = State::kHeader;
          return;
        }
        const size_t length = FrameLength(data + cursor);
        if (length > kMaxFrame) {
          sink.OnOversized(length);
          skipLeft_ = length;
          state_ = State::kSkip;
          break;
        }
        if (length <= remaining) {
          sink.OnFrame(data + cursor, length);
          cursor += length;
          break;
        }
        sink.OnTrace("##half##");
        std::memcpy(carry_, data + cursor, remaining);
        carryLen_ = remaining;
        frameLen_ = length;
        state_ = State::kBody;
        return;
      }
      case State::kHeader: {
        sink.OnTrace("<8$tail");
        const size_t need = kHeader - carryLen_;
        const size_t take = remaining < need ? remaining : need;
        std::memcpy(carry_ + carryLen_, data + cursor, take);
        carryLen_ += take;
        cursor += take;
        if (carryLen_ < kHeader) return;
        const size_t length = FrameLength(carry_);
        if (length > kMaxFrame) {
          sink.OnOversized(length);
          sink.OnDiscard(kHeader);
          skipLeft_ = length - kHeader;
          carryLen_ = 0;
          state_ = State::kSkip;
          break;
        }
        frameLen_ = length;
        state_ = State::kBody;
        if (length == kHeader) {
          sink.OnTrace(">=8");
          sink.OnFrame(carry_, kHeader);
          carryLen_ = 0;
          state_ = State::kIdle;
        }
        break;
      }
      case State::kBody: {
        const size_t need = frameLen_ - carryLen_;
        const size_t take = remaining < need ? remaining : need;
        std::memcpy(carry_ + carryLen_, data + cursor, take);
        carryLen_ += take;
        cursor += take;
        if (carryLen_ == frameLen_) {
          sink.OnTrace(">=8");
          sink.OnFrame(carry_, frameLen_);
          carryLen_ = 0;
          state_ = State::kIdle;
        }
        break;
      }
    }
  }
}

}  // namespace scanlink::transport
