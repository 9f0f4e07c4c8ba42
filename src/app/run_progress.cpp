#include "run_progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "services/fd_io.h"

namespace wendrix {
namespace {

// Redrawn at most this often when nothing forces it: enough for the seconds to tick.
constexpr std::int64_t kRedrawMs = 200;
// Back to the line's beginning and clear it.
constexpr char kErase[] = "\r\033[K";

std::string Duration(std::int64_t ms) {
  const std::int64_t seconds = std::max<std::int64_t>(ms, 0) / 1000;
  char text[32];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
  }
  return text;
}

}  // namespace

std::string ProgressText(std::size_t done, std::size_t total, std::size_t failed,
                         std::int64_t elapsed_ms) {
  total = std::max(total, done);
  std::string text = std::to_string(done) + "/" + std::to_string(total) + " done, " +
                     std::to_string(failed) + " failed, " + Duration(elapsed_ms) + " elapsed";
  if (done > 0 && done < total) {
    const double left = static_cast<double>(elapsed_ms) * static_cast<double>(total - done) /
                        static_cast<double>(done);
    text += ", about " + Duration(static_cast<std::int64_t>(left)) + " left";
  }
  return text;
}

ProgressLine::ProgressLine(int fd, bool wanted, std::int64_t started_ms)
    : fd_(fd), active_(wanted && isatty(fd) == 1), started_ms_(started_ms) {}

void ProgressLine::Hide() {
  if (!shown_) return;
  Put(kErase);
  shown_ = false;
}

void ProgressLine::Show(std::size_t done, std::size_t failed, std::int64_t now_ms, bool force) {
  if (!active_ || (shown_ && !force && now_ms - drawn_ms_ < kRedrawMs)) return;
  std::string line = "wendrix-run: " + ProgressText(done, total_, failed, now_ms - started_ms_);
  // Kept within one row: a wrapped line could not be erased by going back to its beginning.
  winsize size{};
  if (ioctl(fd_, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 && line.size() >= size.ws_col)
    line.resize(size.ws_col - 1u);
  Put(kErase + line);
  shown_ = true;
  drawn_ms_ = now_ms;
}

void ProgressLine::Put(const std::string& bytes) {
  if (sink) {
    sink(bytes);
    return;
  }
  // A terminal that went away gets no more progress.
  if (WriteAll(fd_, bytes, WhenFull::kStop) < 0) active_ = false;
}

}  // namespace wendrix
