#include "engine/held_output.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace wendrix {
namespace {

constexpr std::size_t kMemoryPerOutput = std::size_t{1} << 20;
constexpr std::size_t kMemoryInAll = std::size_t{16} << 20;

UniqueFd OpenTemporary(const std::string& folder) {
  if (folder.empty()) return UniqueFd();
  UniqueFd fd(open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (fd.Valid()) return fd;
  // A file system without unnamed files: a named one, gone from the folder at once.
  std::string pattern = folder + "wendrix-held-XXXXXX";
  fd.Reset(mkostemp(pattern.data(), O_CLOEXEC));
  if (fd.Valid()) unlink(pattern.c_str());
  return fd;
}

}  // namespace

void HeldOutput::Append(const char* data, std::size_t length) {
  if (length == 0) return;
  if (memory_.empty() && file_read_ < file_end_ && ToFile(data, length)) return;
  memory_.append(data, length);
  area_.in_memory += length;
  if (memory_.size() > kMemoryPerOutput || area_.in_memory > kMemoryInAll) Spill();
}

std::size_t HeldOutput::Pass(const std::function<void(const char*, std::size_t)>& sink,
                             std::size_t most, std::vector<char>& scratch) {
  std::size_t passed = 0;
  while (passed < most && file_read_ < file_end_) {
    const std::size_t want =
        std::min({scratch.size(), most - passed, static_cast<std::size_t>(file_end_ - file_read_)});
    const ssize_t got = pread(fd_.Get(), scratch.data(), want, file_read_);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      file_read_ = file_end_;  // unreadable: nothing more can be got from it
      break;
    }
    sink(scratch.data(), static_cast<std::size_t>(got));
    file_read_ += got;
    passed += static_cast<std::size_t>(got);
  }
  if (file_end_ > 0 && file_read_ == file_end_) {
    // Passed on whole: give the disk back, and let new bytes stay in memory again.
    if (ftruncate(fd_.Get(), 0) == 0) file_read_ = file_end_ = 0;
  }
  if (passed < most && file_read_ == file_end_ && !memory_.empty()) {
    const std::size_t piece = std::min(memory_.size(), most - passed);
    sink(memory_.data(), piece);
    memory_.erase(0, piece);
    area_.in_memory -= piece;
    passed += piece;
    if (memory_.empty()) std::string().swap(memory_);
  }
  return passed;
}

void HeldOutput::Spill() {
  if (file_failed_) return;
  if (!fd_.Valid()) fd_ = OpenTemporary(area_.temp_folder);
  if (!fd_.Valid()) {
    file_failed_ = true;
    return;
  }
  if (!ToFile(memory_.data(), memory_.size())) return;  // kept in memory: nothing is lost
  area_.in_memory -= memory_.size();
  std::string().swap(memory_);
}

// Appends at the end of the file; false (and no more tries) when the disk refuses.
bool HeldOutput::ToFile(const char* data, std::size_t length) {
  if (file_failed_ || !fd_.Valid()) return false;
  std::size_t done = 0;
  while (done < length) {
    const ssize_t n =
        pwrite(fd_.Get(), data + done, length - done, file_end_ + static_cast<off_t>(done));
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (!(n < 0 && errno == EINTR)) {
      file_failed_ = true;
      return false;
    }
  }
  file_end_ += static_cast<off_t>(length);
  return true;
}

}  // namespace wendrix
