// Address texts: MAC as six two-digit hex groups at fixed places, separators never examined;
// IPv4 in strict dotted-decimal form only.
#include "codec/text.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <optional>

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
      {"00-1a-2B-3c-4D-5e and more", false, untouched},
      {"00-1a-2B-3c-4D-5e-77", false, untouched},
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

TEST(ParseIpv4Text, ReadsStrictDottedDecimalOrRefuses) {
  const struct {
    const char* text;
    std::optional<uint32_t> address;
  } cases[] = {
      {"192.168.0.10", 0xC0A8000Au},
      {"0.0.0.0", 0u},
      {"255.255.255.255", 0xFFFFFFFFu},
      {"1.2.3.256", std::nullopt},
      {"127.1", std::nullopt},
      {"1.2.3.4.", std::nullopt},
      {"1.2.3.4 ", std::nullopt},
      {"1..3.4", std::nullopt},
      {"01.2.3.4", std::nullopt},
      {"0x7f.0.0.1", std::nullopt},
      {"-1.2.3.4", std::nullopt},
      {"1.2.3.99999999999", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_ipv4_text(c.text), c.address) << c.text;
  EXPECT_EQ(parse_ipv4_text(nullptr), std::nullopt);
}

}  // namespace
}  // namespace scanlink::codec
