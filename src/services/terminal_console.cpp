#include "services/terminal_console.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>

#include "services/clock.h"
#include "services/console_relay.h"
#include "services/path_helpers.h"
#include "services/program_runner.h"
#include "services/shutdown_signals.h"
#include "services/spawn.h"

namespace wendrix {
namespace {

// Pending bytes already delivered are cut off the buffer's front once they are this many.
constexpr std::size_t kCompactAt = 1 << 20;

// How often the wait for the relay lets the window in.
constexpr std::int64_t kIdleIntervalMs = 20;

ConsoleState Graver(ConsoleState a, ConsoleState b) {
  if (a == ConsoleState::kClosed || b == ConsoleState::kClosed) return ConsoleState::kClosed;
  if (a == ConsoleState::kInterrupted || b == ConsoleState::kInterrupted)
    return ConsoleState::kInterrupted;
  return ConsoleState::kOpen;
}

// A private open file description of fd: a mode set on it reaches no one else's.
int Reopen(int fd, int flags) {
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  return open(path.c_str(), flags | O_CLOEXEC);
}

// The relay's program with every link resolved, when it can be started.
std::optional<std::string> RelayProgram(const std::string& configured) {
  std::string relay = configured.empty() ? ProgramFolder() + "wendrix-console" : configured;
  if (!IsExecutableFile(relay)) return std::nullopt;
  if (char* resolved = realpath(relay.c_str(), nullptr)) {
    relay = resolved;
    std::free(resolved);
  }
  return relay;
}

}  // namespace

bool InTerminalForeground(int fd) {
  if (fd < 0 || !isatty(fd)) return false;
  // Fails (ENOTTY) for a terminal that is not our controlling one: then Ctrl+C would never reach
  // us, and the terminal is not ours to share.
  const pid_t foreground = tcgetpgrp(fd);
  return foreground > 0 && foreground == getpgrp();
}

TerminalConsole::TerminalConsole(TerminalConsoleOptions options) : options_(std::move(options)) {
  InstallShutdownSignals();
}

TerminalConsole::~TerminalConsole() {
  output_fd_.Reset();
  child_fd_.Reset();
  relay_fd_.Reset();  // the relay sees EOF and ends, and its window closes
}

int TerminalConsole::Open() {
  if (mode_ == Mode::kNone) {
    if (InTerminalForeground(options_.own_output) && OpenOwnTerminal()) {
      mode_ = Mode::kOwnTerminal;
    } else if (OpenRelay()) {
      mode_ = Mode::kRelay;
    } else {
      OpenStandardStreams();
      // A run that is ending anyway needs no telling.
      if (options_.no_console_window && !isatty(options_.own_output) &&
          ShutdownSignalState() == ConsoleState::kOpen)
        options_.no_console_window();
    }
  }
  return 1;
}

ChildStdio TerminalConsole::ChildStreams() const {
  ChildStdio stdio;
  if (mode_ == Mode::kOwnTerminal || mode_ == Mode::kRelay) {
    stdio.input = child_fd_.Get();
    stdio.error = child_fd_.Get();
    // Without a controlling terminal an interrupt must reach the whole of a command through its
    // group; on our own terminal the children stay in our group, or reading it would stop them.
    stdio.own_process_group = mode_ == Mode::kRelay;
  } else if (null_input_.Valid()) {
    stdio.input = null_input_.Get();
  }
  return stdio;
}

bool TerminalConsole::OpenOwnTerminal() {
  // A private open file description: non-blocking mode set on it reaches neither the shell nor
  // the children.
  output_fd_.Reset(Reopen(options_.own_output, O_WRONLY | O_NOCTTY | O_NONBLOCK));
  child_fd_.Reset(Reopen(options_.own_output, O_RDWR | O_NOCTTY));
  if (output_fd_.Valid() && child_fd_.Valid()) return true;
  output_fd_.Reset();
  child_fd_.Reset();
  return false;
}

bool TerminalConsole::OpenRelay() {
  const std::optional<std::string> relay = RelayProgram(options_.relay_path);
  if (!relay || options_.launchers.empty()) return false;
  RelayListener listener;
  if (!listener.Valid()) return false;

  UniqueFd terminal;
  const std::int64_t deadline = NowMs() + options_.relay_wait_ms;
  for (const TerminalLauncher& launcher : options_.launchers) {
    const pid_t pid = StartTerminalLauncher(launcher, *relay, listener.SocketPath());
    if (pid < 0) continue;
    if (WaitForRelay(listener, pid, deadline, terminal)) break;
  }
  return terminal.Valid() && AdoptTerminal(std::move(terminal));
}

// Waits for the relay the launcher starts. A launcher that fails moves on to the next
// emulator; one that exits 0 may have handed the window to a server, so the wait goes on. Its
// exit is never taken for the console's close. True when no other emulator is to be tried:
// the relay called, the time is up, or a shutdown signal came.
bool TerminalConsole::WaitForRelay(RelayListener& listener, pid_t launcher, std::int64_t deadline,
                                   UniqueFd& terminal) {
  bool launcher_running = true;
  bool give_up = false;
  while (!terminal.Valid()) {
    const std::int64_t left = deadline - NowMs();
    if (left <= 0) {
      give_up = true;
      break;
    }
    const int signal_fd = ShutdownSignalDescriptor();
    pollfd fds[2] = {{listener.Descriptor(), POLLIN, 0}, {signal_fd, POLLIN, 0}};
    // The launcher's exit is looked at, and the window let in, every few milliseconds.
    const bool often = launcher_running || options_.idle;
    const int timeout = static_cast<int>(often ? std::min(left, kIdleIntervalMs) : left);
    if (options_.idle) options_.idle();
    if (PollFor(fds, signal_fd >= 0 ? 2 : 1, timeout) > 0 && (fds[0].revents & POLLIN)) {
      terminal = listener.Accept(deadline, relay_fd_);
      if (terminal.Valid()) break;
    }
    if (ShutdownSignalState() != ConsoleState::kOpen) {
      give_up = true;
      break;
    }
    int status = 0;
    if (launcher_running && waitpid(launcher, &status, WNOHANG) == launcher) {
      launcher_running = false;
      if (!(WIFEXITED(status) && WEXITSTATUS(status) == 0)) break;
    }
  }
  if (launcher_running) {
    // A window that never ran the relay would stand there empty.
    if (!terminal.Valid()) kill(launcher, SIGTERM);
    ReapLater(launcher);
  }
  return give_up || terminal.Valid();
}

// The received descriptor stays blocking for the children; our writes go through a reopened,
// non-blocking one of our own.
bool TerminalConsole::AdoptTerminal(UniqueFd terminal) {
  output_fd_.Reset(Reopen(terminal.Get(), O_WRONLY | O_NOCTTY | O_NONBLOCK));
  child_fd_ = std::move(terminal);
  if (output_fd_.Valid()) return true;
  child_fd_.Reset();
  relay_fd_.Reset();
  return false;
}

void TerminalConsole::OpenStandardStreams() {
  mode_ = Mode::kStandardStreams;
  // Started in the background of a terminal: a command reading it would be stopped, and with it
  // the whole program. It reads nothing instead.
  if (isatty(STDIN_FILENO) && !InTerminalForeground(STDIN_FILENO))
    null_input_.Reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (fstat(options_.own_output, &st) != 0) return;  // no output at all: writes fail
  if (S_ISFIFO(st.st_mode)) {
    // A pipe can be reopened with its own non-blocking mode; a file could not (its offset).
    output_fd_.Reset(Reopen(options_.own_output, O_WRONLY | O_NONBLOCK));
  }
  if (!output_fd_.Valid()) {
    output_fd_.Reset(fcntl(options_.own_output, F_DUPFD_CLOEXEC, 3));
    blocking_writes_ = true;
  }
}

void TerminalConsole::SetTitle(const std::string& title) {
  if (mode_ != Mode::kRelay) return;
  const std::string sequence = "\033]0;" + title + "\007";  // xterm's, which the others read
  Write(sequence.data(), sequence.size());
}

std::int64_t TerminalConsole::Write(const char* data, std::size_t length) {
  if (!output_fd_.Valid() || console_state_ == ConsoleState::kClosed || length == 0) return 0;
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
  if (!relay_fd_.Valid()) return;
  char bytes[64];
  for (;;) {
    ssize_t n = recv(relay_fd_.Get(), bytes, sizeof bytes, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {  // the relay ended: its terminal is gone
      MarkClosed();
      relay_fd_.Reset();
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
  if (!output_fd_.Valid() || (mode_ != Mode::kOwnTerminal && mode_ != Mode::kRelay)) return;
  pollfd pfd{output_fd_.Get(), 0, 0};
  if (poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL))) MarkClosed();
}

ConsoleState TerminalConsole::Service() {
  ReadRelay();
  CheckHangUp();
  if (console_state_ != ConsoleState::kClosed && output_fd_.Valid() && !blocking_writes_) Flush();
  return Graver(console_state_, ShutdownSignalState());
}

void TerminalConsole::AddWaitDescriptors(std::vector<pollfd>& fds) const {
  if (relay_fd_.Valid()) fds.push_back({relay_fd_.Get(), POLLIN, 0});
  if (ShutdownSignalDescriptor() >= 0) fds.push_back({ShutdownSignalDescriptor(), POLLIN, 0});
  if (!output_fd_.Valid() || blocking_writes_ || console_state_ == ConsoleState::kClosed) return;
  const short events = Pending() > 0 ? POLLOUT : 0;
  // On a terminal a hang-up shows even with no event asked for; a pipe's broken end would wake
  // the wait over and over, so it is watched only while bytes wait for it.
  if (events != 0 || mode_ == Mode::kOwnTerminal || mode_ == Mode::kRelay)
    fds.push_back({output_fd_.Get(), events, 0});
}

std::vector<int> TerminalConsole::IdleWatchDescriptors() const {
  std::vector<int> fds;
  if (relay_fd_.Valid()) fds.push_back(relay_fd_.Get());
  if (ShutdownSignalDescriptor() >= 0) fds.push_back(ShutdownSignalDescriptor());
  return fds;
}

}  // namespace wendrix
