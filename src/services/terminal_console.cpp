#include "services/terminal_console.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "services/path_helpers.h"
#include "services/program_runner.h"
#include "services/shutdown_signals.h"

extern char** environ;

namespace wendrix {
namespace {

// Pending bytes already delivered are cut off the buffer's front once they are this many.
constexpr std::size_t kCompactAt = 1 << 20;

std::int64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

ConsoleState Graver(ConsoleState a, ConsoleState b) {
  if (a == ConsoleState::kClosed || b == ConsoleState::kClosed) return ConsoleState::kClosed;
  if (a == ConsoleState::kInterrupted || b == ConsoleState::kInterrupted)
    return ConsoleState::kInterrupted;
  return ConsoleState::kOpen;
}

bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// The program's path: as given when it holds "/", else the first match in PATH; "" if none.
std::string FindProgram(const std::string& program) {
  if (program.empty()) return {};
  if (program.find('/') != std::string::npos) return IsExecutableFile(program) ? program : "";
  const char* path_env = std::getenv("PATH");
  std::string path_list = path_env ? path_env : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= path_list.size()) {
    std::size_t end = path_list.find(':', start);
    if (end == std::string::npos) end = path_list.size();
    std::string folder = path_list.substr(start, end - start);
    if (folder.empty()) folder = ".";
    std::string candidate = folder + "/" + program;
    if (IsExecutableFile(candidate)) return candidate;
    start = end + 1;
  }
  return {};
}

// Starts the emulator in a session of its own, with default signals, an empty mask and nothing
// of ours but /dev/null on its standard streams: a descriptor it inherited could keep a pipe of
// whoever started us open for as long as the window stands.
pid_t SpawnLauncher(const std::string& path, const std::vector<std::string>& argv_words) {
  std::vector<char*> argv;
  for (const std::string& word : argv_words) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);

  posix_spawnattr_t attr;
  posix_spawn_file_actions_t actions;
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_init(&actions);
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  pid_t pid = -1;
  if (posix_spawn(&pid, path.c_str(), &actions, &attr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return pid;
}

// A private folder for the socket: only this user can reach it.
std::string MakeSocketFolder() {
  std::string base = "/tmp";
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && runtime[0] == '/') {
    struct stat st {};
    if (stat(runtime, &st) == 0 && S_ISDIR(st.st_mode)) base = runtime;
  }
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  std::string pattern = base + "/wendrix-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return {};
  return pattern;
}

// Takes the relay's tag and descriptor from a connection; -1 when anything is wrong.
int ReceiveTerminal(int connection, std::int64_t deadline) {
  ucred cred{};
  socklen_t cred_length = sizeof cred;
  if (getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &cred, &cred_length) != 0 ||
      cred.uid != getuid())
    return -1;
  pollfd pfd{connection, POLLIN, 0};
  int wait_ms = static_cast<int>(std::max<std::int64_t>(0, deadline - NowMs()));
  if (poll(&pfd, 1, wait_ms) <= 0) return -1;

  char tag[sizeof kRelayTag] = {};
  iovec iov{tag, sizeof kRelayTag - 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)] = {};
  msghdr message{};
  message.msg_iov = &iov;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t n;
  do {
    n = recvmsg(connection, &message, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);

  int terminal = -1;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (std::size_t i = 0; i < count; ++i) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
      if (terminal < 0)
        terminal = fd;
      else
        close(fd);
    }
  }
  const bool tag_ok = n == static_cast<ssize_t>(sizeof kRelayTag - 1) &&
                      std::memcmp(tag, kRelayTag, sizeof kRelayTag - 1) == 0 &&
                      !(message.msg_flags & MSG_CTRUNC);
  if (terminal >= 0 && (!tag_ok || !isatty(terminal))) CloseFd(terminal);
  return terminal;
}

// Accepts one connection and takes the terminal from it; the connection is kept in relay when
// it delivered one.
int AcceptRelay(int listener, std::int64_t deadline, int& relay) {
  int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (connection < 0) return -1;
  int terminal = ReceiveTerminal(connection, deadline);
  if (terminal >= 0)
    relay = connection;
  else
    close(connection);
  return terminal;
}

}  // namespace

std::vector<TerminalLauncher> DefaultTerminalLaunchers() {
  if (const char* forced = std::getenv("WENDRIX_TERMINAL"); forced && forced[0] != '\0') {
    std::istringstream words(forced);
    TerminalLauncher launcher;
    words >> launcher.program;
    for (std::string word; words >> word;) launcher.leading_args.push_back(word);
    return {launcher};
  }
  return {
      {"x-terminal-emulator", {"-e"}}, {"xterm", {"-e"}},
      {"gnome-terminal", {"--"}},      {"konsole", {"-e"}},
      {"xfce4-terminal", {"-x"}},      {"kitty", {}},
      {"alacritty", {"-e"}},           {"foot", {}},
  };
}

TerminalConsole::TerminalConsole(TerminalConsoleOptions options) : options_(std::move(options)) {
  InstallShutdownSignals();
}

