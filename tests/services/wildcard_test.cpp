#include "services/wildcard.h"

#include <gtest/gtest.h>

namespace wendrix {
namespace {

// Empty, "*.*" and trailing dots/blanks match every name (trailing dots go first, so what is left
// may be "*.*"); ASCII letters fold, other bytes not; "*" before a dot stops before the last dot
// of the part of the name still ahead of it, so one that starts after the name's last dot runs to
// the end; a pattern ending with a dot takes names without one; "?" is one character, or nothing
// at a dot or the end; a dot before "*" or "?" also matches the end. Several stars and dots
// against names with no, one and two dots, leading dots and blanks.
TEST(WildcardMatch, FollowsTheDosReadingsOfStarQuestionMarkAndDot) {
  struct Case {
    const char *pattern, *name;
    bool match;
  };
  const Case cases[] = {
      {"", "README", true},       {"*.*", "..", true},           {".", "x", true},
      {"*.* ", "a.b.c", true},    {"*.JPG", "photo.jpg", true},  {"\xc3\xa9", "\xc3\x89", false},
      {"*.txt", "a.b.txt", true}, {"*.txt", "a.txt.bak", false}, {"*.txt", "txt", false},
      {"*a*", "xyz", false},      {"*.", "README", true},        {"*.", "a.txt", false},
      {"a*.", "abc.d", false},    {"abc.", "abc", true},         {"a?", "a", true},
      {"??.txt", "a.txt", true},  {"??.txt", "abc.txt", false},  {"a?b", "ab", false},
      {"a?b", "a.b", false},      {"report.*", "report", true},  {"report.*", "reports", false},
      {".*", ".hidden", true},    {".*", "visible", false},      {"*.?", "a.bc", false},
      {"*.*.*", "abc", true},     {"*.*.*", "a.a", true},        {"*.*.*", ".a", true},
      {"*.*.*", ".aaa", true},    {"*.*.*", "a.b.c", true},      {"*.*.*", "a.", true},
      {".*.", ".a", true},        {".*.", ".a.b", false},        {".*.", "abc", false},
      {".*.", "..a", false},      {".*.*", ".a", true},          {".*.*", ".a.b", true},
      {".*.*", "a", false},       {"a.*.", "a.b", true},         {"a.*.", "a", true},
      {"a.*.", "a.b.c", false},   {"*a*.", "b.ab", true},        {"*a*.", "bab", true},
      {"*a*.", "ba.b", false},    {"*.", ".a", false},           {"*.", "a.", false},
      {"**.", "a.b", true},       {"*.b", "a.b.b", true},        {"*.b", "a.b.c", false},
      {"*.b", ".b", true},        {"*..*", "a..b", true},        {"*..*", "a.b", false},
      {"*..*", "a.", true},       {"*..*", "abc", false},        {"*.?", "abc", true},
      {"*.?", ".a.b", true},      {"*.txt", ".txt", true},       {"* b.txt", "a  b.txt", true},
      {"*.txt ", "a.txt", true},  {"*.txt", "a.txt ", false},    {" *", " a", true},
      {" *", "a", false},         {"*. .", "a b", true},         {"*. .", "a.b", false},
      {"*.*.", "a.b", true},      {"*.*..", "a.b.c", true},      {"*.*. .", ".x", true},
      {"*.*.", "abc", true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(WildcardMatch(c.pattern, c.name), c.match) << c.pattern << " vs " << c.name;
  // Linear in pattern times name: a backtracking matcher would not finish this.
  EXPECT_FALSE(WildcardMatch("*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b", std::string(4000, 'a')));
}

}  // namespace
}  // namespace wendrix
