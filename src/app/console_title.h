// The console window's title during and after a run of the window: how many commands have
// started and which entry is being processed, then how many ran and how many failed. The
// console's content stays what the commands write; the title is set beside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "engine/job_hooks.h"

namespace wendrix {

class ConsoleTitle {
 public:
  // set_title puts a title on the console window.
  explicit ConsoleTitle(std::function<void(const std::string&)> set_title)
      : set_title_(std::move(set_title)) {}

  // A command starts for the entry at now_ms; the title follows at most every 100 ms, and at
  // the latest with the next Idle.
  void Starting(const std::string& full_path, std::int64_t now_ms);
  void Ended(const CommandOutcome& outcome);
  void Idle(std::int64_t now_ms);
  // The run has ended: the counts go to the title, and start again for the next run.
  void RunEnded();

 private:
  void Show(std::string text, std::int64_t now_ms);

  std::function<void(const std::string&)> set_title_;
  std::size_t started_ = 0;
  std::size_t failed_ = 0;
  std::size_t not_started_ = 0;
  std::string pending_;  // a title not shown yet
  std::int64_t shown_ms_ = INT64_MIN / 2;
};

}  // namespace wendrix
