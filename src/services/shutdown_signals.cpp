#include "services/shutdown_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace wendrix {
namespace {

constexpr int kEndingSignals[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};

// Both ends live for the whole process: a handler may fire at any moment.
int signal_read_fd = -1;
int signal_write_fd = -1;
ConsoleState received_state = ConsoleState::kOpen;
int first_signal = 0;
bool first_from_terminal = false;

// The byte's high bit marks a signal the kernel sent, as the terminal's keys do: to its whole
// foreground process group at once.
constexpr unsigned char kFromKernel = 0x80;

extern "C" void OnEndingSignal(int number, siginfo_t* info, void*) {
  const int saved_errno = errno;
  const bool from_kernel = info != nullptr && info->si_code == SI_KERNEL;
  const auto byte = static_cast<unsigned char>(number | (from_kernel ? kFromKernel : 0));
  // A full pipe already holds enough to wake the main thread.
  [[maybe_unused]] ssize_t n = write(signal_write_fd, &byte, 1);
  errno = saved_errno;
}

ConsoleState StateOf(int number) {
  switch (number) {
    case SIGINT:
    case SIGQUIT:
      return ConsoleState::kInterrupted;
    case SIGHUP:
    case SIGTERM:
      return ConsoleState::kClosed;
    default:
      return ConsoleState::kOpen;
  }
}

}  // namespace

bool InstallShutdownSignals() {
  if (signal_read_fd >= 0) return true;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  signal_read_fd = fds[0];
  signal_write_fd = fds[1];

  struct sigaction action {};
  action.sa_sigaction = OnEndingSignal;
  action.sa_flags = SA_RESTART | SA_SIGINFO;
  sigfillset(&action.sa_mask);
  for (int number : kEndingSignals) sigaction(number, &action, nullptr);

  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
  return true;
}

int ShutdownSignalDescriptor() { return signal_read_fd; }

ConsoleState ShutdownSignalState() {
  if (signal_read_fd < 0) return received_state;
  unsigned char bytes[64];
  ssize_t n;
  while ((n = read(signal_read_fd, bytes, sizeof bytes)) > 0 || (n < 0 && errno == EINTR)) {
    for (ssize_t i = 0; i < n; ++i) {
      const int number = bytes[i] & ~kFromKernel;
      if (first_signal == 0) {
        first_signal = number;
        first_from_terminal = (bytes[i] & kFromKernel) != 0;
      }
      const ConsoleState state = StateOf(number);
      if (state == ConsoleState::kClosed ||
          (state == ConsoleState::kInterrupted && received_state == ConsoleState::kOpen))
        received_state = state;
    }
  }
  return received_state;
}

int ShutdownSignalNumber() {
  ShutdownSignalState();
  return first_signal;
}

bool ShutdownSignalFromTerminal() {
  ShutdownSignalState();
  return first_from_terminal;
}

}  // namespace wendrix
