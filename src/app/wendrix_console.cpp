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
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "services/terminal_console.h"

namespace {

int Fail(const char* what) {
  std::fprintf(stderr, "wendrix-console: %s: %s\n", what, std::strerror(errno));
  return 1;
}

bool SendAll(int fd, char byte) {
  for (;;) {
    ssize_t n = send(fd, &byte, 1, MSG_NOSIGNAL);
    if (n == 1) return true;
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: wendrix-console SOCKET\n");
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

  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (std::strlen(argv[1]) >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    return Fail(argv[1]);
  }
  std::strcpy(address.sun_path, argv[1]);
  const int link = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (link < 0) return Fail("socket");
  if (connect(link, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    return Fail(argv[1]);

  char tag[sizeof wendrix::kRelayTag];
  std::memcpy(tag, wendrix::kRelayTag, sizeof tag);
  iovec iov{tag, sizeof tag - 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = &iov;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&message);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(c), &terminal, sizeof terminal);
  ssize_t sent;
  do {
    sent = sendmsg(link, &message, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent != static_cast<ssize_t>(sizeof tag - 1)) return Fail("sending the terminal");
  close(terminal);

  for (;;) {
    pollfd fds[2] = {{link, POLLIN, 0}, {signals, POLLIN, 0}};
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
        if (!SendAll(link, report)) return 0;
      }
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      char discard[64];
      ssize_t n = recv(link, discard, sizeof discard, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return 0;  // Wendrix is gone
    }
  }
}
