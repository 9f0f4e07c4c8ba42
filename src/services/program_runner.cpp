#include "services/program_runner.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <optional>

extern char** environ;

namespace wendrix {

struct ChildRecord {
  // Registry links, newest first.
  ChildRecord* next = nullptr;
  ChildRecord* previous = nullptr;

  pid_t pid = -1;
  bool through_shell = false;
  int pidfd = -1;  // -1 once the end is known, or when the kernel offers none
  int input_fd = -1;
  int output_fd = -1;
  int error_fd = -1;
  bool ended = false;  // reaped; the status is remembered
  int exit_status = 0;
  bool output_eof = false;  // every writing end of the output pipe is closed
};

namespace {

// Owns one descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& other) noexcept : fd_(other.Release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  ~Fd() { Reset(); }

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// Owns the spawn attributes and file actions of one start.
class SpawnSetup {
 public:
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions_);
    posix_spawnattr_init(&attr_);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attr_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  posix_spawn_file_actions_t* Actions() { return &actions_; }
  posix_spawnattr_t* Attr() { return &attr_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attr_;
};

struct Pipe {
  Fd read_end;
  Fd write_end;
};

// Moves fd above the standard descriptors, so that placing one pipe end on 0, 1 or 2 in the
// child can never overwrite another.
bool LiftAboveStdio(Fd& fd) {
  if (fd.Get() > STDERR_FILENO) return true;
  int lifted = fcntl(fd.Get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (lifted < 0) return false;
  fd.Reset(lifted);
  return true;
}

std::optional<Pipe> MakePipe() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return std::nullopt;
  Pipe pipe{Fd(ends[0]), Fd(ends[1])};
  if (!LiftAboveStdio(pipe.read_end) || !LiftAboveStdio(pipe.write_end)) return std::nullopt;
  return pipe;
}

bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) == 0;
}

// The file that starting program would run, as a path that stays valid after a change of
// folder in the child; nullopt when there is none.
std::optional<std::string> ResolveProgram(const std::string& program, bool absolute) {
  if (program.empty()) return std::nullopt;
  std::string found;
  if (program.find('/') != std::string::npos) {
    if (!IsExecutableFile(program)) return std::nullopt;
    found = program;
  } else {
    const char* path_env = std::getenv("PATH");
    std::string_view search = path_env != nullptr ? path_env : "/bin:/usr/bin";
    bool matched = false;
    for (;;) {
      const std::size_t colon = search.find(':');
      std::string_view dir = search.substr(0, colon);
      std::string candidate = dir.empty() ? "./" + program : std::string(dir) + "/" + program;
      if (IsExecutableFile(candidate)) {
        found = std::move(candidate);
        matched = true;
        break;
      }
      if (colon == std::string_view::npos) break;
      search.remove_prefix(colon + 1);
    }
    if (!matched) return std::nullopt;
  }
  if (absolute && found.front() != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return std::nullopt;
    found = std::string(cwd) + "/" + found;
  }
  return found;
}

ChildStdio& StdioSetting() {
  static ChildStdio stdio;
  return stdio;
}

std::mutex& RegistryMutex() {
  static std::mutex mutex;
  return mutex;
}

ChildRecord*& RegistryHead() {
  static ChildRecord* head = nullptr;
  return head;
}

void RegistryLink(ChildRecord* record) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  ChildRecord*& head = RegistryHead();
  record->next = head;
  if (head != nullptr) head->previous = record;
  head = record;
}

void RegistryUnlink(ChildRecord* record) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  if (record->previous != nullptr) {
    record->previous->next = record->next;
  } else {
    RegistryHead() = record->next;
  }
  if (record->next != nullptr) record->next->previous = record->previous;
}

// Children nobody waits for any more. Each is reaped by a small detached thread blocked in
// waitpid, so none stays a zombie after its end; when no thread can be made, the pid waits in
// a list that the next start or wait sweeps.
std::mutex& OrphanMutex() {
  static std::mutex mutex;
  return mutex;
}

std::vector<pid_t>& OrphanList() {
  static std::vector<pid_t> list;
  return list;
}

void* ReaperMain(void* arg) {
  const pid_t pid = static_cast<pid_t>(reinterpret_cast<std::intptr_t>(arg));
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  return nullptr;
}

void SweepOrphans() {
  std::lock_guard<std::mutex> lock(OrphanMutex());
  std::vector<pid_t>& list = OrphanList();
  std::erase_if(list, [](pid_t pid) {
    pid_t got = waitpid(pid, nullptr, WNOHANG);
    return got == pid || (got < 0 && errno == ECHILD);
  });
}

