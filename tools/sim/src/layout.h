// Payload layouts written once as field tables; one decoder and one encoder walk them.
//
// A table reads like the layout it describes: field name, width, order. Decoding yields a JSON
// object keyed by the field names (the names the log shows); encoding takes such an object back to
// bytes, with missing fields as zero and a missing count taken from the size of its list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bytes.h"

namespace scanlink::sim {

using Json = nlohmann::ordered_json;

enum class FieldKind : std::uint8_t {
  kU8,
  kU16,
  kU32,
  kI16,
  kHex,    // fixed byte block, shown as hex text
  kText,   // fixed NUL-padded text, shown as a string
  kSkip,   // reserved bytes: written as zero, not shown
  kList,   // count-driven list; the count is an earlier field of the same layout
  kArray,  // fixed number of elements
  kRest,   // elements up to the end of the payload; the wire carries no count
};

struct Layout;

struct Field {
  std::string_view name;
  FieldKind kind;
  std::size_t size = 0;              // bytes of kHex/kText/kSkip, elements of kArray
  std::string_view count_from = {};  // kList: the field holding its count
  const Layout* element = nullptr;   // kList/kArray/kRest
};

// An element layout with a single unnamed field stands for a bare value rather than an object.
struct Layout {
  std::string_view name;
  std::span<const Field> fields;
};

namespace layout_dsl {
constexpr Field u8(std::string_view n) { return {n, FieldKind::kU8}; }
constexpr Field u16(std::string_view n) { return {n, FieldKind::kU16}; }
constexpr Field u32(std::string_view n) { return {n, FieldKind::kU32}; }
constexpr Field i16(std::string_view n) { return {n, FieldKind::kI16}; }
constexpr Field hex(std::string_view n, std::size_t bytes) { return {n, FieldKind::kHex, bytes}; }
constexpr Field text(std::string_view n, std::size_t bytes) { return {n, FieldKind::kText, bytes}; }
constexpr Field skip(std::size_t bytes) { return {"", FieldKind::kSkip, bytes}; }
constexpr Field list(std::string_view n, std::string_view count_from, const Layout& element) {
  return {n, FieldKind::kList, 0, count_from, &element};
}
constexpr Field array(std::string_view n, std::size_t count, const Layout& element) {
  return {n, FieldKind::kArray, count, {}, &element};
}
constexpr Field rest(std::string_view n, const Layout& element) {
  return {n, FieldKind::kRest, 0, {}, &element};
}
}  // namespace layout_dsl

struct Decoded {
  Json fields = Json::object();
  std::size_t consumed = 0;           // payload bytes the layout read
  std::vector<std::string> problems;  // short payload, trailing bytes, ...
};

// Decodes the payload; a short payload stops at the first field that does not fit and says so.
Decoded decode(const Layout& layout, ByteView payload);

void encode(const Layout& layout, const Json& fields, Bytes& out);
Bytes encode(const Layout& layout, const Json& fields);

// Size of a layout without lists; nullopt when it has a list or rest field.
std::optional<std::size_t> fixed_size(const Layout& layout);

}  // namespace scanlink::sim
