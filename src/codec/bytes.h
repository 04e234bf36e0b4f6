// Big-endian byte helpers and the two cursors the codec is written with: a Writer that appends to
// a bounded buffer and a Reader over a received payload. Both take fields as record lvalues, so a
// layout is a list of fields in wire order: fields(in, b.nValue1, b.nValue2, b.byBlock).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace scanlink::codec {

inline void put_u16be(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

inline void put_u32be(uint8_t* p, uint32_t v) {
  put_u16be(p, static_cast<uint16_t>(v >> 16));
  put_u16be(p + 2, static_cast<uint16_t>(v));
}

inline uint16_t get_u16be(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// Appends fields to buf[0..capacity). Every byte offered is counted, but only those within the
// capacity are stored: a Writer over no buffer measures a layout without writing it.
class Writer {
 public:
  Writer(uint8_t* buf, size_t capacity) : buf_(buf), capacity_(buf != nullptr ? capacity : 0) {}

  // Field form: the record's width is the wire width.
  void operator()(const uint8_t& v) { put(&v, 1); }
  void operator()(const uint16_t& v) {
    uint8_t b[2];
    put_u16be(b, v);
    put(b, sizeof b);
  }
  void operator()(const int16_t& v) { (*this)(static_cast<uint16_t>(v)); }
  void operator()(const uint32_t& v) {
    uint8_t b[4];
    put_u32be(b, v);
    put(b, sizeof b);
  }
  template <typename Byte, size_t N>  // char or unsigned char
  void operator()(const Byte (&v)[N]) {
    static_assert(sizeof(Byte) == 1);
    put(v, N);
  }

  size_t size() const { return size_; }

 private:
  void put(const void* p, size_t n) {
    if (n != 0 && size_ <= capacity_ && n <= capacity_ - size_) std::memcpy(buf_ + size_, p, n);
    size_ += n;
  }

  uint8_t* buf_;
  size_t capacity_;
  size_t size_ = 0;
};

// Reads fields in order from a payload buffer of `capacity` bytes of which `length` were
// received. Bytes past the received length read as zero, and nothing outside the buffer is
// touched, however far a count sends the read position.
class Reader {
 public:
  Reader(const uint8_t* payload, size_t length, size_t capacity)
      : data_(payload), end_(std::min(length, capacity)) {}

  uint8_t read_u8() {
    const uint8_t v = at(pos_);
    advance(1);
    return v;
  }
  uint16_t read_u16() {
    const uint16_t v = static_cast<uint16_t>(at(pos_) << 8 | at(pos_ + 1));
    advance(2);
    return v;
  }
  uint32_t read_u32() {
    const uint32_t high = read_u16();
    return high << 16 | read_u16();
  }
  void read_bytes(void* out, size_t n) {
    auto* dst = static_cast<uint8_t*>(out);
    for (size_t i = 0; i < n; ++i) dst[i] = at(pos_ + i);
    advance(n);
  }
  void skip(size_t n) { advance(n); }

  // The byte `ahead` bytes past the read position, without moving it.
  uint8_t peek_u8(size_t ahead) const { return pos_ < kFar - ahead ? at(pos_ + ahead) : 0; }
  // Received bytes from the read position on.
  size_t remaining() const { return pos_ < end_ ? end_ - pos_ : 0; }

  // Field form: the record's width is the wire width; arrays of u16 read element by element.
  void operator()(uint8_t& v) { v = read_u8(); }
  void operator()(uint16_t& v) { v = read_u16(); }
  void operator()(int16_t& v) { v = static_cast<int16_t>(read_u16()); }
  void operator()(uint32_t& v) { v = read_u32(); }
  template <typename T, size_t N>  // bytes, or u16 values
  void operator()(T (&v)[N]) {
    if constexpr (sizeof(T) == 1) {
      read_bytes(v, N);
    } else {
      for (uint16_t& x : v) x = read_u16();
    }
  }

 private:
  // Past every payload; the position saturates here rather than wrap.
  static constexpr size_t kFar = SIZE_MAX / 2;

  uint8_t at(size_t i) const { return i < end_ ? data_[i] : 0; }
  void advance(size_t n) { pos_ = n < kFar - pos_ ? pos_ + n : kFar; }

  const uint8_t* data_;
  size_t end_;
  size_t pos_ = 0;
};

// Hands each field, in order, to a Writer or a Reader.
template <class Io, class... Field>
void fields(Io& io, Field&... field) {
  (io(field), ...);
}

}  // namespace scanlink::codec
