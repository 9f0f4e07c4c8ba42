#include "services/spawn.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string_view>

extern char** environ;

namespace wendrix {

namespace {

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

// Default dispositions and an empty mask: the program ignores SIGPIPE and may block signals,
// and a child must not inherit that.
int SetSignals(posix_spawnattr_t* attr, const SpawnRequest& request) {
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  sigset_t defaults;
  sigfillset(&defaults);
  sigdelset(&defaults, SIGKILL);
  sigdelset(&defaults, SIGSTOP);
  sigset_t empty_mask;
  sigemptyset(&empty_mask);
  posix_spawnattr_setsigdefault(attr, &defaults);
  posix_spawnattr_setsigmask(attr, &empty_mask);
  if (request.own_process_group) {
    flags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setpgroup(attr, 0);
  }
  if (request.new_session) flags |= POSIX_SPAWN_SETSID;
  return posix_spawnattr_setflags(attr, flags);
}

int SetStreams(posix_spawn_file_actions_t* actions, const SpawnRequest& request) {
  if (request.null_streams) {
    if (int rc = posix_spawn_file_actions_addopen(actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0))
      return rc;
    if (int rc = posix_spawn_file_actions_addopen(actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0))
      return rc;
    return posix_spawn_file_actions_adddup2(actions, STDOUT_FILENO, STDERR_FILENO);
  }
  const int targets[3] = {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO};
  const int sources[3] = {request.stdin_fd, request.stdout_fd, request.stderr_fd};
  for (int i = 0; i < 3; ++i) {
    if (sources[i] >= 0 && sources[i] != targets[i]) {
      if (int rc = posix_spawn_file_actions_adddup2(actions, sources[i], targets[i])) return rc;
    }
  }
  return 0;
}

int SetFileActions(posix_spawn_file_actions_t* actions, const SpawnRequest& request) {
  if (int rc = SetStreams(actions, request)) return rc;
  if (!request.folder.empty()) {
    if (int rc = posix_spawn_file_actions_addchdir_np(actions, request.folder.c_str())) return rc;
  }
  // Everything of ours is close-on-exec already; this also keeps out what a library opened
  // without it.
#if defined(__GLIBC__) && __GLIBC_PREREQ(2, 34)
  if (int rc = posix_spawn_file_actions_addclosefrom_np(actions, STDERR_FILENO + 1)) return rc;
#endif
  return 0;
}

std::string DefaultSearchPath() {
  const std::size_t size = confstr(_CS_PATH, nullptr, 0);
  if (size == 0) return "/bin:/usr/bin";
  std::string path(size, '\0');
  confstr(_CS_PATH, path.data(), size);
  path.resize(size - 1);
  return path;
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

bool StartReaperThread(pid_t pid) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, std::max<std::size_t>(PTHREAD_STACK_MIN, 64 * 1024));
  // The reaper must not take signals meant for the program's own handlers.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  pthread_t thread;
  const bool started =
      pthread_create(&thread, &attr, ReaperMain,
                     reinterpret_cast<void*>(static_cast<std::intptr_t>(pid))) == 0;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  pthread_attr_destroy(&attr);
  return started;
}

}  // namespace

pid_t Spawn(const SpawnRequest& request) {
  SpawnSetup setup;
  int rc = SetSignals(setup.Attr(), request);
  if (rc == 0) rc = SetFileActions(setup.Actions(), request);
  if (rc != 0) {
    errno = rc;
    return -1;
  }

  std::vector<char*> argv;
  argv.reserve(request.argv.size() + 1);
  for (const std::string& arg : request.argv) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  pid_t pid = -1;
  rc = posix_spawn(&pid, request.path.c_str(), setup.Actions(), setup.Attr(), argv.data(), environ);
  if (rc != 0) {
    errno = rc;
    return -1;
  }
  return pid;
}

bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return false;
  if (!S_ISREG(st.st_mode)) {
    errno = EACCES;
    return false;
  }
  return faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) == 0;
}

std::optional<std::string> FindProgram(const std::string& program) {
  if (program.empty()) {
    errno = ENOENT;
    return std::nullopt;
  }
  if (program.find('/') != std::string::npos) {
    if (!IsExecutableFile(program)) return std::nullopt;
    return program;
  }
  const char* path_env = std::getenv("PATH");
  const std::string path_list = path_env != nullptr ? path_env : DefaultSearchPath();
  // As a shell reports it: a file found but not executable outweighs none found.
  int why = ENOENT;
  std::string_view search = path_list;
  for (;;) {
    const std::size_t colon = search.find(':');
    const std::string_view dir = search.substr(0, colon);
    std::string candidate = dir.empty() ? "./" + program : std::string(dir) + "/" + program;
    if (IsExecutableFile(candidate)) return candidate;
    if (errno == EACCES) why = EACCES;
    if (colon == std::string_view::npos) break;
    search.remove_prefix(colon + 1);
  }
  errno = why;
  return std::nullopt;
}

void ReapLater(pid_t pid) {
  if (StartReaperThread(pid)) return;
  std::lock_guard<std::mutex> lock(OrphanMutex());
  OrphanList().push_back(pid);
}

void SweepOrphans() {
  std::lock_guard<std::mutex> lock(OrphanMutex());
  std::erase_if(OrphanList(), [](pid_t pid) {
    const pid_t got = waitpid(pid, nullptr, WNOHANG);
    return got == pid || (got < 0 && errno == ECHILD);
  });
}

}  // namespace wendrix
