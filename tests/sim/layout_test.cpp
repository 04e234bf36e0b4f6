// The field-table engine that both the command decoder and the reply/report encoders run on.
#include "layout.h"

#include <gtest/gtest.h>

namespace scanlink::sim {
namespace {
using namespace layout_dsl;

constexpr Field kPairFields[] = {u32("first"), u16("second")};
constexpr Layout kPair{"pair", kPairFields};
constexpr Field kWordFields[] = {u16("")};
constexpr Layout kWord{"word", kWordFields};
constexpr Field kListFields[] = {u8("count"), list("entries", "count", kPair), i16("tail")};
constexpr Layout kList{"list", kListFields};
constexpr Field kRestFields[] = {u32("start"), rest("points", kWord)};
constexpr Layout kRest{"rest", kRestFields};
constexpr Field kBlockFields[] = {hex("block", 4), skip(2), text("name", 6)};
constexpr Layout kBlock{"block", kBlockFields};

TEST(Layout, ListIsReadForItsCountAndFollowedByTheNextField) {
  Bytes payload{0x02, 0, 0, 0x03, 0xB6, 0xFF, 0xFF, 0, 0, 0, 1, 0, 2, 0xFF, 0xFE};
  Decoded d = decode(kList, payload);
  EXPECT_TRUE(d.problems.empty());
  EXPECT_EQ(d.consumed, payload.size());
  ASSERT_EQ(d.fields["entries"].size(), 2u);
  EXPECT_EQ(d.fields["entries"][0]["first"], 950);
  EXPECT_EQ(d.fields["entries"][0]["second"], 0xFFFF);
  EXPECT_EQ(d.fields["entries"][1]["second"], 2);
  EXPECT_EQ(d.fields["tail"], -2);
  EXPECT_EQ(encode(kList, d.fields), payload);
}

TEST(Layout, EncodingTakesAMissingCountFromTheListButKeepsAGivenOne) {
  Json f{{"entries", {{{"first", 1}, {"second", 2}}}}};
  Bytes derived = encode(kList, f);
  EXPECT_EQ(derived, (Bytes{1, 0, 0, 0, 1, 0, 2, 0, 0}));
  // A test may want a count that disagrees with the list: it is written as given.
  f["count"] = 5;
  EXPECT_EQ(encode(kList, f)[0], 5);
}

TEST(Layout, ShortPayloadStopsAtTheFieldThatDoesNotFitAndSaysSo) {
  Bytes payload{0x02, 0, 0, 0x03, 0xB6, 0xFF, 0xFF, 0, 0};
  Decoded d = decode(kList, payload);
  ASSERT_EQ(d.problems.size(), 1u);
  EXPECT_NE(d.problems[0].find("first"), std::string::npos);
  EXPECT_EQ(d.fields["entries"].size(), 1u);
}

TEST(Layout, TrailingBytesAreReported) {
  Decoded d = decode(kList, Bytes{0, 0, 1, 9});
  ASSERT_EQ(d.problems.size(), 1u);
  EXPECT_NE(d.problems[0].find("1 trailing"), std::string::npos);
}

TEST(Layout, RestListTakesWholeElementsToTheEnd) {
  Decoded d = decode(kRest, Bytes{0, 0, 0, 10, 0, 1, 0, 2, 7});
  EXPECT_EQ(d.fields["points"], Json::array({1, 2}));
  ASSERT_EQ(d.problems.size(), 1u);  // the odd byte
}

TEST(Layout, BlocksAreFixedWidthWhateverTheirContent) {
  Bytes b = encode(kBlock, {{"block", "a1b2"}, {"name", "toolongname"}});
  EXPECT_EQ(b, (Bytes{0xA1, 0xB2, 0, 0, 0, 0, 't', 'o', 'o', 'l', 'o', 'n'}));
  Decoded d = decode(kBlock, encode(kBlock, {{"name", "ab"}}));
  EXPECT_EQ(d.fields["block"], "00000000");
  EXPECT_EQ(d.fields["name"], "ab");
  EXPECT_FALSE(d.fields.contains(""));
  EXPECT_EQ(fixed_size(kBlock), 12u);
  EXPECT_FALSE(fixed_size(kList).has_value());
}

}  // namespace
}  // namespace scanlink::sim
