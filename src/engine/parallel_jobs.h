// Several commands of a job run at once, their output still in walk order.
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
#include "engine/job_hooks.h"

namespace wendrix {

// The processors this program may run on; at least 1.
int ProcessorCount();

// Runs up to hooks.jobs commands at once, each with its standard input on /dev/null and its
// standard output and error held until every command before it has been written out; so the
// output reads exactly as if they had run one after another. The oldest command's output is
// passed on as it comes: nothing before it is left to wait for.
class ParallelJobs {
 public:
  explicit ParallelJobs(JobHooks& hooks);
  ~ParallelJobs();
  ParallelJobs(const ParallelJobs&) = delete;
  ParallelJobs& operator=(const ParallelJobs&) = delete;

  // Starts the command for one entry as soon as a slot is free. kStopped once keep_going said
  // no (nothing more is started); kConsoleEnded once the console ended: then every command has
  // ended and its output has been passed on.
  EntryOutcome Start(const CommandLine& line, const std::string& full_path);

  // Waits until every command started has ended and its output has been passed on.
  EntryOutcome Finish();

 private:
  // What every held output shares: their bytes in memory, the folder they spill to.
  struct HoldingArea {
    std::size_t in_memory = 0;
    std::string temp_folder;
  };
  // Bytes of one stream of one command, waiting for their turn.
  class HeldOutput;
  struct Job;
  enum class Stream { kOutput, kError };
  // What one of fds_ belongs to: a job's output, its error or its end.
  enum class Watched { kOutput, kError, kEnd };
  struct Watch {
    Job* job;
    Watched what;
  };

  ConsoleState Step(bool may_block);
  bool WatchRunning();
  void SweepEnded();
  void ReadPipe(Job& job, Stream stream);
  void Take(Job& job, Stream stream, const char* data, std::size_t length);
  void Complete(Job& job);
  void Flush(bool ending);
  void OutputStarting(Job& job);
  bool FlushPending() const;
  void SignalRunning(int signal);
  void End(ConsoleState state);
  void Idle();
  int IdleBudget() const;
  bool Backlog() const;
  void PassError(const char* data, std::size_t length);

  JobHooks& hooks_;
  std::size_t max_running_;
  std::size_t max_in_flight_;
  std::size_t running_ = 0;
  HoldingArea area_;                       // outlives the jobs, whose outputs count in it
  std::deque<std::unique_ptr<Job>> jobs_;  // walk order; the front one's output is passed on
  std::vector<char> scratch_;
  std::vector<pollfd> fds_;
  std::vector<Watch> watches_;  // one for each of fds_ before the console's own
  std::int64_t last_idle_;
  bool stopped_ = false;
  bool ended_ = false;
  std::function<void(const char*, std::size_t)> output_sink_;
  std::function<void(const char*, std::size_t)> error_sink_;
};

}  // namespace wendrix
