// The dissector names codes as the library's table does: every entry of the Lua table is in the
// C++ table with the same name, and the other way round.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "codec/message_codes.h"

namespace {

TEST(DissectorNames, AreTheLibrarysMessageCodeTable) {
  std::ifstream in(SCANLINK_DISSECTOR_PATH);
  ASSERT_TRUE(in) << SCANLINK_DISSECTOR_PATH;
  std::stringstream text;
  text << in.rdbuf();
  const std::string lua = text.str();
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

}  // namespace
