#include "codec/text.h"

#include <cstring>

namespace scanlink::codec {
namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool parse_mac_text(const char* text, unsigned char out[6]) {
  if (text == nullptr) return false;
  unsigned char bytes[6];
  for (int group = 0; group < 6; ++group) {
    const char* p = text + 3 * group;
    // A separator is never examined, only required to be there: the terminator is not one.
    if (group > 0 && p[-1] == '\0') return false;
    const int high = hex_digit(p[0]);
    if (high < 0) return false;
    const int low = hex_digit(p[1]);
    if (low < 0) return false;
    bytes[group] = static_cast<unsigned char>(high * 16 + low);
  }
  std::memcpy(out, bytes, sizeof bytes);
  return true;
}

}  // namespace scanlink::codec
