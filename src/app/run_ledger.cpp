#include "run_ledger.h"

#include <time.h>

#include <cerrno>
#include <cstring>

#include "engine/command_line.h"
#include "run_jobfile.h"
#include "services/clock.h"

namespace wendrix {
namespace {

std::int64_t EpochMs() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

}  // namespace

RunLedger::RunLedger(const Settings& settings, RunConsole& console, LedgerOptions options,
                     std::function<void(const std::string&)> tell)
    : settings_(settings), console_(console), options_(std::move(options)), tell_(std::move(tell)) {
  if (options_.creates) creates_.emplace(*options_.creates);
}

std::string RunLedger::Open(bool write) {
  if (!options_.joblog) return "";
  if (options_.resume || options_.retry_failed) {
    recorded_ = ReadJobLog(*options_.joblog);
    if (!recorded_.error.empty()) return recorded_.error;
  }
  if (!write) return "";
  std::string error;
  log_.emplace();
  if (!log_->Open(*options_.joblog, &error)) return error;
  return "";
}

std::string RunLedger::CommandText(const std::string& full_path,
                                   const std::string& destination_path) const {
  return ShellCommand(
      BuildCommandLine(settings_.command, settings_.parameters, full_path, destination_path));
}

std::string RunLedger::SkipReason(const std::string& full_path,
                                  const std::string& destination_path) {
  if (options_.resume || options_.retry_failed) {
    const auto found = recorded_.entries.find(full_path);
    if (options_.retry_failed && (found == recorded_.entries.end() || found->second.succeeded))
      return "not failed";
    // Done only with the command it would run now: a changed command runs again.
    if (options_.resume && found != recorded_.entries.end() && found->second.succeeded &&
        found->second.command == CommandText(full_path, destination_path))
      return "done";
  }
  if (creates_ && creates_->UpToDate(full_path, destination_path)) return "up to date";
  return "";
}

void RunLedger::Preparing(const std::string& full_path, const std::string& destination_path) {
  if (creates_) creates_->Starting(full_path, destination_path);
}

void RunLedger::Starting(const std::string& full_path, const std::vector<std::string>& argv) {
  if (!log_ || argv.empty()) return;
  const CommandLine line{argv.front(), std::vector<std::string>(argv.begin() + 1, argv.end())};
  running_[full_path] = {ShellCommand(line), EpochMs(), NowMs()};
}

void RunLedger::Ended(const std::string& full_path, const CommandOutcome& outcome) {
  if (std::string file; creates_ && !creates_->Ended(full_path, outcome, &file)) {
    any_problem_ = true;
    tell_("cannot remove the unfinished " + file + ": " + std::strerror(errno));
  }
  const auto found = running_.find(full_path);
  if (!log_ || found == running_.end()) return;
  const Running started = std::move(found->second);
  running_.erase(found);
  if (log_failed_ || log_->Append(JobLogLine(full_path, outcome, started.start_epoch_ms,
                                             NowMs() - started.start_ms, started.command)))
    return;
  // Written no more, so that no line follows one cut short; a later --resume redoes the rest.
  log_failed_ = any_problem_ = true;
  tell_("cannot write the job log " + *options_.joblog + ": " + std::strerror(errno));
}

void RunLedger::OutputStarting(const std::string& full_path) {
  if (!options_.tag) return;
  std::string header = console_.AtLineStart() ? "" : "\n";
  header += "==> " + full_path + " <==\n";
  console_.Write(header.data(), header.size());
}

}  // namespace wendrix
