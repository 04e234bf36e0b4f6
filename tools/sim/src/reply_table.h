// Replies the scanner sends to commands: their layouts and which command gets which.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "layout.h"

namespace scanlink::sim {

namespace reply_layout {
const Layout& value();         // u16 result, 0 = success
const Layout& two_block();     // codes 5 and 21
const Layout& one_value();     // code 23
const Layout& family();        // code 44
const Layout& td_two_block();  // code 0xF015
const Layout& battery();       // code 0xF031
}  // namespace reply_layout

// A command answered with data gets code + 1; one answered with a result value gets code + 2.
struct ReplyPlan {
  std::optional<std::uint16_t> data_code;
  std::optional<std::uint16_t> value_code;
};

ReplyPlan reply_plan(std::uint16_t command_code);

std::string_view reply_name(std::uint16_t code);

}  // namespace scanlink::sim