TerminalConsole::~TerminalConsole() {
  // The children must not be handed descriptors that are about to go.
  if (mode_ != Mode::kNone) SetChildStdio({});
  CloseFd(output_fd_);
  CloseFd(child_fd_);
  CloseFd(relay_fd_);  // the relay sees EOF and ends, and its window closes
  ReapLaunchers();
}

int TerminalConsole::Open() {
  if (mode_ == Mode::kNone) {
    if (isatty(options_.own_output) && OpenOwnTerminal())
      mode_ = Mode::kOwnTerminal;
    else if (OpenRelay())
      mode_ = Mode::kRelay;
    else
      OpenStandardStreams();
  }
  ChildStdio stdio;
  if (mode_ == Mode::kOwnTerminal || mode_ == Mode::kRelay) {
    stdio.input = child_fd_;
    stdio.error = child_fd_;
    // Without a controlling terminal an interrupt must reach the whole of a command through its
    // group; on our own terminal the children stay in our group, or reading it would stop them.
    stdio.own_process_group = mode_ == Mode::kRelay;
  }
  SetChildStdio(stdio);
  return 1;
}

bool TerminalConsole::OpenOwnTerminal() {
  // A private open file description: non-blocking mode set on it reaches neither the shell nor
  // the children.
  const std::string path = "/proc/self/fd/" + std::to_string(options_.own_output);
  output_fd_ = open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  child_fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (output_fd_ >= 0 && child_fd_ >= 0) return true;
  CloseFd(output_fd_);
  CloseFd(child_fd_);
  return false;
}

bool TerminalConsole::OpenRelay() {
  std::string relay =
      options_.relay_path.empty() ? ProgramFolder() + "wendrix-console" : options_.relay_path;
  if (!IsExecutableFile(relay) || options_.launchers.empty()) return false;
  if (char* resolved = realpath(relay.c_str(), nullptr)) {
    relay = resolved;
    std::free(resolved);
  }

  const std::string folder = MakeSocketFolder();
  if (folder.empty()) return false;
  const std::string socket_path = folder + "/console";
  int listener = -1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socket_path.size() < sizeof address.sun_path) {
    std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
    listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listener >= 0 &&
        (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
         listen(listener, 4) != 0))
      CloseFd(listener);
  }

  int terminal = -1;
  const std::int64_t deadline = NowMs() + options_.relay_wait_ms;
  for (std::size_t i = 0; listener >= 0 && i < options_.launchers.size() && terminal < 0; ++i) {
    const TerminalLauncher& launcher = options_.launchers[i];
    const std::string program = FindProgram(launcher.program);
    if (program.empty()) continue;
    std::vector<std::string> words{program};
    words.insert(words.end(), launcher.leading_args.begin(), launcher.leading_args.end());
    words.push_back(relay);
    words.push_back(socket_path);
    pid_t pid = SpawnLauncher(program, words);
    if (pid < 0) continue;
    launchers_.push_back(pid);

    // Wait for the relay. A launcher that fails moves on to the next emulator; one that exits
    // 0 may have handed the window to a server, so the wait goes on. Its exit is never taken
    // for the console's close.
    bool launcher_running = true;
    bool launcher_failed = false;
    bool give_up = false;
    while (terminal < 0) {
      const std::int64_t left = deadline - NowMs();
      if (left <= 0) {
        give_up = true;
        break;
      }
      const int signal_fd = ShutdownSignalDescriptor();
      pollfd fds[2] = {{listener, POLLIN, 0}, {signal_fd, POLLIN, 0}};
      const int timeout =
          static_cast<int>(launcher_running ? std::min<std::int64_t>(left, 20) : left);
      if (poll(fds, signal_fd >= 0 ? 2 : 1, timeout) > 0 && (fds[0].revents & POLLIN)) {
        terminal = AcceptRelay(listener, deadline, relay_fd_);
        if (terminal >= 0) break;
      }
      if (ShutdownSignalState() != ConsoleState::kOpen) {
        give_up = true;
        break;
      }
      int status = 0;
      if (launcher_running && waitpid(pid, &status, WNOHANG) == pid) {
        std::erase(launchers_, pid);
        launcher_running = false;
        launcher_failed = !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        if (launcher_failed) break;
      }
    }
    // A window that never ran the relay would stand there empty.
    if (terminal < 0 && launcher_running) kill(pid, SIGTERM);
    if (give_up) break;
  }

  CloseFd(listener);
  unlink(socket_path.c_str());
  rmdir(folder.c_str());
  if (terminal < 0) return false;

  // The received descriptor stays blocking for the children; our writes go through a
  // reopened, non-blocking one of our own.
  child_fd_ = terminal;
  const std::string path = "/proc/self/fd/" + std::to_string(terminal);
  output_fd_ = open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (output_fd_ < 0) {
    CloseFd(child_fd_);
    CloseFd(relay_fd_);
    return false;
  }
  return true;
}

