#include "engine/parallel_jobs.h"

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
#include <cstdlib>

#include "services/clock.h"
#include "services/path_helpers.h"
#include "services/program_runner.h"
#include "services/unique_fd.h"

namespace wendrix {
namespace {

// One read from a pipe, and one piece read back from a spilled output.
constexpr std::size_t kReadChunk = 64 * 1024;
// Held bytes stay in memory up to this much per output and in all; beyond, they spill to an
// unlinked temporary file, so a command writing gigabytes costs disk, not memory.
constexpr std::size_t kMemoryPerOutput = std::size_t{1} << 20;
constexpr std::size_t kMemoryInAll = std::size_t{16} << 20;
// Bytes passed on per turn of the loop, so that a long held output does not keep the other
// commands' pipes and the console unserved.
constexpr std::size_t kPassPerTurn = std::size_t{1} << 20;
// Commands that have ended and wait for an earlier one that still runs. More keeps the
// processors busy behind one slow command; each may hold two temporary files.
constexpr std::size_t kMaxWaiting = 32;
// Above this many undelivered bytes the console is waited for.
constexpr std::size_t kConsoleBacklogLimit = std::size_t{1} << 20;
// The idle hook runs at least every 50 ms; aim a little earlier.
constexpr std::int64_t kIdlePeriodMs = 40;
// Without a pidfd, how often to look whether a child has ended.
constexpr int kEndSweepMs = 10;
// A command asked to stop for the console's end is killed after this long.
constexpr std::int64_t kKillAfterMs = 2000;

void WriteAll(int fd, const char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t n = write(fd, data, length);
    if (n > 0) {
      data += n;
      length -= static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd wait{fd, POLLOUT, 0};
      if (poll(&wait, 1, -1) < 0 && errno != EINTR) return;
    } else {
      return;  // gone: like a console that cannot take them, the bytes are dropped
    }
  }
}

UniqueFd OpenTemporary(const std::string& folder) {
  if (folder.empty()) return UniqueFd();
  UniqueFd fd(open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (fd.Valid()) return fd;
  // A file system without unnamed files: a named one, gone from the folder at once.
  std::string pattern = folder + "wendrix-held-XXXXXX";
  fd.Reset(mkostemp(pattern.data(), O_CLOEXEC));
  if (fd.Valid()) unlink(pattern.c_str());
  return fd;
}

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

// All bytes in the file are older than those in memory; so a file being passed on takes new
// bytes at its end, and memory spills to the end of the file.
class ParallelJobs::HeldOutput {
 public:
  explicit HeldOutput(HoldingArea& area) : area_(area) {}
  ~HeldOutput() { area_.in_memory -= memory_.size(); }
  HeldOutput(const HeldOutput&) = delete;
  HeldOutput& operator=(const HeldOutput&) = delete;

  bool Empty() const { return memory_.empty() && file_read_ == file_end_; }

  void Append(const char* data, std::size_t length) {
    if (length == 0) return;
    if (memory_.empty() && file_read_ < file_end_ && ToFile(data, length)) return;
    memory_.append(data, length);
    area_.in_memory += length;
    if (memory_.size() > kMemoryPerOutput || area_.in_memory > kMemoryInAll) Spill();
  }

  // Hands up to most bytes to sink, oldest first, through scratch; returns how many.
  std::size_t Pass(const std::function<void(const char*, std::size_t)>& sink, std::size_t most,
                   std::vector<char>& scratch) {
    std::size_t passed = 0;
    while (passed < most && file_read_ < file_end_) {
      const std::size_t want = std::min(
          {scratch.size(), most - passed, static_cast<std::size_t>(file_end_ - file_read_)});
      const ssize_t got = pread(fd_.Get(), scratch.data(), want, file_read_);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        file_read_ = file_end_;  // unreadable: nothing more can be got from it
        break;
      }
      sink(scratch.data(), static_cast<std::size_t>(got));
      file_read_ += got;
      passed += static_cast<std::size_t>(got);
    }
    if (file_end_ > 0 && file_read_ == file_end_) {
      // Passed on whole: give the disk back, and let new bytes stay in memory again.
      if (ftruncate(fd_.Get(), 0) == 0) file_read_ = file_end_ = 0;
    }
    if (passed < most && file_read_ == file_end_ && !memory_.empty()) {
      const std::size_t piece = std::min(memory_.size(), most - passed);
      sink(memory_.data(), piece);
      memory_.erase(0, piece);
      area_.in_memory -= piece;
      passed += piece;
      if (memory_.empty()) std::string().swap(memory_);
    }
    return passed;
  }

 private:
  void Spill() {
    if (file_failed_) return;
    if (!fd_.Valid()) fd_ = OpenTemporary(area_.temp_folder);
    if (!fd_.Valid()) {
      file_failed_ = true;
      return;
    }
    if (!ToFile(memory_.data(), memory_.size())) return;  // kept in memory: nothing is lost
    area_.in_memory -= memory_.size();
    std::string().swap(memory_);
  }

  // Appends at the end of the file; false (and no more tries) when the disk refuses.
  bool ToFile(const char* data, std::size_t length) {
    if (file_failed_ || !fd_.Valid()) return false;
    std::size_t done = 0;
    while (done < length) {
      const ssize_t n =
          pwrite(fd_.Get(), data + done, length - done, file_end_ + static_cast<off_t>(done));
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else if (!(n < 0 && errno == EINTR)) {
        file_failed_ = true;
        return false;
      }
    }
    file_end_ += static_cast<off_t>(length);
    return true;
  }

  HoldingArea& area_;
  std::string memory_;
  UniqueFd fd_;
  off_t file_read_ = 0;  // passed on up to here
  off_t file_end_ = 0;
  bool file_failed_ = false;
};

struct ParallelJobs::Job {
  Job(HoldingArea& area, std::string path)
      : full_path(std::move(path)), output(area), error(area) {}

