// MAC address text: six two-digit hex groups at fixed places, separators never examined.
#include "codec/text.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>

namespace scanlink::codec {
namespace {

using Mac = std::array<unsigned char, 6>;

struct MacCase {
  const char* text;
  bool ok;
  Mac bytes;
};

TEST(ParseMacText, ReadsSixHexGroupsOrRefuses) {
  const Mac expected{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
  const Mac untouched{0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  const MacCase cases[] = {
      {"00-1a-2B-3c-4D-5e", true, expected},
      {"00:1A:2B:3C:4D:5E", true, expected},
      {"00 1a\t2b.3C\x01"
       "4d-5E",
       true, expected},
      {"00-1a-2B-3c-4D-5e and more", true, expected},
      {"ff-FF-fF-Ff-00-09", true, {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x09}},
      {"00-1a-2B-3c-4D-5g", false, untouched},
      {"0x-1a-2B-3c-4D-5e", false, untouched},
      {"00-1a-2B-3c-4D-5", false, untouched},
      {"00-1a-2B-3c-4D-", false, untouched},
      {"00-1a-2B-3c-4D", false, untouched},
      {"0-1a-2B-3c-4D-5e", false, untouched},
      {"", false, untouched},
  };
  for (const MacCase& c : cases) {
    // An exact-size copy, so reading past the terminator would be caught.
    const size_t size = std::strlen(c.text) + 1;
    auto text = std::make_unique<char[]>(size);
    std::memcpy(text.get(), c.text, size);
    Mac out = untouched;
    EXPECT_EQ(parse_mac_text(text.get(), out.data()), c.ok) << c.text;
    EXPECT_EQ(out, c.bytes) << c.text;
  }
  Mac out = untouched;
  EXPECT_FALSE(parse_mac_text(nullptr, out.data()));
}

}  // namespace
}  // namespace scanlink::codec
