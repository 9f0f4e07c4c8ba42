// Running the commands of a job run: one at a time or several at once, their output in walk
// order either way, and nothing they started left behind when the run ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/command_line.h"
#include "engine/entry_processing.h"
#include "engine/held_output.h"
#include "engine/job_hooks.h"
#include "services/descendants.h"
#include "services/program_runner.h"

namespace wendrix {

// The processors this program may run on; at least 1.
int ProcessorCount();

// Runs up to `slots` commands at once. With one slot a command's output is passed on as it
// comes, in pieces of at most OutputChunkSize, and the command shares the console's standard
// input and error. With several, each command's standard input is /dev/null and its standard
// output and error are held until every command before it has been written out, so the output
// reads exactly as if they had run one after another; the oldest command's output is passed on
// as it comes. Whatever ends the executor, every process a command started ends with it: the
// running ones get the ending signal, and whatever is left gets SIGKILL after a grace time.
class CommandExecutor {
 public:
  CommandExecutor(JobHooks& hooks, int slots);
  ~CommandExecutor();
  CommandExecutor(const CommandExecutor&) = delete;
  CommandExecutor& operator=(const CommandExecutor&) = delete;

  // Starts the command for one entry as soon as a slot is free. kStopped once keep_going said
  // no (nothing more is started); kConsoleEnded once the console ended: then every command has
  // ended and its output has been passed on. outcome, when given, is filled in once the
  // command has ended; it must outlive that.
  EntryOutcome Start(const CommandLine& line, const std::string& full_path,
                     CommandOutcome* outcome = nullptr);

  // Waits until every command started has ended and its output has been passed on, then ends
  // whatever they left running.
  EntryOutcome Finish();

 private:
  struct Job;
  enum class Stream { kOutput, kError };
  enum class Watched { kOutput, kError, kEnd };
  struct Watch {
    Job* job;
    Watched what;
  };

  ConsoleState Step(bool may_block, std::int64_t deadline = -1);
  bool WatchRunning();
  void ReadPipe(Job& job, Stream stream);
  void Take(Job& job, Stream stream, const char* data, std::size_t length);
  void ToConsole(Job& job, const char* data, std::size_t length);
  void Complete(Job& job);
  void Flush(bool ending);
  bool FlushPending() const;
  void End(ConsoleState state);
  void EndLeftovers(int first_signal, std::int64_t kill_at);
  void Idle();
  int IdleBudget() const;
  bool Backlog() const;
  void PassError(const char* data, std::size_t length);
  ChildHandle StartChild(const CommandLine& line, bool* started);

  JobHooks& hooks_;
  const bool one_slot_;
  std::size_t max_running_;
  std::size_t max_in_flight_;
  std::size_t running_ = 0;
  ChildStdio stdio_;                       // what the console hands the commands
  std::vector<ProcessIdentity> spare_;     // processes that were there before: not ours to end
  HoldingArea area_;                       // outlives the jobs, whose outputs count in it
  std::deque<std::unique_ptr<Job>> jobs_;  // walk order; the front one's output is passed on
  std::vector<char> scratch_;
  std::vector<pollfd> fds_;
  std::vector<Watch> watches_;  // one for each of fds_ before the console's own
  std::int64_t last_idle_;
  bool stopped_ = false;
  bool ended_ = false;
  bool finished_ = false;
  // The program, looked up once: every entry runs the same one.
  std::string program_;
  std::string program_path_;
  int program_error_ = -1;  // -1: not looked up yet
};

}  // namespace wendrix
