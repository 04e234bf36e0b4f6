#include "layout.h"

#include <algorithm>

#include "hex.h"

namespace scanlink::sim {
namespace {

std::size_t scalar_width(FieldKind kind) {
  switch (kind) {
    case FieldKind::kU8:
      return 1;
    case FieldKind::kU16:
    case FieldKind::kI16:
      return 2;
    case FieldKind::kU32:
      return 4;
    default:
      return 0;
  }
}

bool is_bare(const Layout& element) {
  return element.fields.size() == 1 && element.fields[0].name.empty();
}

std::uint64_t number_of(const Json& v) {
  if (v.is_number_unsigned()) return v.get<std::uint64_t>();
  if (v.is_number_integer()) return static_cast<std::uint64_t>(v.get<std::int64_t>());
  if (v.is_number_float())
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(v.get<double>()));
  if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
  return 0;
}

class Reader {
 public:
  Reader(ByteView payload, std::vector<std::string>& problems)
      : payload_(payload), problems_(problems) {}

  std::size_t offset() const { return offset_; }
  std::size_t remaining() const { return payload_.size() - offset_; }

  // Decodes the fields of one layout into obj; false once the payload ran out.
  bool fields(const Layout& layout, Json& obj) {
    for (const Field& f : layout.fields) {
      if (!field(f, obj)) return false;
    }
    return true;
  }

 private:
  bool need(const Field& f, std::size_t bytes) {
    if (remaining() >= bytes) return true;
    problems_.push_back(
        "short payload: " + std::string(f.name.empty() ? "reserved bytes" : f.name) + " needs " +
        std::to_string(bytes) + " bytes at offset " + std::to_string(offset_) + ", " +
        std::to_string(remaining()) + " left");
    return false;
  }

  bool element(const Layout& layout, Json& out) {
    Json obj = Json::object();
    bool ok = fields(layout, obj);
    if (is_bare(layout)) {
      if (ok) out = obj[""];
    } else {
      out = std::move(obj);
    }
    return ok;
  }

  bool elements(const Field& f, std::size_t count, Json& obj) {
    Json arr = Json::array();
    bool ok = true;
    for (std::size_t i = 0; i < count && ok; ++i) {
      Json e;
      ok = element(*f.element, e);
      if (ok) arr.push_back(std::move(e));
    }
    obj[std::string(f.name)] = std::move(arr);
    return ok;
  }

  bool field(const Field& f, Json& obj) {
    const std::string name(f.name);
    switch (f.kind) {
      case FieldKind::kU8:
      case FieldKind::kU16:
      case FieldKind::kU32:
      case FieldKind::kI16: {
        std::size_t w = scalar_width(f.kind);
        if (!need(f, w)) return false;
        std::uint32_t v = w == 1   ? payload_[offset_]
                          : w == 2 ? get_u16(payload_, offset_)
                                   : get_u32(payload_, offset_);
        if (f.kind == FieldKind::kI16) {
          obj[name] = static_cast<std::int16_t>(v);
        } else {
          obj[name] = v;
        }
        offset_ += w;
        return true;
      }
      case FieldKind::kHex:
      case FieldKind::kText:
      case FieldKind::kSkip: {
        if (!need(f, f.size)) return false;
        ByteView block = payload_.subspan(offset_, f.size);
        if (f.kind == FieldKind::kHex) {
          obj[name] = to_hex(block);
        } else if (f.kind == FieldKind::kText) {
          auto end = std::find(block.begin(), block.end(), std::uint8_t{0});
          obj[name] = std::string(block.begin(), end);
        }
        offset_ += f.size;
        return true;
      }
      case FieldKind::kList: {
        std::size_t count =
            obj.contains(std::string(f.count_from)) ? number_of(obj[std::string(f.count_from)]) : 0;
        return elements(f, count, obj);
      }
      case FieldKind::kArray:
        return elements(f, f.size, obj);
      case FieldKind::kRest: {
        std::size_t each = fixed_size(*f.element).value_or(1);
        std::size_t count = remaining() / each;
        bool ok = elements(f, count, obj);
        if (ok && remaining() > 0) {
          problems_.push_back(std::to_string(remaining()) + " stray bytes after " + name);
        }
        return ok;
      }
    }
    return false;
  }

