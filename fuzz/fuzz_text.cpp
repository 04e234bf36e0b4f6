// The small text and number conversions. Byte 0 picks the unit; the rest is its input:
//   0 MAC text, 1 GPS text (byte 1 limits the size handed over), 2 GeoDistance, 3 IPv4 text.
#include <arpa/inet.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "check.h"
#include "codec/gps_check.h"
#include "codec/text.h"

namespace {

using scanlink::codec::GeoDistance;
using scanlink::codec::GeoPosition;
using scanlink::codec::ParseGpsPosition;

// A NUL-terminated heap copy with nothing after the terminator to read into.
std::unique_ptr<char[]> CString(const uint8_t* data, size_t size) {
  auto text = std::make_unique<char[]>(size + 1);
  std::memcpy(text.get(), data, size);
  text[size] = '\0';
  return text;
}

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void Mac(const uint8_t* data, size_t size) {
  auto text = CString(data, size);
  unsigned char out[6];
  std::memset(out, 0xA5, sizeof out);
  const bool ok = scanlink::codec::parse_mac_text(text.get(), out);

  // Six pairs of hex digits three characters apart, and nothing after them.
  unsigned char want[6];
  bool valid = std::strlen(text.get()) == 17;
  for (int g = 0; valid && g < 6; ++g) {
    const int high = Hex(text[3 * g]);
    const int low = Hex(text[3 * g + 1]);
    valid = high >= 0 && low >= 0;
    want[g] = static_cast<unsigned char>(high * 16 + low);
  }
  FUZZ_CHECK(ok == valid);
  if (ok) {
    FUZZ_CHECK(std::memcmp(out, want, sizeof out) == 0);
  } else {
    for (unsigned char b : out) FUZZ_CHECK(b == 0xA5);
  }
}

void Gps(const uint8_t* data, size_t size) {
  if (size < 1) return;
  const size_t limit = data[0];
  ++data;
  --size;
  // Exactly `size` bytes, unterminated: reading past them is a heap overflow.
  auto exact = std::make_unique<char[]>(size);
  std::memcpy(exact.get(), data, size);
  const GeoPosition p = ParseGpsPosition(exact.get(), std::min(limit, size));
  FUZZ_CHECK(std::isfinite(p.longitude) && std::isfinite(p.latitude));

  // The text ends at its terminator or at the size, whichever comes first.
  const size_t length = strnlen(exact.get(), std::min(limit, size));
  const std::string text(exact.get(), length);
  const GeoPosition q = ParseGpsPosition(text.c_str(), text.size() + 1);
  FUZZ_CHECK(p.longitude == q.longitude && p.latitude == q.latitude);
  if (text.find('E') == std::string::npos || text.find('N') == std::string::npos) {
    FUZZ_CHECK(p.longitude == 180.0 && p.latitude == 90.0);
  }
}

double Unit(const uint8_t* b) {  // [0, 1] from 4 bytes
  uint32_t v;
  std::memcpy(&v, b, sizeof v);
  return v / 4294967295.0;
}

void Geo(const uint8_t* data, size_t size) {
  if (size < 1 + 32) return;
  const uint8_t mode = data[0] % 4;
  ++data;
  GeoPosition a, b;
  if (mode == 0) {  // any doubles at all: the result is still a finite number
    std::memcpy(&a.longitude, data, 8);
    std::memcpy(&a.latitude, data + 8, 8);
    std::memcpy(&b.longitude, data + 16, 8);
    std::memcpy(&b.latitude, data + 24, 8);
    FUZZ_CHECK(std::isfinite(GeoDistance(a, b)));
    return;
  }
  a = {-180 + 360 * Unit(data), -90 + 180 * Unit(data + 4)};
  if (mode == 1) {
    b = {-180 + 360 * Unit(data + 8), -90 + 180 * Unit(data + 12)};
  } else {
    // Nearly the same point, or nearly its antipode: where rounding pushes the cosine past 1.
    int32_t dlon, dlat;
    std::memcpy(&dlon, data + 8, 4);
    std::memcpy(&dlat, data + 12, 4);
    const double scale = std::ldexp(1.0, -(data[16] % 64));
    b = mode == 2 ? a : GeoPosition{a.longitude + 180, -a.latitude};
    b.longitude = std::clamp(b.longitude + dlon * scale * 1e-9, -180.0, 360.0);
    b.latitude = std::clamp(b.latitude + dlat * scale * 1e-9, -90.0, 90.0);
  }
  const double d = GeoDistance(a, b);
  FUZZ_CHECK(std::isfinite(d));
  // No two points on the ellipsoid are further apart than half a meridian.
  FUZZ_CHECK(d >= 0 && d <= 20040.0);
  FUZZ_CHECK(std::fabs(d - GeoDistance(b, a)) <= 1e-6);
}

void Ipv4(const uint8_t* data, size_t size) {
  auto text = CString(data, size);
  // The system's strict dotted form is the reference: the same texts accepted, the same address.
  in_addr reference{};
  const bool accepted = inet_pton(AF_INET, text.get(), &reference) == 1;
  const std::optional<uint32_t> host = scanlink::codec::parse_ipv4_text(text.get());
  FUZZ_CHECK(host.has_value() == accepted);
  if (host) FUZZ_CHECK(*host == ntohl(reference.s_addr));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  switch (data[0] % 4) {
    case 0:
      Mac(data + 1, size - 1);
      break;
    case 1:
      Gps(data + 1, size - 1);
      break;
    case 2:
      Geo(data + 1, size - 1);
      break;
    default:
      Ipv4(data + 1, size - 1);
      break;
  }
  return 0;
}
