// --creates: the file each entry's command makes, named by a template expanded like the
// parameters. An entry whose file is there and not older than the entry is up to date; a
// command that fails leaves no half-made file behind to be taken for finished next time.
#pragma once

#include <sys/stat.h>

#include <string>
#include <unordered_map>

#include "engine/job_hooks.h"

namespace wendrix {

class CreatesCheck {
 public:
  explicit CreatesCheck(std::string file_template) : template_(std::move(file_template)) {}

  // The file the entry's command creates.
  std::string FileFor(const std::string& full_path, const std::string& destination_path) const;
  // Whether that file exists and its modification time is not before the entry's.
  bool UpToDate(const std::string& full_path, const std::string& destination_path) const;

  // Just before the entry's command: remembers the file as it stands.
  void Starting(const std::string& full_path, const std::string& destination_path);
  // Once the command has ended: when it failed or could not be started, the file is removed if
  // it changed meanwhile (made, written, replaced). False, with the file, when that removal
  // failed (errno says why).
  bool Ended(const std::string& full_path, const CommandOutcome& outcome, std::string* file);

 private:
  struct Before {
    std::string file;
    bool existed = false;
    struct stat info {};
  };
  std::string template_;
  std::unordered_map<std::string, Before> running_;  // by the entry's full path
};

}  // namespace wendrix
