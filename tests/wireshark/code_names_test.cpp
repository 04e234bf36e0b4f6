// The dissector names codes as the library's table does: every entry of the Lua table is in the
// C++ table with the same name, and the other way round. Its layout tables show a body for every
// code the library gives one, in the direction of the code's kind.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "codec/message_codes.h"

namespace {

std::string Dissector() {
  std::ifstream in(SCANLINK_DISSECTOR_PATH);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The codes keyed in the Lua table that starts at `opening`, up to its closing brace.
std::set<uint16_t> Keys(const std::string& lua, const std::string& opening) {
  std::set<uint16_t> keys;
  const size_t from = lua.find(opening);
  if (from == std::string::npos) return keys;
  const std::string table = lua.substr(from, lua.find("\n}", from) - from);
  const std::regex key(R"re(\[(0x[0-9A-Fa-f]+|[0-9]+)\]\s*=)re");
  for (std::sregex_iterator it(table.begin(), table.end(), key), end; it != end; ++it) {
    keys.insert(static_cast<uint16_t>(std::stoul((*it)[1].str(), nullptr, 0)));
  }
  return keys;
}

TEST(DissectorNames, AreTheLibrarysMessageCodeTable) {
  const std::string lua = Dissector();
  ASSERT_FALSE(lua.empty()) << SCANLINK_DISSECTOR_PATH;
  const size_t from = lua.find("local CODE_NAMES = {");
  ASSERT_NE(from, std::string::npos);
  const std::string table = lua.substr(from, lua.find("\n}", from) - from);
  std::map<uint16_t, std::string> names;
  const std::regex entry(R"re(\[(0x[0-9A-Fa-f]+|[0-9]+)\]\s*=\s*"([^"]*)")re");
  for (std::sregex_iterator it(table.begin(), table.end(), entry), end; it != end; ++it) {
    const auto code = static_cast<uint16_t>(std::stoul((*it)[1].str(), nullptr, 0));
    EXPECT_TRUE(names.emplace(code, (*it)[2].str()).second) << "twice in the Lua table: " << code;
  }
  for (const auto& c : scanlink::codec::kMessageCodes) {
    auto it = names.find(c.code);
    ASSERT_NE(it, names.end()) << "not in the Lua table: " << c.name;
    EXPECT_EQ(it->second, c.name);
    names.erase(it);
  }
  for (const auto& [code, name] : names) ADD_FAILURE() << "only in the Lua table: " << name;
}

TEST(DissectorLayouts, CoverEveryCodeWithABodyInItsDirection) {
  using scanlink::codec::BodyLayout;
  using scanlink::codec::MessageKind;
  const std::string lua = Dissector();
  ASSERT_FALSE(lua.empty()) << SCANLINK_DISSECTOR_PATH;
  std::set<uint16_t> commands = Keys(lua, "local COMMANDS = {");
  std::set<uint16_t> replies = Keys(lua, "local REPLIES = {");
  std::set<uint16_t> reports = Keys(lua, "local REPORTS = {");
  // The value replies are added in a loop over a list of codes.
  const size_t loop = lua.find("REPLIES[c] = VALUE");
  const size_t list = lua.rfind("ipairs({", loop);
  ASSERT_TRUE(loop != std::string::npos && list != std::string::npos);
  const std::string values = lua.substr(list, loop - list);
  const std::regex number(R"re(0x[0-9A-Fa-f]+|[0-9]+)re");
  for (std::sregex_iterator it(values.begin(), values.end(), number), end; it != end; ++it) {
    replies.insert(static_cast<uint16_t>(std::stoul(it->str(), nullptr, 0)));
  }

  const auto tableOf = [&](MessageKind kind) -> const std::set<uint16_t>* {
    return kind == MessageKind::kCommand ? &commands
           : kind == MessageKind::kReply ? &replies
                                         : &reports;
  };
  for (const auto& c : scanlink::codec::kMessageCodes) {
    if (c.layout != BodyLayout::kEmpty) {
      EXPECT_EQ(tableOf(c.kind)->count(c.code), 1u) << "no dissector layout for " << c.name;
    }
  }
  // Every layout the dissector has is for a code of that direction's kind.
  for (const std::set<uint16_t>* table : {&commands, &replies, &reports}) {
    for (uint16_t code : *table) {
      const auto* entry = scanlink::codec::FindMessageCode(code);
      EXPECT_TRUE(entry != nullptr && tableOf(entry->kind) == table)
          << "dissector layout for a code of another kind: " << code;
    }
  }
}

}  // namespace