  std::string full_path;
  ChildHandle record;  // released once complete
  CommandOutcome outcome;
  HeldOutput output;
  HeldOutput error;
  bool output_open = false;  // the pipe may still bring bytes
  bool error_open = false;
  bool complete = false;  // ended, and its pipes read: nothing more will come
  bool output_started = false;  // its first output byte has gone to the console
};

ParallelJobs::ParallelJobs(JobHooks& hooks)
    : hooks_(hooks),
      max_running_(std::clamp<std::size_t>(static_cast<std::size_t>(std::max(hooks.jobs, 1)), 1,
                                           MostRunningForDescriptors())),
      max_in_flight_(max_running_ + kMaxWaiting),
      scratch_(kReadChunk),
      last_idle_(NowMs()),
      output_sink_(
          [this](const char* data, std::size_t length) { hooks_.console->Write(data, length); }),
      error_sink_([this](const char* data, std::size_t length) { PassError(data, length); }) {
  area_.temp_folder = TempFolder();
}

ParallelJobs::~ParallelJobs() = default;

EntryOutcome ParallelJobs::Start(const CommandLine& line, const std::string& full_path) {
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

  if (hooks_.command_starting) hooks_.command_starting(full_path);
  auto job = std::make_unique<Job>(area_, full_path);
  ChildHandle child = ChildStart(line.program, line.args, "",
                                 ChildKeep | ChildPipeOutput | ChildPipeError | ChildNullInput);
  if (!child) {
    job->outcome.start_error = errno;
    job->complete = true;
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

EntryOutcome ParallelJobs::Finish() {
  if (ended_) return EntryOutcome::kConsoleEnded;
  while (!jobs_.empty()) {
    const ConsoleState state = Step(true);
    if (state != ConsoleState::kOpen) {
      End(state);
      return EntryOutcome::kConsoleEnded;
    }
  }
  return EntryOutcome::kDone;
}

// One wait for any pipe, any end, the console or the next idle call; then what came is taken,
// the front's output passed on, and the console asked whether it still stands.
ConsoleState ParallelJobs::Step(bool may_block) {
  const bool sweep = WatchRunning();
  hooks_.console->AddWaitDescriptors(fds_);

  int timeout = may_block && !FlushPending() ? IdleBudget() : 0;
  if (sweep) timeout = std::min(timeout, kEndSweepMs);
  if (PollFor(fds_.data(), fds_.size(), timeout) > 0) {
    for (std::size_t i = 0; i < watches_.size(); ++i) {
      if (fds_[i].revents == 0) continue;
      Job& job = *watches_[i].job;
      if (watches_[i].what == Watched::kEnd) {
        if (ChildHasEnded(job.record.get())) Complete(job);
      } else if (!job.complete) {
        ReadPipe(job, watches_[i].what == Watched::kOutput ? Stream::kOutput : Stream::kError);
      }
    }
  }
  if (sweep) SweepEnded();
  Idle();
  const ConsoleState state = hooks_.console->Service();
  Flush(ended_);
  return state;
}

// Puts every open pipe and every end descriptor of the running jobs in fds_, completing those
// found ended. True when some child gives no end descriptor, so its end must be looked for.
bool ParallelJobs::WatchRunning() {
  fds_.clear();
  watches_.clear();
  bool sweep = false;
  const auto watch = [&](Job& job, Watched what, int fd) {
    fds_.push_back({fd, POLLIN, 0});
    watches_.push_back({&job, what});
  };
  for (auto& owned : jobs_) {
    Job& job = *owned;
    if (job.complete) continue;
    ChildRecord* record = job.record.get();
    const int end_fd = ChildEndDescriptor(record);
    if (end_fd >= 0) {
      watch(job, Watched::kEnd, end_fd);
    } else if (ChildHasEnded(record)) {
      Complete(job);
      continue;
    } else {
      sweep = true;
    }
    if (job.output_open) watch(job, Watched::kOutput, ChildOutputDescriptor(record));
    if (job.error_open) watch(job, Watched::kError, ChildErrorDescriptor(record));
  }
  return sweep;
}

void ParallelJobs::SweepEnded() {
  for (auto& owned : jobs_) {
    if (!owned->complete && ChildEndDescriptor(owned->record.get()) < 0 &&
        ChildHasEnded(owned->record.get())) {
      Complete(*owned);
    }
  }
}

void ParallelJobs::ReadPipe(Job& job, Stream stream) {
  ChildRecord* record = job.record.get();
  const int fd =
      stream == Stream::kOutput ? ChildOutputDescriptor(record) : ChildErrorDescriptor(record);
  const ssize_t got = read(fd, scratch_.data(), scratch_.size());
  if (got > 0) {
    Take(job, stream, scratch_.data(), static_cast<std::size_t>(got));
  } else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
    (stream == Stream::kOutput ? job.output_open : job.error_open) = false;
  }
}

void ParallelJobs::Take(Job& job, Stream stream, const char* data, std::size_t length) {
  HeldOutput& held = stream == Stream::kOutput ? job.output : job.error;
  // The front command's bytes go straight on unless earlier bytes of it are still held.
  if (&job == jobs_.front().get() && held.Empty() && (stream == Stream::kError || !Backlog())) {
    if (stream == Stream::kOutput) OutputStarting(job);
    (stream == Stream::kOutput ? output_sink_ : error_sink_)(data, length);
  } else {
    held.Append(data, length);
  }
}

// The child has ended: what it wrote before is in the pipes now; a background grandchild's
// later bytes are not waited for, as with one command at a time.
void ParallelJobs::Complete(Job& job) {
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
  // Told now rather than in walk order: a front end that stops at the first failure must not
  // wait for the slow commands before it.
  if (hooks_.command_ended) hooks_.command_ended(job.full_path, job.outcome);
}

// Passes on the front command's held output, standard output first; a command whose output
// is all out leaves the line. While ending, the console is not waited for.
void ParallelJobs::Flush(bool ending) {
  std::size_t budget = ending ? SIZE_MAX : kPassPerTurn;
  while (!jobs_.empty()) {
    Job& front = *jobs_.front();
    if (!ending && Backlog()) return;
    if (!front.output.Empty()) OutputStarting(front);
    budget -= front.output.Pass(output_sink_, budget, scratch_);
    if (front.output.Empty()) budget -= front.error.Pass(error_sink_, budget, scratch_);
    if (!front.complete || !front.output.Empty() || !front.error.Empty()) return;
    jobs_.pop_front();
  }
}

void ParallelJobs::OutputStarting(Job& job) {
  if (!job.output_started && hooks_.output_starting) hooks_.output_starting(job.full_path);
  job.output_started = true;
}

bool ParallelJobs::FlushPending() const {
  if (jobs_.empty() || Backlog()) return false;
  const Job& front = *jobs_.front();
  return front.complete || !front.output.Empty() || !front.error.Empty();
}

void ParallelJobs::SignalRunning(int signal) {
  const bool group = CurrentChildStdio().own_process_group;
  for (auto& owned : jobs_) {
    if (owned->complete) continue;
    ChildRecord* record = owned->record.get();
    const int pid = ChildProcessId(record);
    // An ended child is reaped by this test, so its id is never signalled after reuse.
    if (pid > 0 && !ChildHasEnded(record)) kill(group ? -pid : pid, signal);
  }
}

// The console ended: every running command is asked to stop the way the front end wants, and
// killed when it will not; what they wrote still goes out in order.
void ParallelJobs::End(ConsoleState state) {
  ended_ = true;
  const int signal = hooks_.ending_signal                  ? hooks_.ending_signal(state)
                     : state == ConsoleState::kInterrupted ? SIGINT
                                                           : SIGHUP;
  SignalRunning(signal);
  const std::int64_t kill_at = NowMs() + kKillAfterMs;
  bool killed = false;
  while (!jobs_.empty()) {
    if (!killed && running_ > 0 && NowMs() >= kill_at) {
      SignalRunning(SIGKILL);
      killed = true;
    }
    Step(true);
  }
}

void ParallelJobs::Idle() {
  const std::int64_t now = NowMs();
  if (now - last_idle_ < kIdlePeriodMs) return;
  last_idle_ = now;
  if (hooks_.idle) hooks_.idle();
}

int ParallelJobs::IdleBudget() const {
  return static_cast<int>(
      std::clamp<std::int64_t>(kIdlePeriodMs - (NowMs() - last_idle_), 0, kIdlePeriodMs));
}

bool ParallelJobs::Backlog() const { return hooks_.console->Pending() > kConsoleBacklogLimit; }

void ParallelJobs::PassError(const char* data, std::size_t length) {
  if (hooks_.error_output) {
    hooks_.error_output(data, length);
  } else {
    WriteAll(STDERR_FILENO, data, length);
  }
}

}  // namespace wendrix
