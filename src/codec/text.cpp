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
  // A seventh group or any trailing text means the caller meant another address.
  if (text[17] != '\0') return false;
  std::memcpy(out, bytes, sizeof bytes);
  return true;
}

std::optional<uint32_t> parse_ipv4_text(const char* text) {
  if (text == nullptr) return std::nullopt;
  uint32_t address = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && *text++ != '.') return std::nullopt;
    if (*text < '0' || *text > '9') return std::nullopt;
    unsigned value = 0;
    int digits = 0;
    for (; *text >= '0' && *text <= '9'; ++text, ++digits) {
      // "010" would read as octal elsewhere: refused rather than guessed.
      if (digits == 1 && value == 0) return std::nullopt;
      value = value * 10 + static_cast<unsigned>(*text - '0');
      if (value > 255) return std::nullopt;
    }
    address = address << 8 | value;
  }
  if (*text != '\0') return std::nullopt;
  return address;
}

}  // namespace scanlink::codec
