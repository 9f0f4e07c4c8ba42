// What wendrix-run remembers and tells of each entry beyond its output: whether it is to run
// at all (--creates, --resume, --retry-failed), the job log line once its command has ended
// (--joblog), and the header before its output (--tag).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/settings.h"
#include "run_console.h"
#include "run_creates.h"
#include "run_joblog.h"

namespace wendrix {

struct LedgerOptions {
  std::optional<std::string> creates;  // template of the file each command makes
  std::optional<std::string> joblog;   // file the job log goes to
  bool resume = false;                 // pass over entries the log has as done
  bool retry_failed = false;           // run only entries the log has as failed
  bool tag = false;                    // a header line before each command's output
};

class RunLedger {
 public:
  // tell: where a failure to write the log or to remove a file goes, one line each.
  RunLedger(const Settings& settings, RunConsole& console, LedgerOptions options,
            std::function<void(const std::string&)> tell);

  // Reads the job log, and opens it to append unless only reading; the reason when it cannot
  // be used, else "".
  std::string Open(bool write);

  // Why the entry is passed over ("up to date", "done", "not failed"), or "" when it runs.
  std::string SkipReason(const std::string& full_path, const std::string& destination_path);
  // The entry's command line, quoted for the shell.
  std::string CommandText(const std::string& full_path, const std::string& destination_path) const;

  // For an entry that runs: when it is chosen, as its command starts (argv: the program and
  // its arguments), and after it has ended.
  void Preparing(const std::string& full_path, const std::string& destination_path);
  void Starting(const std::string& full_path, const std::vector<std::string>& argv);
  void Ended(const std::string& full_path, const CommandOutcome& outcome);
  // Just before the first byte of the entry's output goes out.
  void OutputStarting(const std::string& full_path);

  // Whether the log could not be written or a file not removed.
  bool AnyProblem() const { return any_problem_; }

 private:
  struct Running {
    std::string command;
    std::int64_t start_epoch_ms = 0;
    std::int64_t start_ms = 0;
  };

  const Settings& settings_;
  RunConsole& console_;
  LedgerOptions options_;
  std::optional<CreatesCheck> creates_;
  JobLogRecords recorded_;
  std::optional<JobLog> log_;
  std::unordered_map<std::string, Running> running_;  // by full path
  std::function<void(const std::string&)> tell_;
  bool log_failed_ = false;
  bool any_problem_ = false;
};

}  // namespace wendrix
