#include "engine/command_executor.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "services/clock.h"
#include "services/fd_io.h"
#include "services/path_helpers.h"
#include "services/spawn.h"

namespace wendrix {
namespace {

// One read from a held command's pipe, and one piece read back from a spilled output.
constexpr std::size_t kReadChunk = 64 * 1024;
// Bytes moved per turn of the loop, so that one busy command leaves the others' pipes and the
// console served.
constexpr std::size_t kPassPerTurn = std::size_t{1} << 20;
// Commands that have ended and wait for an earlier one that still runs. More keeps the
// processors busy behind one slow command; each may hold two temporary files.
constexpr std::size_t kMaxWaiting = 32;
// Above this many undelivered bytes the front command is not read: it waits for the console.
constexpr std::size_t kConsoleBacklogLimit = std::size_t{1} << 20;
// The idle hook runs at least every 50 ms; aim a little earlier.
constexpr std::int64_t kIdlePeriodMs = 40;
// Without a pidfd, how often to look whether a child has ended; and how often to look for
// what is left while ending.
constexpr int kEndSweepMs = 10;
// How long an ending command and what it left may take before they are killed, and how long
// the killed ones may take to be gone.
constexpr std::int64_t kGraceMs = 2000;

// Three descriptors for each running command (two pipes, its pidfd) and two temporary files
// for each command in flight must fit below the descriptor limit, with room for the rest.
std::size_t MostRunningForDescriptors() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 4096;
  const auto available = static_cast<std::size_t>(limit.rlim_cur);
  const std::size_t reserve = 64 + 2 * kMaxWaiting;
  return available > reserve + 5 ? (available - reserve) / 5 : 1;
}

}  // namespace

int ProcessorCount() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int>(online) : 1;
}

struct CommandExecutor::Job {
  Job(HoldingArea& area, std::string path, CommandOutcome* report)
      : full_path(std::move(path)), report_to(report), output(area), error(area) {}

  std::string full_path;
  CommandOutcome* report_to;
  ChildHandle record;  // released once complete
  CommandOutcome outcome;
  HeldOutput output;
  HeldOutput error;
  bool output_open = false;  // the pipe may still bring bytes
  bool error_open = false;
  bool output_told = false;  // output_starting was called
  bool complete = false;     // ended, and its pipes read: nothing more will come
};

CommandExecutor::CommandExecutor(JobHooks& hooks, int slots)
    : hooks_(hooks),
      one_slot_(slots <= 1),
      max_running_(std::clamp<std::size_t>(static_cast<std::size_t>(std::max(slots, 1)), 1,
                                           MostRunningForDescriptors())),
      max_in_flight_(one_slot_ ? 1 : max_running_ + kMaxWaiting),
      stdio_(hooks.console->ChildStreams()),
      scratch_(one_slot_ ? OutputChunkSize : kReadChunk),
      last_idle_(NowMs()) {
  // What a command starts stays ours to end, wherever it moves; what ran before is not ours.
  BecomeSubreaper();
  spare_ = Descendants();
  area_.temp_folder = TempFolder();
}

CommandExecutor::~CommandExecutor() {
  if (!finished_) Finish();
}

ChildHandle CommandExecutor::StartChild(const CommandLine& line, bool* started) {
  if (program_error_ < 0 || line.program != program_) {
    program_ = line.program;
    const std::optional<std::string> path = FindProgram(program_);
    program_error_ = path ? 0 : errno;
    program_path_ = path.value_or(std::string());
  }
  ChildSetup setup;
  setup.stdio = stdio_;
  setup.path = program_error_ == 0 ? &program_path_ : nullptr;
  std::uint32_t flags = ChildKeep | ChildPipeOutput;
  if (!one_slot_) flags |= ChildPipeError | ChildNullInput;
  if (program_error_ != 0) {
    *started = false;
    errno = program_error_;
    return nullptr;
  }
  return ChildStart(line.program, line.args, "", flags, started, setup);
}

