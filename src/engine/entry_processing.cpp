#include "engine/entry_processing.h"

#include <signal.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <vector>

#include "engine/command_line.h"
#include "services/clock.h"
#include "services/program_runner.h"

namespace wendrix {

namespace {

// Above this many undelivered bytes the child is left waiting until the console catches up.
constexpr std::size_t kConsoleBacklogLimit = std::size_t{1} << 20;
// The idle hook runs at least every 50 ms; aim a little earlier.
constexpr std::int64_t kIdlePeriodMs = 40;
// Ending a child for the console: how long it may take before it is killed, and how long its
// pipe is still read after its end (a background grandchild may hold the pipe open).
constexpr std::int64_t kKillAfterMs = 2000;
constexpr std::int64_t kReadAfterEndMs = 500;

// Copies one child's output to the console.
class OutputCopy {
 public:
  OutputCopy(ChildRecord* record, JobHooks& hooks, const std::string& full_path)
      : record_(record),
        console_(*hooks.console),
        hooks_(hooks),
        full_path_(full_path),
        last_idle_(NowMs()) {}

  // Until the child has ended and its pipe is drained (kOpen), or the console ended.
  ConsoleState Run() {
    for (;;) {
      if (!ChildRunning(record_)) return ConsoleState::kOpen;
      const bool backlog = Backlog();
      ConsoleState state;
      if (!backlog && MoveAvailable()) {
        Idle();
        state = console_.Service();
      } else {
        state = Wait(IdleBudget(), !backlog);
      }
      if (state != ConsoleState::kOpen) return state;
    }
  }

  // Asks the child to stop the way the console's end asks for, kills it when it will not, and
  // stops reading its pipe shortly after it ended.
  void EndChild(ConsoleState why) {
    const int pid = ChildProcessId(record_);
    const int target = CurrentChildStdio().own_process_group ? -pid : pid;
    const std::int64_t start = NowMs();
    bool killed = false;
    std::int64_t ended_at = -1;
    const int signal = hooks_.ending_signal                ? hooks_.ending_signal(why)
                       : why == ConsoleState::kInterrupted ? SIGINT
                                                           : SIGHUP;
    if (pid > 0 && !ChildHasEnded(record_)) kill(target, signal);
    for (;;) {
      const std::int64_t now = NowMs();
      std::int64_t next_deadline;
      if (ChildHasEnded(record_)) {
        if (ended_at < 0) ended_at = now;
        if (now - ended_at >= kReadAfterEndMs || !ChildRunning(record_)) return;
        next_deadline = ended_at + kReadAfterEndMs;
      } else {
        if (!killed && now - start >= kKillAfterMs) {
          if (pid > 0) kill(target, SIGKILL);
          killed = true;
        }
        next_deadline = killed ? now + kIdlePeriodMs : start + kKillAfterMs;
      }
      const bool backlog = Backlog();
      if (!backlog && MoveAvailable()) {
        Idle();
        console_.Service();
        continue;
      }
      const int budget =
          static_cast<int>(std::clamp<std::int64_t>(next_deadline - NowMs(), 0, IdleBudget()));
      Wait(budget, !backlog);
    }
  }

 private:
  bool Backlog() const { return console_.Pending() > kConsoleBacklogLimit; }

  // Moves what the pipe holds right now, in pieces of at most OutputChunkSize; false when it
  // held nothing.
  bool MoveAvailable() {
    std::int32_t available = ChildOutputAvailable(record_);
    if (available <= 0) return false;
    while (available > 0) {
      const std::int32_t piece =
          std::min<std::int32_t>(available, static_cast<std::int32_t>(OutputChunkSize));
      const std::int32_t got = ChildReadOutput(record_, buffer_.data(), piece);
      if (got > 0) {
        if (!output_started_ && hooks_.output_starting) hooks_.output_starting(full_path_);
        output_started_ = true;
        console_.Write(buffer_.data(), static_cast<std::size_t>(got));
      }
      if (got < piece) break;
      available -= piece;
    }
    return true;
  }

  // One wait for the child, the console or the next idle call; then the console's turn.
  ConsoleState Wait(int timeout_ms, bool watch_output) {
    extra_.clear();
    console_.AddWaitDescriptors(extra_);
    ChildWaitActivity(record_, timeout_ms, extra_, watch_output);
    Idle();
    return console_.Service();
  }

  int IdleBudget() const {
    return static_cast<int>(
        std::clamp<std::int64_t>(kIdlePeriodMs - (NowMs() - last_idle_), 0, kIdlePeriodMs));
  }

  void Idle() {
    const std::int64_t now = NowMs();
    if (now - last_idle_ < kIdlePeriodMs) return;
    last_idle_ = now;
    if (hooks_.idle) hooks_.idle();
  }

  ChildRecord* record_;
  Console& console_;
  JobHooks& hooks_;
  const std::string& full_path_;
  bool output_started_ = false;
  std::int64_t last_idle_;
  std::vector<pollfd> extra_;
  std::array<char, OutputChunkSize> buffer_{};
};

}  // namespace

EntryOutcome ProcessEntry(const Settings& settings, const std::string& full_path,
                          const std::string& destination_path, JobHooks& hooks,
                          CommandOutcome* outcome) {
  CommandOutcome ignored;
  if (outcome == nullptr) outcome = &ignored;
  *outcome = CommandOutcome{};
  if (hooks.console == nullptr) return EntryOutcome::kDone;
  const CommandLine line =
      BuildCommandLine(settings.command, settings.parameters, full_path, destination_path);
  const ChildHandle child = ChildStart(line.program, line.args, "", ChildKeep | ChildPipeOutput);
  // A command that cannot be started is passed over; only the outcome tells of it.
  if (!child) {
    outcome->start_error = errno;
    return EntryOutcome::kDone;
  }
  outcome->started = true;

  OutputCopy copy(child.get(), hooks, full_path);
  const ConsoleState state = copy.Run();
  if (state != ConsoleState::kOpen) copy.EndChild(state);
  outcome->wait_status = ChildExitStatus(child.get()).value_or(0);
  return state == ConsoleState::kOpen ? EntryOutcome::kDone : EntryOutcome::kConsoleEnded;
}

}  // namespace wendrix