void ReapLater(pid_t pid) {
  pthread_attr_t attr;
  bool started = false;
  if (pthread_attr_init(&attr) == 0) {
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, std::max<std::size_t>(PTHREAD_STACK_MIN, 64 * 1024));
    // The reaper must not take signals meant for the program's own handlers.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_t thread;
    started = pthread_create(&thread, &attr, ReaperMain,
                             reinterpret_cast<void*>(static_cast<std::intptr_t>(pid))) == 0;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    pthread_attr_destroy(&attr);
  }
  if (!started) {
    std::lock_guard<std::mutex> lock(OrphanMutex());
    OrphanList().push_back(pid);
  }
}

void WaitBlocking(pid_t pid, int* status) {
  while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
  }
}

int OpenPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
  // Close-on-exec by definition.
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  return -1;
#endif
}

// Marks the record ended when its child has ended, reaping it.
bool CheckEnded(ChildRecord* record) {
  if (record->ended) return true;
  int status = 0;
  pid_t got;
  do {
    got = waitpid(record->pid, &status, WNOHANG);
  } while (got < 0 && errno == EINTR);
  if (got == record->pid) {
    record->ended = true;
    record->exit_status = status;
  } else if (got < 0 && errno == ECHILD) {
    record->ended = true;  // reaped elsewhere (SIGCHLD ignored): it is gone all the same
  }
  if (record->ended && record->pidfd >= 0) {
    close(record->pidfd);
    record->pidfd = -1;
  }
  return record->ended;
}

std::int64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

struct SpawnRequest {
  std::string path;                     // the file to execute
  std::vector<std::string> argv;        // argv[0..]
  const std::string* folder = nullptr;  // nullptr or empty: keep the current folder
  int stdin_fd = -1;                    // -1: leave the stream as inherited
  int stdout_fd = -1;
  int stderr_fd = -1;
  bool own_process_group = false;
};

// Starts the request with default signal dispositions, an empty signal mask and no descriptor
// but 0, 1 and 2. Returns the pid, or -1.
pid_t Spawn(const SpawnRequest& request) {
  SpawnSetup setup;
  posix_spawn_file_actions_t* actions = setup.Actions();
  posix_spawnattr_t* attr = setup.Attr();

  short spawn_flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  // The program ignores SIGPIPE; a child must not inherit that.
  sigset_t defaults;
  sigfillset(&defaults);
  sigdelset(&defaults, SIGKILL);
  sigdelset(&defaults, SIGSTOP);
  sigset_t empty_mask;
  sigemptyset(&empty_mask);
  posix_spawnattr_setsigdefault(attr, &defaults);
  posix_spawnattr_setsigmask(attr, &empty_mask);
  if (request.own_process_group) {
    spawn_flags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setpgroup(attr, 0);
  }
  posix_spawnattr_setflags(attr, spawn_flags);

  const int targets[3] = {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO};
  const int sources[3] = {request.stdin_fd, request.stdout_fd, request.stderr_fd};
  for (int i = 0; i < 3; ++i) {
    if (sources[i] >= 0 && sources[i] != targets[i] &&
        posix_spawn_file_actions_adddup2(actions, sources[i], targets[i]) != 0) {
      return -1;
    }
  }
  if (request.folder != nullptr && !request.folder->empty() &&
      posix_spawn_file_actions_addchdir_np(actions, request.folder->c_str()) != 0) {
    return -1;
  }
  // Everything of ours is close-on-exec already; this also keeps out what a library opened
  // without it.
#if defined(__GLIBC__) && __GLIBC_PREREQ(2, 34)
  if (posix_spawn_file_actions_addclosefrom_np(actions, STDERR_FILENO + 1) != 0) return -1;
#endif

  std::vector<char*> argv;
  argv.reserve(request.argv.size() + 1);
  for (const std::string& arg : request.argv) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  pid_t pid = -1;
  if (posix_spawn(&pid, request.path.c_str(), actions, attr, argv.data(), environ) != 0) return -1;
  return pid;
}

ChildRecord* NewRecord(pid_t pid) {
  auto* record = new ChildRecord;
  record->pid = pid;
  RegistryLink(record);
  return record;
}

