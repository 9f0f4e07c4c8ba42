// Bytes of one stream of one command, held until the commands before it have been written
// out. They stay in memory up to a limit per output and in all, then spill to an unlinked
// temporary file, so a command writing gigabytes costs disk, not memory.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "services/unique_fd.h"

namespace wendrix {

// What every held output shares: their bytes in memory, the folder they spill to.
struct HoldingArea {
  std::size_t in_memory = 0;
  std::string temp_folder;
};

// All bytes in the file are older than those in memory; so a file being passed on takes new
// bytes at its end, and memory spills to the end of the file.
class HeldOutput {
 public:
  explicit HeldOutput(HoldingArea& area) : area_(area) {}
  ~HeldOutput() { area_.in_memory -= memory_.size(); }
  HeldOutput(const HeldOutput&) = delete;
  HeldOutput& operator=(const HeldOutput&) = delete;

  bool Empty() const { return memory_.empty() && file_read_ == file_end_; }
  void Append(const char* data, std::size_t length);
  // Hands up to most bytes to sink, oldest first, through scratch; returns how many.
  std::size_t Pass(const std::function<void(const char*, std::size_t)>& sink, std::size_t most,
                   std::vector<char>& scratch);

 private:
  void Spill();
  bool ToFile(const char* data, std::size_t length);

  HoldingArea& area_;
  std::string memory_;
  UniqueFd fd_;
  off_t file_read_ = 0;  // passed on up to here
  off_t file_end_ = 0;
  bool file_failed_ = false;
};

}  // namespace wendrix