  ByteView payload_;
  std::vector<std::string>& problems_;
  std::size_t offset_ = 0;
};

// The value written for a scalar: the field itself, else the size of the list counted by it, else
// 0.
std::uint64_t scalar_value(const Layout& layout, const Field& f, const Json& obj) {
  if (obj.is_object() && obj.contains(std::string(f.name)))
    return number_of(obj[std::string(f.name)]);
  for (const Field& other : layout.fields) {
    if (other.kind == FieldKind::kList && other.count_from == f.name && obj.is_object() &&
        obj.contains(std::string(other.name)) && obj[std::string(other.name)].is_array()) {
      return obj[std::string(other.name)].size();
    }
  }
  return 0;
}

void put_block(Bytes& out, const Bytes& block, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) out.push_back(i < block.size() ? block[i] : 0);
}

void encode_element(const Layout& element, const Json& value, Bytes& out) {
  if (is_bare(element)) {
    Json wrapped = Json::object();
    wrapped[""] = value;
    encode(element, wrapped, out);
  } else {
    encode(element, value, out);
  }
}

}  // namespace

Decoded decode(const Layout& layout, ByteView payload) {
  Decoded d;
  Reader r(payload, d.problems);
  r.fields(layout, d.fields);
  d.consumed = r.offset();
  if (d.problems.empty() && d.consumed < payload.size()) {
    d.problems.push_back(std::to_string(payload.size() - d.consumed) +
                         " trailing bytes after the " + std::string(layout.name) + " layout");
  }
  return d;
}

void encode(const Layout& layout, const Json& fields, Bytes& out) {
  static const Json kNone;
  auto value_of = [&](const Field& f) -> const Json& {
    if (fields.is_object()) {
      auto it = fields.find(std::string(f.name));
      if (it != fields.end()) return *it;
    }
    return kNone;
  };
  for (const Field& f : layout.fields) {
    switch (f.kind) {
      case FieldKind::kU8:
        put_u8(out, scalar_value(layout, f, fields));
        break;
      case FieldKind::kU16:
      case FieldKind::kI16:
        put_u16(out, scalar_value(layout, f, fields));
        break;
      case FieldKind::kU32:
        put_u32(out, scalar_value(layout, f, fields));
        break;
      case FieldKind::kHex: {
        const Json& v = value_of(f);
        put_block(out, v.is_string() ? from_hex(v.get<std::string>()).value_or(Bytes{}) : Bytes{},
                  f.size);
        break;
      }
      case FieldKind::kText: {
        const Json& v = value_of(f);
        std::string s = v.is_string() ? v.get<std::string>() : std::string();
        put_block(out, Bytes(s.begin(), s.end()), f.size);
        break;
      }
      case FieldKind::kSkip:
        out.insert(out.end(), f.size, 0);
        break;
      case FieldKind::kList:
      case FieldKind::kRest: {
        const Json& v = value_of(f);
        if (v.is_array()) {
          for (const Json& e : v) encode_element(*f.element, e, out);
        }
        break;
      }
      case FieldKind::kArray: {
        const Json& v = value_of(f);
        for (std::size_t i = 0; i < f.size; ++i) {
          encode_element(*f.element, v.is_array() && i < v.size() ? v[i] : Json(), out);
        }
        break;
      }
    }
  }
}

Bytes encode(const Layout& layout, const Json& fields) {
  Bytes out;
  encode(layout, fields, out);
  return out;
}

std::optional<std::size_t> fixed_size(const Layout& layout) {
  std::size_t total = 0;
  for (const Field& f : layout.fields) {
    switch (f.kind) {
      case FieldKind::kList:
      case FieldKind::kRest:
        return std::nullopt;
      case FieldKind::kArray: {
        auto each = fixed_size(*f.element);
        if (!each) return std::nullopt;
        total += *each * f.size;
        break;
      }
      case FieldKind::kHex:
      case FieldKind::kText:
      case FieldKind::kSkip:
        total += f.size;
        break;
      default:
        total += scalar_width(f.kind);
    }
  }
  return total;
}

}  // namespace scanlink::sim
