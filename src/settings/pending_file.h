// Replacing a settings file safely: the new text is written beside it and renamed over it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "services/unique_fd.h"

namespace wendrix {

// A file that is about to replace target. It is written as an anonymous file in the target's
// folder and named only once every byte is on disk, then renamed over the target: a save that
// fails leaves the earlier file whole and nothing beside it. Where the file system offers no
// anonymous files, a temporary file with a name is written instead, and removed again unless
// committed. The file is locked from its creation to its rename, so that a temporary name that a
// killed writer left behind can be told from one being written, and removed.
class PendingFile {
 public:
  // Also removes what killed saves left beside the target.
  static std::optional<PendingFile> Prepare(const std::string& file_name);

  PendingFile(PendingFile&& other) noexcept;
  PendingFile& operator=(PendingFile&& other) noexcept;
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile() { Discard(); }

  // Writes text and puts the file in the target's place. False, with the target untouched and
  // nothing left beside it, when any step fails.
  bool Commit(std::string_view text);

 private:
  explicit PendingFile(std::string target) : target_(std::move(target)) {}

  bool OpenNamed();
  bool Fill(std::string_view text);
  bool NameAnonymous();
  bool Fail();
  void Discard();

  std::string target_;
  std::string temp_path_;  // empty while the file is anonymous
  UniqueFd fd_;
};

// Removes the temporary files that saves of file_name killed before their rename left beside it;
// those of a save still running are left alone.
void RemoveStaleTemporaries(const std::string& file_name);

}  // namespace wendrix
