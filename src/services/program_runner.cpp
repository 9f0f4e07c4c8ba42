#include "services/program_runner.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "services/fd_io.h"
#include "services/spawn.h"
#include "services/unique_fd.h"

namespace wendrix {

struct ChildRecord {
  pid_t pid = -1;
  bool through_shell = false;
  UniqueFd pidfd;  // empty once the end is known, or when the kernel offers none
  // The input and error pipes are made on request (ChildPipeInput, ChildPipeError) for callers
  // that feed or read a child beside its output.
  UniqueFd input_fd;
  UniqueFd output_fd;
  UniqueFd error_fd;
  bool ended = false;         // reaped; the status is remembered
  bool status_known = false;  // reaped here, not elsewhere
  int exit_status = 0;
  bool output_eof = false;  // every writing end of the output pipe is closed

  void MarkEnded(int status) {
    ended = true;
    status_known = true;
    exit_status = status;
    pidfd.Reset();
  }
};

namespace {

struct Pipe {
  UniqueFd read_end;
  UniqueFd write_end;
};

// Moves fd above the standard descriptors, so that placing one pipe end on 0, 1 or 2 in the
// child can never overwrite another.
bool LiftAboveStdio(UniqueFd& fd) {
  if (fd.Get() > STDERR_FILENO) return true;
  int lifted = fcntl(fd.Get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (lifted < 0) return false;
  fd.Reset(lifted);
  return true;
}

std::optional<Pipe> MakePipe() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return std::nullopt;
  Pipe pipe{UniqueFd(ends[0]), UniqueFd(ends[1])};
  if (!LiftAboveStdio(pipe.read_end) || !LiftAboveStdio(pipe.write_end)) return std::nullopt;
  return pipe;
}

// A path that stays valid after a change of folder in the child.
std::optional<std::string> Absolute(std::string path) {
  if (path.front() == '/') return path;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) return std::nullopt;
  return std::string(cwd) + "/" + path;
}

// The file that starting program would run; nullopt (errno says why) when there is none.
std::optional<std::string> ResolveProgram(const std::string& program, bool absolute) {
  std::optional<std::string> found = FindProgram(program);
  if (!found || !absolute) return found;
  return Absolute(std::move(*found));
}

int WaitBlocking(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
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
    record->MarkEnded(status);
  } else if (got < 0 && errno == ECHILD) {
    record->ended = true;  // reaped elsewhere (SIGCHLD ignored): it is gone all the same
    record->pidfd.Reset();
  }
  return record->ended;
}

// What a start that made a child hands back: the record with ChildKeep, else nothing (the
// child is waited for or handed to the reaper).
ChildHandle Settle(pid_t pid, std::uint32_t flags, ChildHandle record, bool* started) {
  *started = true;
  if (!record) {
    if (flags & ChildWait) {
      WaitBlocking(pid);
    } else {
      ReapLater(pid);
    }
    return record;
  }
  if (flags & ChildWait) {
    record->MarkEnded(WaitBlocking(pid));
  } else {
    record->pidfd.Reset(OpenPidFd(pid));
  }
  return record;
}

ChildHandle NewRecord(pid_t pid) {
  ChildHandle record(new ChildRecord);
  record->pid = pid;
  return record;
}

// A file that cannot be executed is handed to the desktop's opener, which picks the program
// that shows it.
ChildHandle StartThroughShell(const std::string& program, const std::string& folder,
                              std::uint32_t flags, bool* started) {
  struct stat st {};
  if (program.empty() || stat(program.c_str(), &st) != 0) return nullptr;
  std::optional<std::string> opener = FindProgram("xdg-open");
  if (!opener) return nullptr;

  std::string shell_folder = folder;
  if (shell_folder.empty()) {
    const std::size_t slash = program.rfind('/');
    if (slash != std::string::npos && slash > 0) shell_folder = program.substr(0, slash + 1);
  }
  std::optional<std::string> target = shell_folder.empty() ? program : Absolute(program);
  if (!target) return nullptr;
  SpawnRequest request;
  request.path = *opener;
  request.argv = {"xdg-open", *target};
  request.folder = shell_folder;
  const pid_t pid = Spawn(request);
  if (pid < 0) return nullptr;

  ChildHandle record;
  if (flags & ChildKeep) {
    record = NewRecord(pid);
    record->through_shell = true;
  }
  return Settle(pid, flags, std::move(record), started);
}

// The fallback to the desktop's opener, keeping what went wrong with the program itself when
// the opener cannot help either.
ChildHandle StartOtherwise(const std::string& program, const std::string& folder,
                           std::uint32_t flags, bool* started) {
  const int why = errno;
  const bool any_pipe_bit =
      (flags & (ChildPipeOutput | ChildPipeInput | ChildPipeError | ChildConnect)) != 0;
  ChildHandle record;
  if (!any_pipe_bit) record = StartThroughShell(program, folder, flags, started);
  if (!*started) errno = why;
  return record;
}

}  // namespace

