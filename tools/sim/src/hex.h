// Hex text for payloads in logs and control lines.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "bytes.h"

namespace scanlink::sim {

// Lower-case hex, two digits per byte, no separators.
std::string to_hex(ByteView bytes);

// Accepts upper or lower case; spaces, ':' and '-' between digit pairs are ignored. "-" alone is
// empty.
std::optional<Bytes> from_hex(std::string_view text);

}  // namespace scanlink::sim