EntryOutcome CommandExecutor::Start(const CommandLine& line, const std::string& full_path,
                                    CommandOutcome* outcome) {
  if (ended_) return EntryOutcome::kConsoleEnded;
  if (stopped_) return EntryOutcome::kStopped;
  ConsoleState state = Step(false);
  while (state == ConsoleState::kOpen &&
         (running_ >= max_running_ || jobs_.size() >= max_in_flight_)) {
    state = Step(true);
  }
  if (state != ConsoleState::kOpen) {
    End(state);
    return EntryOutcome::kConsoleEnded;
  }
  if (hooks_.keep_going && !hooks_.keep_going()) {
    stopped_ = true;
    return EntryOutcome::kStopped;
  }

  if (hooks_.command_starting) {
    std::vector<std::string> argv{line.program};
    argv.insert(argv.end(), line.args.begin(), line.args.end());
    hooks_.command_starting(full_path, argv);
  }
  auto job = std::make_unique<Job>(area_, full_path, outcome);
  bool started = false;
  ChildHandle child = StartChild(line, &started);
  if (!child) {
    job->outcome.start_error = errno;
    job->complete = true;
    if (job->report_to) *job->report_to = job->outcome;
    if (hooks_.command_ended) hooks_.command_ended(job->full_path, job->outcome);
  } else {
    ChildRecord* record = child.get();
    job->record = std::move(child);
    job->outcome.started = true;
    // Read only what is there: a pipe that a background grandchild keeps open must not block.
    for (int fd : {ChildOutputDescriptor(record), ChildErrorDescriptor(record)}) {
      if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    job->output_open = ChildOutputDescriptor(record) >= 0;
    job->error_open = ChildErrorDescriptor(record) >= 0;
    ++running_;
  }
  jobs_.push_back(std::move(job));
  Flush(false);  // one that could not be started leaves the line at once when its turn has come
  return EntryOutcome::kDone;
}

EntryOutcome CommandExecutor::Finish() {
  if (finished_) return ended_ ? EntryOutcome::kConsoleEnded : EntryOutcome::kDone;
  finished_ = true;
  if (ended_) return EntryOutcome::kConsoleEnded;
  while (!jobs_.empty()) {
    const ConsoleState state = Step(true);
    if (state != ConsoleState::kOpen) {
      End(state);
      return EntryOutcome::kConsoleEnded;
    }
  }
  // The run is over: what the commands left running is asked to end, then killed.
  EndLeftovers(SIGTERM, NowMs() + kGraceMs);
  return EntryOutcome::kDone;
}

// One wait for any pipe, any end, the console, the next idle call or the deadline; then what
// came is taken, the front's output passed on, and the console asked whether it still stands.
ConsoleState CommandExecutor::Step(bool may_block, std::int64_t deadline) {
  const bool sweep = WatchRunning();
  hooks_.console->AddWaitDescriptors(fds_);

  int timeout = may_block && !FlushPending() ? IdleBudget() : 0;
  if (sweep) timeout = std::min(timeout, kEndSweepMs);
  if (deadline >= 0) {
    timeout =
        std::min<int>(timeout, static_cast<int>(std::max<std::int64_t>(deadline - NowMs(), 0)));
  }
  if (PollFor(fds_.data(), fds_.size(), timeout) > 0) {
    for (std::size_t i = 0; i < watches_.size(); ++i) {
      if (fds_[i].revents == 0) continue;
      Job& job = *watches_[i].job;
      if (job.complete) continue;
      if (watches_[i].what == Watched::kEnd) {
        if (ChildHasEnded(job.record.get())) Complete(job);
      } else {
        ReadPipe(job, watches_[i].what == Watched::kOutput ? Stream::kOutput : Stream::kError);
      }
    }
  }
  if (sweep) {
    for (auto& owned : jobs_) {
      if (!owned->complete && ChildEndDescriptor(owned->record.get()) < 0 &&
          ChildHasEnded(owned->record.get()))
        Complete(*owned);
    }
  }
  Idle();
  const ConsoleState state = hooks_.console->Service();
  Flush(ended_);
  return state;
}

// Puts every open pipe and every end descriptor of the running jobs in fds_; the front job's
// output is left unread while the console is behind, so that its command waits. True when some
// child gives no end descriptor, so its end must be looked for.
bool CommandExecutor::WatchRunning() {
  fds_.clear();
  watches_.clear();
  bool sweep = false;
  const auto watch = [&](Job& job, Watched what, int fd) {
    fds_.push_back({fd, POLLIN, 0});
    watches_.push_back({&job, what});
  };
  const bool backlog = Backlog();
  for (auto& owned : jobs_) {
    Job& job = *owned;
    if (job.complete) continue;
    ChildRecord* record = job.record.get();
    const int end_fd = ChildEndDescriptor(record);
    if (end_fd >= 0) {
      watch(job, Watched::kEnd, end_fd);
    } else {
      sweep = true;
    }
    const bool paced = backlog && &job == jobs_.front().get();
    if (job.output_open && !paced) watch(job, Watched::kOutput, ChildOutputDescriptor(record));
    if (job.error_open) watch(job, Watched::kError, ChildErrorDescriptor(record));
  }
  return sweep;
}

void CommandExecutor::ReadPipe(Job& job, Stream stream) {
  ChildRecord* record = job.record.get();
  const int fd =
      stream == Stream::kOutput ? ChildOutputDescriptor(record) : ChildErrorDescriptor(record);
  // One slot reads as it writes, a piece at a time; a busy pipe gets a few turns per wake.
  for (std::size_t moved = 0; moved < kPassPerTurn;) {
    const ssize_t got = read(fd, scratch_.data(), scratch_.size());
    if (got > 0) {
      Take(job, stream, scratch_.data(), static_cast<std::size_t>(got));
      moved += static_cast<std::size_t>(got);
      if (static_cast<std::size_t>(got) < scratch_.size() || !one_slot_) return;
      if (Backlog()) return;
    } else {
      if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
        (stream == Stream::kOutput ? job.output_open : job.error_open) = false;
      return;
    }
  }
}

void CommandExecutor::Take(Job& job, Stream stream, const char* data, std::size_t length) {
  HeldOutput& held = stream == Stream::kOutput ? job.output : job.error;
  // The front command's bytes go straight on unless earlier bytes of it are still held.
  if (&job == jobs_.front().get() && held.Empty() && (stream == Stream::kError || !Backlog())) {
    if (stream == Stream::kOutput) {
      ToConsole(job, data, length);
    } else {
      PassError(data, length);
    }
  } else {
    held.Append(data, length);
  }
}

void CommandExecutor::ToConsole(Job& job, const char* data, std::size_t length) {
  if (length == 0) return;
  if (!job.output_told) {
    job.output_told = true;
    if (hooks_.output_starting) hooks_.output_starting(job.full_path);
  }
  if (!one_slot_) {
    hooks_.console->Write(data, length);
    return;
  }
  for (std::size_t done = 0; done < length; done += OutputChunkSize)
    hooks_.console->Write(data + done, std::min(OutputChunkSize, length - done));
}

// The child has ended: what it wrote before is in the pipes now; a background grandchild's
// later bytes are not waited for.
void CommandExecutor::Complete(Job& job) {
  ChildRecord* record = job.record.get();
  for (Stream stream : {Stream::kOutput, Stream::kError}) {
    if (!(stream == Stream::kOutput ? job.output_open : job.error_open)) continue;
    const int fd =
        stream == Stream::kOutput ? ChildOutputDescriptor(record) : ChildErrorDescriptor(record);
    int available = 0;
    if (ioctl(fd, FIONREAD, &available) != 0) available = 0;
    while (available > 0) {
      const ssize_t got =
          read(fd, scratch_.data(), std::min(scratch_.size(), static_cast<std::size_t>(available)));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      Take(job, stream, scratch_.data(), static_cast<std::size_t>(got));
      available -= static_cast<int>(got);
    }
  }
  job.outcome.wait_status = ChildExitStatus(record).value_or(0);
  job.record.reset();
  job.output_open = job.error_open = false;
  job.complete = true;
  --running_;
  if (job.report_to) *job.report_to = job.outcome;
  // Told now rather than in walk order: a front end that stops at the first failure must not
  // wait for the slow commands before it.
  if (hooks_.command_ended) hooks_.command_ended(job.full_path, job.outcome);
}

// Passes on the front command's held output, standard output first; a command whose output
// is all out leaves the line. While ending, the console is not waited for.
void CommandExecutor::Flush(bool ending) {
  std::size_t budget = ending ? SIZE_MAX : kPassPerTurn;
  while (!jobs_.empty()) {
    Job& front = *jobs_.front();
    if (!ending && Backlog()) return;
    budget -= front.output.Pass(
        [this, &front](const char* data, std::size_t length) { ToConsole(front, data, length); },
        budget, scratch_);
    if (front.output.Empty())
      budget -= front.error.Pass(
          [this](const char* data, std::size_t length) { PassError(data, length); }, budget,
          scratch_);
    if (!front.complete || !front.output.Empty() || !front.error.Empty()) return;
    jobs_.pop_front();
  }
}

bool CommandExecutor::FlushPending() const {
  if (jobs_.empty() || Backlog()) return false;
  const Job& front = *jobs_.front();
  return front.complete || !front.output.Empty() || !front.error.Empty();
}

// The console ended: every process the commands started is asked to stop the way the front
// end wants, and killed when it has not within the grace time; what the commands wrote still
// goes out in order.
void CommandExecutor::End(ConsoleState state) {
  ended_ = true;
  finished_ = true;
  const int fallback = state == ConsoleState::kInterrupted ? SIGINT : SIGHUP;
  const int signal = hooks_.ending_signal ? hooks_.ending_signal(state) : fallback;
  // Signal 0: a terminal's key reached our own process group already; what moved out of it
  // still needs telling.
  SignalProcesses(Descendants(spare_), signal != 0 ? signal : fallback,
                  signal != 0 ? 0 : getpgrp());
  const std::int64_t kill_at = NowMs() + kGraceMs;
  while (!jobs_.empty() && running_ > 0 && NowMs() < kill_at) Step(true, kill_at);
  EndLeftovers(0, kill_at);
}

// Until none of what the commands started is left: first_signal to each (0: none), SIGKILL
// from kill_at on; the orphans that came to us are reaped. Gives up a grace time after the
// first kill on what cannot be ended (a process stuck in the kernel).
void CommandExecutor::EndLeftovers(int first_signal, std::int64_t kill_at) {
  std::int64_t give_up = -1;
  for (;;) {
    const bool killing = NowMs() >= kill_at;
    if (killing && give_up < 0) give_up = NowMs() + kGraceMs;
    if (!jobs_.empty()) {
      if (killing && NowMs() >= give_up) return;
      if (killing) SignalProcesses(Descendants(spare_), SIGKILL);
      Step(true, killing ? NowMs() + kEndSweepMs : kill_at);
      continue;
    }
    const std::vector<ProcessIdentity> left = Descendants(spare_);
    if (left.empty()) return;
    if (first_signal != 0) SignalProcesses(left, first_signal);
    first_signal = 0;
    if (killing) SignalProcesses(left, SIGKILL);
    ReapEnded(left);
    if (killing && NowMs() >= give_up) return;
    Idle();
    hooks_.console->Service();
    PollFor(nullptr, 0,
            static_cast<int>(std::clamp<std::int64_t>(kill_at - NowMs(), 1, kEndSweepMs)));
  }
}

void CommandExecutor::Idle() {
  const std::int64_t now = NowMs();
  if (now - last_idle_ < kIdlePeriodMs) return;
  last_idle_ = now;
  if (hooks_.idle) hooks_.idle();
}

int CommandExecutor::IdleBudget() const {
  return static_cast<int>(
      std::clamp<std::int64_t>(kIdlePeriodMs - (NowMs() - last_idle_), 0, kIdlePeriodMs));
}

bool CommandExecutor::Backlog() const { return hooks_.console->Pending() > kConsoleBacklogLimit; }

void CommandExecutor::PassError(const char* data, std::size_t length) {
  if (hooks_.error_output) {
    hooks_.error_output(data, length);
    return;
  }
  // Without a front end that takes them they go where ours go, as far as it takes them now.
  WriteAll(STDERR_FILENO, {data, length}, WhenFull::kStop);
}

}  // namespace wendrix
