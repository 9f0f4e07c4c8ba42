#include "console_title.h"

#include <sys/wait.h>

namespace wendrix {
namespace {

constexpr std::int64_t kTitleIntervalMs = 100;
constexpr char kName[] = "Wendrix console";

std::string Count(std::size_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

void ConsoleTitle::Starting(const std::string& full_path, std::int64_t now_ms) {
  ++started_;
  // A control byte in a name could end the title's sequence and write to the console.
  std::string entry = full_path;
  for (char& c : entry)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  Show(std::string(kName) + " - " + Count(started_, "command", "commands") + " started - " + entry,
       now_ms);
}

void ConsoleTitle::Ended(const CommandOutcome& outcome) {
  if (!outcome.started)
    ++not_started_;
  else if (!WIFEXITED(outcome.wait_status) || WEXITSTATUS(outcome.wait_status) != 0)
    ++failed_;
}

void ConsoleTitle::Idle(std::int64_t now_ms) {
  if (!pending_.empty()) Show(std::move(pending_), now_ms);
}

void ConsoleTitle::RunEnded() {
  std::string text = std::string(kName) + " - " + Count(started_, "command", "commands") + ", " +
                     std::to_string(failed_) + " failed";
  if (not_started_ > 0) text += ", " + std::to_string(not_started_) + " could not be started";
  pending_.clear();
  set_title_(text);
  started_ = failed_ = not_started_ = 0;
}

void ConsoleTitle::Show(std::string text, std::int64_t now_ms) {
  if (now_ms - shown_ms_ < kTitleIntervalMs) {
    pending_ = std::move(text);
    return;
  }
  pending_.clear();
  shown_ms_ = now_ms;
  set_title_(text);
}

}  // namespace wendrix
