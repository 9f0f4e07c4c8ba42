#include "services/wildcard.h"

#include <gtest/gtest.h>

namespace wendrix {
namespace {

struct Case {
  const char* pattern;
  const char* name;
  bool match;
};

TEST(WildcardMatch, FollowsTheDosReadingsOfStarQuestionMarkAndDot) {
  const Case cases[] = {// Empty, "*.*" and trailing dots/blanks: every name, with or without a dot.
                        {"", "README", true},
                        {"*.*", "README", true},
                        {"*.*", "..", true},
                        {".", "x", true},
                        {"*.* ", "a.b.c", true},
                        // ASCII letters fold; other bytes compare as they are.
                        {"*.JPG", "photo.jpg", true},
                        {"doc", "DOC", true},
                        {"doc", "docs", false},
                        {"\xc3\xa9", "\xc3\x89", false},
                        // "*" before a dot stops at the name's last dot.
                        {"*.txt", "a.b.txt", true},
                        {"*.txt", "a.txt.bak", false},
                        {"*.txt", "txt", false},
                        {"*a", "banana", true},
                        {"*a*", "xyz", false},
                        // A pattern ending with a dot: names without one.
                        {"*.", "README", true},
                        {"*.", "a.txt", false},
                        {"a*.", "abc", true},
                        {"a*.", "abc.d", false},
                        {"abc.", "abc", true},
                        // "?": one character, or nothing at a dot or the end.
                        {"?", "ab", false},
                        {"a?", "a", true},
                        {"??.txt", "a.txt", true},
                        {"??.txt", "abc.txt", false},
                        {"a?b", "ab", false},
                        {"a?b", "a.b", false},
                        // A dot before "*" or "?" also matches the end.
                        {"report.*", "report", true},
                        {"report.*", "reports", false},
                        {".*", ".hidden", true},
                        {".*", "visible", false},
                        {"*.?", "a.bc", false}};
  for (const Case& c : cases)
    EXPECT_EQ(WildcardMatch(c.pattern, c.name), c.match) << c.pattern << " vs " << c.name;
  // Linear in pattern times name: a backtracking matcher would not finish this.
  EXPECT_FALSE(WildcardMatch("*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b", std::string(4000, 'a')));
}

}  // namespace
}  // namespace wendrix