// A file that cannot be executed is handed to the desktop's opener, which picks the program
// that shows it.
ChildHandle StartThroughShell(const std::string& program, const std::string& folder,
                              std::uint32_t flags) {
  struct stat st {};
  if (program.empty() || stat(program.c_str(), &st) != 0) return kChildNotStarted;
  std::optional<std::string> opener = ResolveProgram("xdg-open", false);
  if (!opener) return kChildNotStarted;

  std::string shell_folder = folder;
  if (shell_folder.empty()) {
    const std::size_t slash = program.rfind('/');
    if (slash != std::string::npos && slash > 0) shell_folder = program.substr(0, slash + 1);
  }
  std::string target = program;
  if (!shell_folder.empty() && target.front() != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return kChildNotStarted;
    target = std::string(cwd) + "/" + target;
  }
  SpawnRequest request;
  request.path = *opener;
  request.argv = {"xdg-open", target};
  request.folder = &shell_folder;
  const pid_t pid = Spawn(request);
  if (pid < 0) return kChildNotStarted;

  ChildRecord* record = nullptr;
  if (flags & ChildKeep) {
    record = NewRecord(pid);
    record->through_shell = true;
    record->pidfd = OpenPidFd(pid);
  }
  if (flags & ChildWait) {
    int status = 0;
    WaitBlocking(pid, &status);
    if (record != nullptr) {
      record->ended = true;
      record->exit_status = status;
      if (record->pidfd >= 0) close(record->pidfd);
      record->pidfd = -1;
    }
  } else if (record == nullptr) {
    ReapLater(pid);
  }
  return record != nullptr ? reinterpret_cast<ChildHandle>(record) : kChildStartedUnkept;
}

}  // namespace

void SetChildStdio(const ChildStdio& stdio) { StdioSetting() = stdio; }

ChildStdio CurrentChildStdio() { return StdioSetting(); }

ChildHandle ChildStart(const std::string& program, const std::vector<std::string>& args,
                       const std::string& folder, std::uint32_t flags) {
  SweepOrphans();
  const bool keep = (flags & ChildKeep) != 0;
  const bool any_pipe_bit =
      (flags & (ChildPipeOutput | ChildPipeInput | ChildPipeError | ChildConnect)) != 0;

  std::optional<std::string> path = ResolveProgram(program, !folder.empty());
  if (!path) {
    return any_pipe_bit ? kChildNotStarted : StartThroughShell(program, folder, flags);
  }

  // A pipe that cannot be made leaves its stream as it is; the start goes on.
  std::optional<Pipe> input_pipe, output_pipe, error_pipe;
  if (keep && (flags & ChildPipeInput)) input_pipe = MakePipe();
  if (keep && (flags & ChildPipeOutput)) output_pipe = MakePipe();
  if (keep && (flags & ChildPipeError)) error_pipe = MakePipe();
  const bool piped = input_pipe || output_pipe || error_pipe;
  Fd null_input;
  if (piped && !input_pipe && (flags & ChildNullInput)) {
    null_input.Reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
    // Refused rather than handing the child our own input behind the caller's back.
    if (!null_input.Valid() || !LiftAboveStdio(null_input)) return kChildNotStarted;
  }

  SpawnRequest request;
  request.path = std::move(*path);
  request.argv.reserve(args.size() + 1);
  request.argv.push_back(program);
  request.argv.insert(request.argv.end(), args.begin(), args.end());
  request.folder = &folder;
  if (piped) {
    // With a pipe the child shares the console for the streams that are not piped.
    const ChildStdio& stdio = StdioSetting();
    request.stdin_fd = input_pipe           ? input_pipe->read_end.Get()
                       : null_input.Valid() ? null_input.Get()
                                            : stdio.input;
    request.stdout_fd = output_pipe ? output_pipe->write_end.Get() : -1;
    request.stderr_fd = error_pipe ? error_pipe->write_end.Get() : stdio.error;
    request.own_process_group = stdio.own_process_group;
  }
  const pid_t pid = Spawn(request);
  if (pid < 0) {
    return any_pipe_bit ? kChildNotStarted : StartThroughShell(program, folder, flags);
  }

  // The child's ends close here, so that the end of its output shows once it (and whatever
  // inherited them) has closed them.
  if (input_pipe) input_pipe->read_end.Reset();
  if (output_pipe) output_pipe->write_end.Reset();
  if (error_pipe) error_pipe->write_end.Reset();

  if (!keep) {
    if (flags & ChildWait) {
      WaitBlocking(pid, nullptr);
    } else {
      ReapLater(pid);
    }
    return kChildStartedUnkept;
  }

  ChildRecord* record = NewRecord(pid);
  if (input_pipe) record->input_fd = input_pipe->write_end.Release();
  if (output_pipe) record->output_fd = output_pipe->read_end.Release();
  if (error_pipe) record->error_fd = error_pipe->read_end.Release();
  if (flags & ChildWait) {
    int status = 0;
    WaitBlocking(pid, &status);
    record->ended = true;
    record->exit_status = status;
  } else {
    record->pidfd = OpenPidFd(pid);
  }
  return reinterpret_cast<ChildHandle>(record);
}

int ChildRunning(ChildRecord* record) {
  if (record == nullptr) return 0;
  if (!CheckEnded(record)) return 1;
  return ChildOutputAvailable(record) > 0 ? 1 : 0;
}

