// The conversions a UTF-8 settings file needs on a system whose narrow encoding is single-byte.
#include "settings/settings_parser.h"

#include <gtest/gtest.h>

#include <string>

namespace wendrix::detail {
namespace {

TEST(Utf8ToSingleByte, FollowsTheConversionTable) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"plain ASCII", "plain ASCII"},
      {"caf\xC3\xA9", "caf\xE9"},        // U+00E9 is one byte
      {"\xC2\x80\xC3\xBF", "\x80\xFF"},  // both ends of the single-byte range
      {"\xC1\xBF", "\x7F"},              // an overlong form keeps its value
      {"\xC4\x80", "?"},                 // U+0100 is beyond one byte
      {"\xC3"
       "A",
       "?A"},                   // lead without continuation: "?" and the next byte
      {"a\xC3", "a"},           // lead cut off by the end: dropped
      {"\xE2\x82\xAC!", "?!"},  // three-byte form
      {"\xE2"
       "AB",
       "?AB"},  // three-byte lead, nothing to swallow
      {"\xE2\x82"
       "A",
       "?A"},                       // one continuation swallowed
      {"\xE2\x82", ""},             // runs past the end
      {"\xF0\x9F\x98\x80x", "?x"},  // four-byte form
      {"\xF0\x9F\x98", ""},         // runs past the end, strays dropped
      {"\x80\xBFz\xF8\xFF", "z"},   // stray continuations and invalid leads
      {std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const Case& c : cases) EXPECT_EQ(Utf8ToSingleByte(c.in), c.out) << c.in;
}

TEST(SingleByteToUtf8, RaisesUpperHalfToTwoBytesAndRoundTrips) {
  EXPECT_EQ(SingleByteToUtf8("abc"), "abc");
  EXPECT_EQ(SingleByteToUtf8("\xE9\x80\xFF"), "\xC3\xA9\xC2\x80\xC3\xBF");
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  EXPECT_EQ(Utf8ToSingleByte(SingleByteToUtf8(all)), all);
}

TEST(ValueText, ConvertsBetweenTheTwoTrimsOnlyForUtf8FilesOnSingleByteSystems) {
  EXPECT_EQ(ValueText(" \tcaf\xC3\xA9 \t", true, false), "caf\xE9");
  // Dropping a cut-off lead byte can expose a blank that is then trimmed.
  EXPECT_EQ(ValueText("x \xC3", true, false), "x");
  EXPECT_EQ(ValueText(" caf\xC3\xA9 ", false, false), "caf\xC3\xA9");
  EXPECT_EQ(ValueText(" caf\xC3\xA9 ", true, true), "caf\xC3\xA9");
}

TEST(ParseSettings, RecordsKindsAndByteOrderMark) {
  const ParsedSettings parsed = ParseSettings("\xEF\xBB\xBF;c\r\n[G]x\r\n[H\r\nk  =  v \r\nbare");
  EXPECT_TRUE(parsed.utf8);
  ASSERT_EQ(parsed.entries.size(), 5u);
  EXPECT_EQ(parsed.entries[0].kind, EntryKind::kComment);
  EXPECT_EQ(parsed.entries[0].text, "c");
  EXPECT_EQ(parsed.entries[1].kind, EntryKind::kGroup);
  EXPECT_EQ(parsed.entries[1].text, "G");
  EXPECT_EQ(parsed.entries[2].text, "H");  // no "]": the name runs to the line end
  EXPECT_EQ(parsed.entries[3].key, "k");
  EXPECT_EQ(parsed.entries[3].text, "v ");  // trailing blanks go only when read
  EXPECT_EQ(parsed.entries[4].key, "bare");
  EXPECT_EQ(parsed.entries[4].text, "");
  EXPECT_EQ(ComposeSettings(parsed.entries), "; c\r\n[G]\r\n[H]\r\nk = v \r\nbare = \r\n");
  EXPECT_FALSE(ParseSettings("\xEF\xBB").utf8);
}

}  // namespace
}  // namespace wendrix::detail
