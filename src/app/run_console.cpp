#include "run_console.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "services/program_runner.h"
#include "services/shutdown_signals.h"

namespace wendrix {

RunConsole::RunConsole(bool own_groups) : own_groups_(own_groups) { InstallShutdownSignals(); }

int RunConsole::Open() {
  // The started programs share wendrix-run's standard input and error; in its process group
  // they can read from its terminal.
  ChildStdio stdio;
  stdio.own_process_group = own_groups_;
  SetChildStdio(stdio);
  return 1;
}

std::int64_t RunConsole::Write(const char* data, std::size_t length) {
  if (output_error_ != 0) return 0;
  if (before_write) before_write();
  std::size_t written = 0;
  while (written < length) {
    const ssize_t n = write(STDOUT_FILENO, data + written, length - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // Someone made the output non-blocking: wait until it takes bytes again.
      pollfd fd{STDOUT_FILENO, POLLOUT, 0};
      if (poll(&fd, 1, -1) < 0 && errno != EINTR) {
        output_error_ = errno;
        break;
      }
    } else {
      output_error_ = n < 0 ? errno : EIO;  // a write that takes nothing: as good as failed
      break;
    }
  }
  if (written > 0) at_line_start_ = data[written - 1] == '\n';
  return static_cast<std::int64_t>(written);
}

void RunConsole::AddWaitDescriptors(std::vector<pollfd>& fds) const {
  if (ShutdownSignalDescriptor() >= 0) fds.push_back({ShutdownSignalDescriptor(), POLLIN, 0});
}

ConsoleState RunConsole::Service() {
  const ConsoleState signalled = ShutdownSignalState();
  if (signalled != ConsoleState::kOpen) return signalled;
  return output_error_ != 0 ? ConsoleState::kClosed : ConsoleState::kOpen;
}

int RunConsole::EndingSignal() const {
  const int received = ShutdownSignalNumber();
  // A key's signal reached a command of our own process group together with us: a second one
  // would be a second Ctrl+C, which many programs take as "stop now, skip the clean-up".
  // Signal 0 sends nothing; the command is still waited for, and killed when it will not end.
  if (!own_groups_ && (received == SIGINT || received == SIGQUIT) && ShutdownSignalFromTerminal())
    return 0;
  return received != 0 ? received : SIGHUP;
}

int RunConsole::SignalReceived() const { return ShutdownSignalNumber(); }

bool RunConsole::Standing() const {
  return ShutdownSignalState() == ConsoleState::kOpen && output_error_ == 0;
}

}  // namespace wendrix
