// wendrix-run's progress line: one line on its standard error, redrawn in place, shown only
// when that is a terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace wendrix {

// "12/120 done, 1 failed, 0:05 elapsed, about 0:45 left"; the estimate comes once something is
// done, from the pace so far. A total below done (the tree grew since it was counted) is done.
std::string ProgressText(std::size_t done, std::size_t total, std::size_t failed,
                         std::int64_t elapsed_ms);

class ProgressLine {
 public:
  // Active only when wanted and fd is a terminal; started_ms is the run's start.
  ProgressLine(int fd, bool wanted, std::int64_t started_ms);

  bool Active() const { return active_; }
  void SetTotal(std::size_t total) { total_ = total; }

  // Takes the line off the terminal, so that other output starts at the line's beginning.
  void Hide();
  // Draws the line when it is hidden, when force is set, or when it is older than a moment.
  void Show(std::size_t done, std::size_t failed, std::int64_t now_ms, bool force = false);

  // Where the line's bytes go instead of fd, e.g. a writer that never waits.
  std::function<void(const std::string&)> sink;

 private:
  void Put(const std::string& bytes);

  int fd_;
  bool active_;
  std::int64_t started_ms_;
  std::int64_t drawn_ms_ = 0;
  std::size_t total_ = 0;
  bool shown_ = false;
};

}  // namespace wendrix
