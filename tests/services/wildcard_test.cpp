#include "services/wildcard.h"

#include <gtest/gtest.h>

namespace wendrix {
namespace {

struct Case {
  const char* pattern;
  const char* name;
  bool match;
};

void ExpectTable(std::initializer_list<Case> cases) {
  for (const Case& c : cases)
    EXPECT_EQ(WildcardMatch(c.pattern, c.name), c.match)
        << "pattern \"" << c.pattern << "\" name \"" << c.name << "\"";
}

TEST(WildcardMatch, EmptyAndStarDotStarMatchEveryName) {
  ExpectTable({{"", "README", true},
               {"*.*", "README", true},
               {"*.*", ".", true},
               {"*.*", "..", true},
               {"*.*", "a.b.c", true},
               {"*", "anything.at.all", true},
               {".", "README", true},  // only a dot: nothing left after the trailing dots
               {"*.* ", "README", true}});
}

TEST(WildcardMatch, LettersMatchWithoutRegardToAsciiCase) {
  ExpectTable({{"*.JPG", "photo.jpg", true},
               {"*.jpg", "PHOTO.JPG", true},
               {"doc", "DOC", true},
               {"doc", "docs", false},
               {"doc", "do", false},
               // Bytes beyond ASCII are compared as they are.
               {"\xc3\xa9t\xc3\xa9", "\xc3\xa9T\xc3\xa9", true},
               {"\xc3\xa9", "\xc3\x89", false}});
}

TEST(WildcardMatch, StarBeforeDotStopsAtTheLastDot) {
  ExpectTable({{"*.txt", "a.txt", true},
               {"*.txt", "a.b.txt", true},
               {"*.txt", "a.txt.bak", false},
               {"*.txt", "txt", false},
               {"*.txt", ".txt", true},
               {"a*.b", "a.x.b", true},
               {"*a", "banana", true},
               {"*a*", "xyz", false}});
}

TEST(WildcardMatch, PatternEndingWithDotMatchesNamesWithoutDot) {
  ExpectTable({{"*.", "README", true},
               {"*.", "a.txt", false},
               {"a*.", "abc", true},
               {"a*.", "abc.d", false},
               {"a*.", "bcd", false},
               {"abc.", "abc", true},
               {"abc..", "abc", true}});
}

TEST(WildcardMatch, QuestionMarkMatchesOneCharacterOrNothingAtDotOrEnd) {
  ExpectTable({{"?", "a", true},
               {"?", "ab", false},
               {"a?", "a", true},
               {"a?", "ab", true},
               {"a?", "abc", false},
               {"??.txt", "a.txt", true},
               {"??.txt", "ab.txt", true},
               {"??.txt", "abc.txt", false},
               {"a?b", "axb", true},
               {"a?b", "ab", false},
               {"a?b", "a.b", false}});
}

TEST(WildcardMatch, DotBeforeWildcardAlsoMatchesTheEnd) {
  ExpectTable({{"report.*", "report", true},
               {"report.*", "report.old", true},
               {"report.*", "reports", false},
               {"report.?", "report", true},
               {".*", ".hidden", true},
               {".*", "visible", false},
               {"*.?", "a.b", true},
               {"*.?", "a.bc", false}});
}

TEST(WildcardMatch, ManyStarsStayFast) {
  // A backtracking matcher would take ages here.
  const std::string name(4000, 'a');
  EXPECT_FALSE(WildcardMatch("*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b", name));
  EXPECT_TRUE(WildcardMatch("*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*", name));
}

}  // namespace
}  // namespace wendrix
