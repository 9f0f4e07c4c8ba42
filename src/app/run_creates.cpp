#include "run_creates.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <tuple>

#include "engine/command_line.h"

namespace wendrix {
namespace {

auto Time(const timespec& t) { return std::tie(t.tv_sec, t.tv_nsec); }

bool Changed(const struct stat& a, const struct stat& b) {
  return a.st_dev != b.st_dev || a.st_ino != b.st_ino || a.st_size != b.st_size ||
         Time(a.st_mtim) != Time(b.st_mtim) || Time(a.st_ctim) != Time(b.st_ctim);
}

}  // namespace

std::string CreatesCheck::FileFor(const std::string& full_path,
                                  const std::string& destination_path) const {
  return ExpandPlaceholders(template_, full_path, destination_path);
}

bool CreatesCheck::UpToDate(const std::string& full_path,
                            const std::string& destination_path) const {
  struct stat entry {
  }, made{};
  return stat(FileFor(full_path, destination_path).c_str(), &made) == 0 &&
         stat(full_path.c_str(), &entry) == 0 && Time(made.st_mtim) >= Time(entry.st_mtim);
}

void CreatesCheck::Starting(const std::string& full_path, const std::string& destination_path) {
  Before& before = running_[full_path];
  before.file = FileFor(full_path, destination_path);
  before.existed = lstat(before.file.c_str(), &before.info) == 0;
}

bool CreatesCheck::Ended(const std::string& full_path, const CommandOutcome& outcome,
                         std::string* file) {
  const auto found = running_.find(full_path);
  if (found == running_.end()) return true;
  const Before before = std::move(found->second);
  running_.erase(found);
  const int status = outcome.wait_status;
  if (outcome.started && WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  struct stat now {};
  if (lstat(before.file.c_str(), &now) != 0) return true;
  if (before.existed && !Changed(before.info, now)) return true;
  if (unlink(before.file.c_str()) == 0 || errno == ENOENT) return true;
  *file = before.file;
  return false;
}

}  // namespace wendrix
