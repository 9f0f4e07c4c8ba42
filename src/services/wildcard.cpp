#include "services/wildcard.h"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "services/ascii_fold.h"

namespace wendrix {
namespace {

enum class Token : unsigned char { kLiteral, kStar, kDosStar, kDosQm, kDosDot };

// The token of the DOS name matcher that pattern[i] stands for: "*" before a dot (or left at the
// end of a pattern that ended with a dot) stops before the last dot still ahead of it, "?" may
// match nothing at a dot or the end, and a dot before "*" or "?" also matches the end of the name.
Token TokenAt(std::string_view pattern, std::size_t i, bool ended_with_dot) {
  const char c = pattern[i];
  const bool has_next = i + 1 < pattern.size();
  const char next = has_next ? pattern[i + 1] : '\0';
  if (c == '*') {
    const bool dos = (has_next && next == '.') || (!has_next && ended_with_dot);
    return dos ? Token::kDosStar : Token::kStar;
  }
  if (c == '?') return Token::kDosQm;
  if (c == '.' && has_next && (next == '*' || next == '?')) return Token::kDosDot;
  return Token::kLiteral;
}

// Entry names are at most 255 bytes on Linux; the match of such a name needs no allocation.
constexpr std::size_t kInlineName = 255;

// The match of one name, one column per pattern character: reach[j] says that the name's first j
// characters are matched by the pattern's characters handled so far, which keeps the match linear
// in pattern times name, whatever the pattern. Only positions from lo to hi, the first and last
// reached, are looked at, and next is cleared only where it may be written.
class MatchColumns {
 public:
  explicit MatchColumns(std::string_view name)
      : name_(name),
        n_(name.size()),
        // A DOS star stops before the last dot of what is left of the name where it starts.
        // Started at or before the name's last dot, that is the name's last dot; started after
        // it, no dot is left and it runs to the end. Either way the one character it can never
        // take is the name's last dot, so one test serves every start.
        last_dot_(name.rfind('.')) {
    if (n_ > kInlineName) {
      heap_columns_.resize(2 * (n_ + 1));
      reach_ = heap_columns_.data();
      next_ = reach_ + n_ + 1;
    }
    reach_[0] = 1;
  }
  MatchColumns(const MatchColumns&) = delete;
  MatchColumns& operator=(const MatchColumns&) = delete;

  // Takes one more pattern character; false when no position is reached any more.
  bool Take(Token token, char c) {
    // Worked on in locals: a write to a column is a char write, which the compiler must assume
    // may change any member, so members would be reloaded at every step.
    const std::string_view name = name_;
    const std::size_t n = n_, last_dot = last_dot_, lo = lo_, hi = hi_;
    const char* const reach = reach_;
    char* const next = next_;
    const std::size_t end = token == Token::kDosStar ? n : std::min(hi + 1, n);
    if (token != Token::kStar) std::fill(next + lo, next + end + 1, 0);
    std::size_t new_lo = n + 1, new_hi = 0;
    auto set = [&](std::size_t j) {
      next[j] = 1;
      new_lo = std::min(new_lo, j);
      new_hi = std::max(new_hi, j);
    };
    switch (token) {
      case Token::kStar:
        // Everything from the first position reached onwards.
        std::fill(next + lo, next + n + 1, 1);
        new_lo = lo;
        new_hi = n;
        break;
      case Token::kDosStar:
        // Stars extend their own matches, so they are carried forward within the column.
        for (std::size_t j = lo; j <= n; ++j) {
          const bool carried = j > lo && j - 1 != last_dot && next[j - 1];
          if ((j <= hi && reach[j]) || carried)
            set(j);
          else if (j > hi)
            break;
        }
        break;
      case Token::kDosQm:
        for (std::size_t j = lo; j <= hi; ++j)
          if (reach[j]) set(j == n || name[j] == '.' ? j : j + 1);
        break;
      case Token::kDosDot:
        for (std::size_t j = lo; j <= hi; ++j) {
          if (!reach[j]) continue;
          if (j == n)
            set(j);
          else if (name[j] == '.')
            set(j + 1);
        }
        break;
      case Token::kLiteral: {
        const char literal = AsciiLower(c);
        for (std::size_t j = lo; j <= hi && j < n; ++j)
          if (reach[j] && AsciiLower(name[j]) == literal) set(j + 1);
        break;
      }
    }
    if (new_lo > new_hi) return false;
    std::swap(reach_, next_);
    lo_ = new_lo;
    hi_ = new_hi;
    return true;
  }

  bool WholeNameMatched() const { return hi_ == n_ && reach_[n_] != 0; }

 private:
  std::string_view name_;
  std::size_t n_;
  std::size_t last_dot_;  // npos when the name has no dot
  char inline_columns_[2][kInlineName + 1];
  std::vector<char> heap_columns_;
  char* reach_ = inline_columns_[0];
  char* next_ = inline_columns_[1];
  std::size_t lo_ = 0, hi_ = 0;
};

}  // namespace

bool WildcardMatch(std::string_view pattern, std::string_view name) {
  bool ended_with_dot = false;
  while (!pattern.empty() && (pattern.back() == '.' || pattern.back() == ' ')) {
    if (pattern.back() == '.') ended_with_dot = true;
    pattern.remove_suffix(1);
  }
  if (pattern.empty() || pattern == "*.*") return true;

  MatchColumns columns(name);
  for (std::size_t i = 0; i < pattern.size(); ++i)
    if (!columns.Take(TokenAt(pattern, i, ended_with_dot), pattern[i])) return false;
  return columns.WholeNameMatched();
}

}  // namespace wendrix
