// The conversions a UTF-8 settings file needs on a system whose narrow encoding is single-byte.
#include "settings/settings_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace wendrix::detail {
namespace {

TEST(Utf8Conversion, FollowsTheTableAndRoundTripsEveryByte) {
  const std::pair<std::string, std::string> cases[] = {
      {"caf\xC3\xA9", "caf\xE9"},
      {"\xC2\x80\xC3\xBF", "\x80\xFF"},
      {"\xC1\xBF", "\x7F"},
      {"\xC4\x80", "?"},  // U+0100 is beyond one byte
      {"\xC3"
       "A",
       "?A"},
      {"a\xC3", "a"},  // cut off by the value's end
      {"\xE2\x82\xAC!", "?!"},
      {"\xE2"
       "AB",
       "?AB"},
      {"\xE2\x82"
       "A",
       "?A"},
      {"\xE2\x82", ""},
      {"\xF0\x9F\x98\x80x", "?x"},
      {"\xF0\x9F\x98", ""},
      {"\x80\xBFz\xF8\xFF", "z"},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(Utf8ToSingleByte(in), out) << in;
  EXPECT_EQ(SingleByteToUtf8("a\xE9\xFF"), "a\xC3\xA9\xC3\xBF");
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  EXPECT_EQ(Utf8ToSingleByte(SingleByteToUtf8(all)), all);
  // Converted between the two trims, only for a UTF-8 file on a single-byte system.
  EXPECT_EQ(ValueText(" \tcaf\xC3\xA9 \t", true, false), "caf\xE9");
  EXPECT_EQ(ValueText("x \xC3", true, false), "x");
  EXPECT_EQ(ValueText(" caf\xC3\xA9 ", false, false), "caf\xC3\xA9");
  EXPECT_EQ(ValueText(" caf\xC3\xA9 ", true, true), "caf\xC3\xA9");
}

}  // namespace
}  // namespace wendrix::detail
