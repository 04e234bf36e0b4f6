// Small text conversions of the command operations.
#pragma once

#include <cstdint>
#include <optional>

namespace scanlink::codec {

// A MAC address written as six groups of two hex digits at characters 0, 3, 6, 9, 12 and 15, in
// either case, with any one character between groups, and nothing after the sixth. False, leaving
// out unchanged, when a digit is not hex or the text ends early or goes on.
bool parse_mac_text(const char* text, unsigned char out[6]);

// An IPv4 address in strict dotted-decimal form: four numbers 0..255 without leading zeros, and
// nothing else. Host byte order, the first number most significant; nullopt for any other text.
std::optional<uint32_t> parse_ipv4_text(const char* text);

}  // namespace scanlink::codec