std::int32_t ChildOutputAvailable(ChildRecord* record) {
  if (record == nullptr || record->output_fd < 0) return 0;
  int available = 0;
  if (ioctl(record->output_fd, FIONREAD, &available) != 0 || available < 0) return 0;
  return available;
}

std::int32_t ChildReadOutput(ChildRecord* record, char* buffer, std::int32_t count) {
  if (record == nullptr || record->output_fd < 0 || buffer == nullptr || count <= 0) return 0;
  std::int32_t delivered = 0;
  while (delivered < count) {
    ssize_t n =
        read(record->output_fd, buffer + delivered, static_cast<std::size_t>(count - delivered));
    if (n > 0) {
      delivered += static_cast<std::int32_t>(n);
    } else if (n == 0) {
      record->output_eof = true;
      break;
    } else if (errno != EINTR) {
      break;
    }
  }
  return delivered;
}

void ChildClose(ChildRecord* record) {
  if (record == nullptr) return;
  for (int fd : {record->input_fd, record->output_fd, record->error_fd, record->pidfd}) {
    if (fd >= 0) close(fd);
  }
  record->pidfd = -1;
  // The child is neither stopped nor waited for; it is reaped once it ends.
  if (!CheckEnded(record)) ReapLater(record->pid);
  RegistryUnlink(record);
  delete record;
}

int ChildProcessId(ChildRecord* record) {
  if (record == nullptr || record->through_shell) return -1;
  return record->pid;
}

bool ChildHasEnded(ChildRecord* record) { return record == nullptr || CheckEnded(record); }

int ChildExitStatus(ChildRecord* record) {
  return record != nullptr && record->ended ? record->exit_status : 0;
}

int ChildOutputDescriptor(ChildRecord* record) { return record ? record->output_fd : -1; }
int ChildErrorDescriptor(ChildRecord* record) { return record ? record->error_fd : -1; }
int ChildEndDescriptor(ChildRecord* record) { return record ? record->pidfd : -1; }

ChildActivity ChildWaitActivity(ChildRecord* record, int timeout_ms, std::span<pollfd> extra,
                                bool watch_output) {
  SweepOrphans();
  const std::int64_t deadline = timeout_ms >= 0 ? NowMs() + timeout_ms : -1;
  std::vector<pollfd> fds;
  fds.reserve(extra.size() + 2);
  for (;;) {
    fds.clear();
    int output_index = -1;
    int pid_index = -1;
    bool end_by_sweep = false;  // no pidfd: look for the end every few milliseconds
    if (record != nullptr) {
      if (watch_output && record->output_fd >= 0 && !record->output_eof) {
        output_index = static_cast<int>(fds.size());
        fds.push_back({record->output_fd, POLLIN, 0});
      }
      if (!record->ended) {
        if (record->pidfd >= 0) {
          pid_index = static_cast<int>(fds.size());
          fds.push_back({record->pidfd, POLLIN, 0});
        } else {
          end_by_sweep = true;
        }
      }
    }
    const std::size_t extra_index = fds.size();
    fds.insert(fds.end(), extra.begin(), extra.end());

    int wait_ms = -1;
    if (deadline >= 0) wait_ms = static_cast<int>(std::max<std::int64_t>(0, deadline - NowMs()));
    if (end_by_sweep) wait_ms = wait_ms < 0 ? 10 : std::min(wait_ms, 10);
    if (fds.empty() && wait_ms < 0) return ChildActivity::kEnded;  // nothing could ever wake us

    const int rc = poll(fds.data(), fds.size(), wait_ms);
    if (rc < 0) {
      // A signal: let the caller look at what its handler reported.
      for (pollfd& fd : extra) fd.revents = 0;
      return ChildActivity::kTimeout;
    }
    bool extra_event = false;
    for (std::size_t i = 0; i < extra.size(); ++i) {
      extra[i].revents = fds[extra_index + i].revents;
      extra_event = extra_event || extra[i].revents != 0;
    }
    bool ended_now = false;
    if ((pid_index >= 0 && fds[pid_index].revents != 0) || end_by_sweep) {
      ended_now = CheckEnded(record);
    }
    if (output_index >= 0) {
      const short revents = fds[output_index].revents;
      if (revents & POLLIN) return ChildActivity::kOutput;
      // A hang-up with nothing left to read: every writer is gone, stop watching the pipe.
      if ((revents & (POLLHUP | POLLERR)) && ChildOutputAvailable(record) == 0) {
        record->output_eof = true;
      }
    }
    if (ended_now) return ChildActivity::kEnded;
    if (extra_event) return ChildActivity::kExtra;
    if (deadline >= 0 && NowMs() >= deadline) return ChildActivity::kTimeout;
  }
}

}  // namespace wendrix
