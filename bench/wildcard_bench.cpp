// The name matcher on 100,000 names against 20 patterns, against the matcher it replaced (the
// one whose DOS star stopped at the whole name's last dot), measured in one run. Prints the time
// ratio at the end (current / previous).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "services/wildcard.h"

namespace {

// The previous matcher, kept verbatim as the peer.
namespace previous {

enum class Token : unsigned char { kLiteral, kStar, kDosStar, kDosQm, kDosDot };

struct Piece {
  Token token;
  char literal;
};

char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Turns the pattern into the tokens of the DOS name matcher: "*" before a dot (or left at the
// end of a pattern that ended with a dot) stops at the name's last dot, "?" may match nothing
// at a dot or the end, and a dot before "*" or "?" also matches the end of the name.
std::vector<Piece> Compile(std::string_view pattern, bool ended_with_dot) {
  std::vector<Piece> pieces;
  pieces.reserve(pattern.size());
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    const bool has_next = i + 1 < pattern.size();
    const char next = has_next ? pattern[i + 1] : '\0';
    if (c == '*') {
      const bool dos = (has_next && next == '.') || (!has_next && ended_with_dot);
      pieces.push_back({dos ? Token::kDosStar : Token::kStar, 0});
    } else if (c == '?') {
      pieces.push_back({Token::kDosQm, 0});
    } else if (c == '.' && has_next && (next == '*' || next == '?')) {
      pieces.push_back({Token::kDosDot, 0});
    } else {
      pieces.push_back({Token::kLiteral, Fold(c)});
    }
  }
  return pieces;
}

bool WildcardMatch(std::string_view pattern, std::string_view name) {
  bool ended_with_dot = false;
  while (!pattern.empty() && (pattern.back() == '.' || pattern.back() == ' ')) {
    if (pattern.back() == '.') ended_with_dot = true;
    pattern.remove_suffix(1);
  }
  if (pattern.empty() || pattern == "*.*") return true;

  const std::vector<Piece> pieces = Compile(pattern, ended_with_dot);
  const std::size_t n = name.size();
  const std::size_t last_dot = name.rfind('.');  // npos when the name has no dot
  const std::size_t star_limit = last_dot == std::string_view::npos ? n : last_dot;

  // reach[j]: the name's first j characters are matched by the pieces handled so far. One
  // column per piece keeps the match linear in pattern times name, whatever the pattern.
  std::vector<char> reach(n + 1, 0), next(n + 1, 0);
  reach[0] = 1;
  for (const Piece& piece : pieces) {
    std::fill(next.begin(), next.end(), 0);
    bool any = false;
    for (std::size_t j = 0; j <= n; ++j) {
      // Stars extend their own matches, so they are carried forward within the column.
      const bool here =
          reach[j] || ((piece.token == Token::kStar) && j > 0 && next[j - 1]) ||
          (piece.token == Token::kDosStar && j > 0 && j - 1 < star_limit && next[j - 1]);
      switch (piece.token) {
        case Token::kStar:
        case Token::kDosStar:
          if (here) next[j] = 1;
          break;
        case Token::kDosQm:
          if (!reach[j]) break;
          if (j == n || name[j] == '.')
            next[j] = 1;
          else
            next[j + 1] = 1;
          break;
        case Token::kDosDot:
          if (!reach[j]) break;
          if (j == n)
            next[j] = 1;
          else if (name[j] == '.')
            next[j + 1] = 1;
          break;
        case Token::kLiteral:
          if (reach[j] && j < n && Fold(name[j]) == piece.literal) next[j + 1] = 1;
          break;
      }
    }
    reach.swap(next);
    for (char r : reach) any = any || r;
    if (!any) return false;
  }
  return reach[n] != 0;
}

}  // namespace previous

// Names of the kinds a real tree holds: photos, documents with several dots, archives, hidden
// files, names without a dot, a few with blanks.
const std::vector<std::string>& Names() {
  static const std::vector<std::string> names = [] {
    const char* const stems[] = {"IMG_", "report.20", "a.b.c.", ".hidden", "README", "My file "};
    const char* const ends[] = {".JPG", ".pdf", ".tar.gz", "", ".txt.bak", "."};
    std::vector<std::string> out;
    out.reserve(100'000);
    for (int i = 0; out.size() < 100'000; ++i) {
      out.push_back(std::string(stems[i % 6]) + std::to_string(i) + ends[(i / 6) % 6]);
    }
    return out;
  }();
  return names;
}

constexpr std::string_view kPatterns[] = {
    "*.jpg", "*.*.*",  "*.",   ".*.", "img_1*.jpg", "*.tar.gz", "report.*",
    "*.txt", "??.txt", "*a*.", "*.?", "*.pdf",      "*2*",      "readme",
    "a.*.",  "*.*.",   "*..*", "my*", "*e*.*",      ".hid*",
};

template <bool (*Match)(std::string_view, std::string_view)>
void MatchAll(benchmark::State& state) {
  std::size_t matches = 0;
  for (auto _ : state) {
    matches = 0;
    for (const std::string_view pattern : kPatterns) {
      for (const std::string& name : Names()) matches += Match(pattern, name) ? 1 : 0;
    }
    benchmark::DoNotOptimize(matches);
  }
  state.counters["matches"] = static_cast<double>(matches);
}

void Current(benchmark::State& state) { MatchAll<wendrix::WildcardMatch>(state); }
void Previous(benchmark::State& state) { MatchAll<previous::WildcardMatch>(state); }

// Repeated, and the medians compared, so that a burst of other work on the machine moves both.
BENCHMARK(Current)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(Previous)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.aggregate_name == "median")
        times_[run.run_name.function_name] = run.GetAdjustedCPUTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const auto ours = times_.find("Current");
    const auto peer = times_.find("Previous");
    if (ours != times_.end() && peer != times_.end() && peer->second > 0)
      std::printf(
          "ratio matcher %.3f (100,000 names x 20 patterns, median processor time, "
          "peer: the previous matcher)\n",
          ours->second / peer->second);
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
