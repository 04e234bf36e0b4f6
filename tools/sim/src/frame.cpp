#include "frame.h"

#include <algorithm>

namespace scanlink::sim {

Bytes encode_frame(const Frame& frame) {
  Bytes out;
  out.reserve(kHeaderSize + frame.payload.size());
  put_u8(out, kSync);
  put_u8(out, frame.module);
  put_u16(out, frame.code);
  put_u16(out, frame.trans);
  put_u16(out, frame.payload.size());
  out.insert(out.end(), frame.payload.begin(), frame.payload.end());
  return out;
}

void FrameAssembler::feed(ByteView bytes) {
  // Drop consumed bytes before growing, so the buffer stays as small as the largest pending frame.
  if (start_ > 0 && start_ * 2 >= buffer_.size()) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
  }
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

std::optional<Frame> FrameAssembler::next() {
  auto begin = buffer_.begin() + static_cast<std::ptrdiff_t>(start_);
  auto sync = std::find(begin, buffer_.end(), kSync);
  std::size_t skip = static_cast<std::size_t>(sync - begin);
  skipped_ += skip;
  start_ += skip;
  if (buffered() < kHeaderSize) return std::nullopt;

  ByteView view(buffer_.data() + start_, buffered());
  std::size_t length = get_u16(view, 6);
  if (view.size() < kHeaderSize + length) return std::nullopt;

  Frame f;
  f.module = view[1];
  f.code = get_u16(view, 2);
  f.trans = get_u16(view, 4);
  f.payload.assign(view.begin() + kHeaderSize,
                   view.begin() + static_cast<std::ptrdiff_t>(kHeaderSize + length));
  start_ += kHeaderSize + length;
  if (start_ == buffer_.size()) clear();
  return f;
}

std::size_t FrameAssembler::take_skipped() {
  std::size_t n = skipped_;
  skipped_ = 0;
  return n;
}

void FrameAssembler::clear() {
  buffer_.clear();
  start_ = 0;
}

}  // namespace scanlink::sim
