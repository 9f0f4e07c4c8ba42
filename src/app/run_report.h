// What wendrix-run tells on its standard error, always after "wendrix-run: ": a program that
// cannot be started (once per run and reason), a folder that cannot be listed, a Mirrored
// folder that cannot be created (once per run and reason), and at the end a
// summary when the run did not fully succeed. Also the counts the exit status comes from.
#pragma once

#include <cstddef>
#include <functional>
#include <set>
#include <string>

#include "engine/job_hooks.h"
#include "run_progress.h"

namespace wendrix {

class RunReport {
 public:
  // program: the file the run starts, for the messages; progress: taken off the terminal
  // before each message.
  RunReport(std::string program, ProgressLine& progress)
      : program_(std::move(program)), progress_(progress) {}

  // Counts the command's end; a start failure is told the first time its reason comes.
  void CommandEnded(const CommandOutcome& outcome);
  void FolderUnlisted(const std::string& folder, int error);
  // A Mirrored folder that could not be made: told the first time its reason comes.
  void FolderNotMade(const std::string& folder, int error);

  std::size_t Commands() const { return commands_; }
  std::size_t Failed() const { return failed_; }
  std::size_t FoldersUnlisted() const { return folders_unlisted_; }
  // A command failed or could not be started, or a folder could not be listed.
  bool AnyFailure() const { return failed_ > 0 || folders_unlisted_ > 0 || folders_not_made_ > 0; }

  // What went wrong, in one line without the prefix: the ending signal (0: none), the errno of
  // the lost output (0: none), the failed commands and the unlisted folders. Empty when
  // nothing did.
  std::string Summary(int signal, int output_error) const;

  // Writes "wendrix-run: " + line + "\n" to standard error.
  void Tell(const std::string& line);

  // Where told lines go instead of standard error, e.g. a writer that never waits.
  std::function<void(const std::string&)> sink;

 private:
  std::string program_;
  ProgressLine& progress_;
  std::size_t commands_ = 0;
  std::size_t failed_ = 0;
  std::size_t not_started_ = 0;
  std::size_t folders_unlisted_ = 0;
  std::size_t folders_not_made_ = 0;
  std::set<int> start_errors_told_;
  std::set<int> folder_errors_told_;
};

}  // namespace wendrix