ChildHandle ChildStart(const std::string& program, const std::vector<std::string>& args,
                       const std::string& folder, std::uint32_t flags, bool* started,
                       const ChildSetup& setup) {
  bool started_here = false;
  if (started == nullptr) started = &started_here;
  *started = false;
  SweepOrphans();
  const bool keep = (flags & ChildKeep) != 0;

  std::optional<std::string> path = setup.path != nullptr && folder.empty()
                                        ? *setup.path
                                        : ResolveProgram(program, !folder.empty());
  if (!path) return StartOtherwise(program, folder, flags, started);

  // A pipe that cannot be made leaves its stream as it is; the start goes on.
  std::optional<Pipe> input_pipe, output_pipe, error_pipe;
  if (keep && (flags & ChildPipeInput)) input_pipe = MakePipe();
  if (keep && (flags & ChildPipeOutput)) output_pipe = MakePipe();
  if (keep && (flags & ChildPipeError)) error_pipe = MakePipe();
  const bool piped = input_pipe || output_pipe || error_pipe;
  UniqueFd null_input;
  if (piped && !input_pipe && (flags & ChildNullInput)) {
    null_input.Reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
    // Refused rather than handing the child our own input behind the caller's back.
    if (!null_input.Valid() || !LiftAboveStdio(null_input)) return nullptr;
  }

  SpawnRequest request;
  request.path = std::move(*path);
  request.argv.reserve(args.size() + 1);
  request.argv.push_back(program);
  request.argv.insert(request.argv.end(), args.begin(), args.end());
  request.folder = folder;
  if (piped) {
    // With a pipe the child shares the console for the streams that are not piped.
    const ChildStdio& stdio = setup.stdio;
    request.stdin_fd = input_pipe           ? input_pipe->read_end.Get()
                       : null_input.Valid() ? null_input.Get()
                                            : stdio.input;
    request.stdout_fd = output_pipe ? output_pipe->write_end.Get() : -1;
    request.stderr_fd = error_pipe ? error_pipe->write_end.Get() : stdio.error;
    request.own_process_group = stdio.own_process_group;
  }
  const pid_t pid = Spawn(request);
  if (pid < 0) return StartOtherwise(program, folder, flags, started);

  // The child's ends close here, so that the end of its output shows once it (and whatever
  // inherited them) has closed them.
  if (input_pipe) input_pipe->read_end.Reset();
  if (output_pipe) output_pipe->write_end.Reset();
  if (error_pipe) error_pipe->write_end.Reset();

  ChildHandle record;
  if (keep) {
    record = NewRecord(pid);
    if (input_pipe) record->input_fd = std::move(input_pipe->write_end);
    if (output_pipe) record->output_fd = std::move(output_pipe->read_end);
    if (error_pipe) record->error_fd = std::move(error_pipe->read_end);
  }
  return Settle(pid, flags, std::move(record), started);
}

int ChildRunning(ChildRecord* record) {
  if (record == nullptr) return 0;
  if (!CheckEnded(record)) return 1;
  return ChildOutputAvailable(record) > 0 ? 1 : 0;
}

std::int32_t ChildOutputAvailable(ChildRecord* record) {
  if (record == nullptr || !record->output_fd.Valid()) return 0;
  int available = 0;
  if (ioctl(record->output_fd.Get(), FIONREAD, &available) != 0 || available < 0) return 0;
  return available;
}

std::int32_t ChildReadOutput(ChildRecord* record, char* buffer, std::int32_t count) {
  if (record == nullptr || !record->output_fd.Valid() || buffer == nullptr || count <= 0) return 0;
  return static_cast<std::int32_t>(ReadAll(record->output_fd.Get(), buffer,
                                           static_cast<std::size_t>(count), &record->output_eof));
}

void ChildClose(ChildRecord* record) {
  if (record == nullptr) return;
  record->pidfd.Reset();
  // The child is neither stopped nor waited for; it is reaped once it ends.
  if (!CheckEnded(record)) ReapLater(record->pid);
  delete record;
}

int ChildProcessId(ChildRecord* record) {
  if (record == nullptr || record->through_shell) return -1;
  return record->pid;
}

bool ChildHasEnded(ChildRecord* record) { return record == nullptr || CheckEnded(record); }

std::optional<int> ChildExitStatus(ChildRecord* record) {
  if (record == nullptr || !CheckEnded(record) || !record->status_known) return std::nullopt;
  return record->exit_status;
}

int ChildOutputDescriptor(ChildRecord* record) { return record ? record->output_fd.Get() : -1; }
int ChildErrorDescriptor(ChildRecord* record) { return record ? record->error_fd.Get() : -1; }
int ChildEndDescriptor(ChildRecord* record) { return record ? record->pidfd.Get() : -1; }

}  // namespace wendrix