void TerminalConsole::OpenStandardStreams() {
  mode_ = Mode::kStandardStreams;
  struct stat st {};
  if (fstat(options_.own_output, &st) != 0) return;  // no output at all: writes fail
  if (S_ISFIFO(st.st_mode)) {
    // A pipe can be reopened with its own non-blocking mode; a file could not (its offset).
    const std::string path = "/proc/self/fd/" + std::to_string(options_.own_output);
    output_fd_ = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  }
  if (output_fd_ < 0) {
    output_fd_ = fcntl(options_.own_output, F_DUPFD_CLOEXEC, 3);
    blocking_writes_ = true;
  }
}

// Writes as much as the console takes without waiting (all of it on a blocking descriptor);
// -1 when the console has gone away.
ssize_t TerminalConsole::WriteSome(const char* data, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    const ssize_t n = write(output_fd_, data + done, length - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      break;
    } else {
      return -1;
    }
  }
  return static_cast<ssize_t>(done);
}

std::int64_t TerminalConsole::Write(const char* data, std::size_t length) {
  if (output_fd_ < 0 || console_state_ == ConsoleState::kClosed || length == 0) return 0;
  std::size_t done = 0;
  if (Pending() == 0) {
    const ssize_t n = WriteSome(data, length);
    if (n < 0) {
      if (mode_ != Mode::kStandardStreams) MarkClosed();
      return 0;
    }
    done = static_cast<std::size_t>(n);
  }
  pending_.append(data + done, length - done);
  return static_cast<std::int64_t>(length);
}

void TerminalConsole::Flush() {
  if (Pending() > 0) {
    const ssize_t n = WriteSome(pending_.data() + pending_start_, Pending());
    if (n < 0) {
      pending_.clear();
      pending_start_ = 0;
      if (mode_ != Mode::kStandardStreams) MarkClosed();
      return;
    }
    pending_start_ += static_cast<std::size_t>(n);
  }
  if (Pending() == 0) {
    pending_.clear();
    pending_start_ = 0;
  } else if (pending_start_ >= kCompactAt && pending_start_ * 2 >= pending_.size()) {
    pending_.erase(0, pending_start_);
    pending_start_ = 0;
  }
}

void TerminalConsole::ReadRelay() {
  if (relay_fd_ < 0) return;
  char bytes[64];
  for (;;) {
    ssize_t n = recv(relay_fd_, bytes, sizeof bytes, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {  // the relay ended: its terminal is gone
      MarkClosed();
      CloseFd(relay_fd_);
      return;
    }
    for (ssize_t i = 0; i < n; ++i) {
      if ((bytes[i] == kRelayInterrupt || bytes[i] == kRelayQuit) &&
          console_state_ == ConsoleState::kOpen)
        console_state_ = ConsoleState::kInterrupted;
    }
  }
}

void TerminalConsole::CheckHangUp() {
  if (output_fd_ < 0 || (mode_ != Mode::kOwnTerminal && mode_ != Mode::kRelay)) return;
  pollfd pfd{output_fd_, 0, 0};
  if (poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL))) MarkClosed();
}

void TerminalConsole::ReapLaunchers() {
  std::erase_if(launchers_, [](pid_t pid) {
    int status;
    pid_t r = waitpid(pid, &status, WNOHANG);
    return r == pid || (r < 0 && errno == ECHILD);
  });
}

ConsoleState TerminalConsole::Service() {
  ReadRelay();
  CheckHangUp();
  if (console_state_ != ConsoleState::kClosed && output_fd_ >= 0 && !blocking_writes_) Flush();
  ReapLaunchers();
  return Graver(console_state_, ShutdownSignalState());
}

void TerminalConsole::AddWaitDescriptors(std::vector<pollfd>& fds) const {
  if (relay_fd_ >= 0) fds.push_back({relay_fd_, POLLIN, 0});
  if (ShutdownSignalDescriptor() >= 0) fds.push_back({ShutdownSignalDescriptor(), POLLIN, 0});
  if (output_fd_ < 0 || blocking_writes_ || console_state_ == ConsoleState::kClosed) return;
  const short events = Pending() > 0 ? POLLOUT : 0;
  // On a terminal a hang-up shows even with no event asked for; a pipe's broken end would wake
  // the wait over and over, so it is watched only while bytes wait for it.
  if (events != 0 || mode_ == Mode::kOwnTerminal || mode_ == Mode::kRelay)
    fds.push_back({output_fd_, events, 0});
}

std::vector<int> TerminalConsole::IdleWatchDescriptors() const {
  std::vector<int> fds;
  if (relay_fd_ >= 0) fds.push_back(relay_fd_);
  if (ShutdownSignalDescriptor() >= 0) fds.push_back(ShutdownSignalDescriptor());
  return fds;
}

int TerminalConsole::IdleWriteDescriptor() const {
  if (Pending() == 0 || blocking_writes_ || console_state_ == ConsoleState::kClosed) return -1;
  return output_fd_;
}

}  // namespace wendrix
