// wendrix-console: runs inside the terminal emulator that Wendrix opens as its console. It hands
// its terminal to Wendrix over the private socket named by its argument, then reports Ctrl+C and
// Ctrl+\ typed there (which reach only this process, the terminal's foreground group) as bytes,
// and ends when Wendrix closes the socket or the terminal hangs up. It never reads the terminal:
// what is typed belongs to the commands Wendrix runs.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "services/console_relay.h"
#include "wendrix/version.h"

namespace {

int Fail(const char* what) {
  std::fprintf(stderr, "wendrix-console: %s: %s\n", what, std::strerror(errno));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("wendrix-console %s\n", WENDRIX_VERSION);
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
  }
  if (argc != 2) {
    std::fprintf(stderr, "usage: wendrix-console SOCKET\n       wendrix-console --version\n");
    return 2;
  }

  for (int number : {SIGTSTP, SIGTTIN, SIGTTOU, SIGPIPE}) signal(number, SIG_IGN);
  sigset_t watched;
  sigemptyset(&watched);
  for (int number : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) sigaddset(&watched, number);
  if (sigprocmask(SIG_BLOCK, &watched, nullptr) != 0) return Fail("signals");
  const int signals = signalfd(-1, &watched, SFD_CLOEXEC);
  if (signals < 0) return Fail("signalfd");

  // The terminal by its name: a descriptor opened as /dev/tty could not be reopened by Wendrix.
  const char* name = ttyname(0);
  if (name == nullptr) return Fail("no terminal on standard input");
  const int terminal = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (terminal < 0) return Fail(name);

  if (write(terminal, wendrix::kConsoleTitle, sizeof wendrix::kConsoleTitle - 1) < 0)
    return Fail(name);

  const wendrix::UniqueFd link = wendrix::ConnectRelay(argv[1]);
  if (!link.Valid()) return Fail(argv[1]);
  if (!wendrix::SendTerminal(link.Get(), terminal)) return Fail("sending the terminal");
  close(terminal);

  for (;;) {
    pollfd fds[2] = {{link.Get(), POLLIN, 0}, {signals, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return Fail("poll");
    }
    if (fds[1].revents & POLLIN) {
      signalfd_siginfo info{};
      if (read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        const int number = static_cast<int>(info.ssi_signo);
        if (number == SIGHUP || number == SIGTERM) return 0;
        const char report = number == SIGINT ? wendrix::kRelayInterrupt : wendrix::kRelayQuit;
        if (!wendrix::SendReport(link.Get(), report)) return 0;
      }
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      char discard[64];
      ssize_t n = recv(link.Get(), discard, sizeof discard, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return 0;  // Wendrix is gone
    }
  }
}
