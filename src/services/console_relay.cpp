#include "services/console_relay.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "services/clock.h"

namespace wendrix {

namespace {

constexpr std::size_t kTagLength = sizeof kRelayTag - 1;

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

std::optional<sockaddr_un> SocketAddress(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    return std::nullopt;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

bool FromThisUser(int connection) {
  ucred cred{};
  socklen_t cred_length = sizeof cred;
  return getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &cred, &cred_length) == 0 &&
         cred.uid == getuid();
}

// The first descriptor the message carried; any others are closed.
UniqueFd FirstDescriptor(msghdr& message) {
  UniqueFd first;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (std::size_t i = 0; i < count; ++i) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
      if (!first.Valid())
        first.Reset(fd);
      else
        close(fd);
    }
  }
  return first;
}

// Takes the relay's tag and descriptor from a connection; empty when anything is wrong.
UniqueFd ReceiveTerminal(int connection, std::int64_t deadline) {
  if (!FromThisUser(connection)) return {};
  pollfd pfd{connection, POLLIN, 0};
  const int wait_ms = static_cast<int>(std::max<std::int64_t>(0, deadline - NowMs()));
  if (PollFor(&pfd, 1, wait_ms) <= 0) return {};

  char tag[sizeof kRelayTag] = {};
  iovec iov{tag, kTagLength};
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

  UniqueFd terminal = FirstDescriptor(message);
  const bool tag_ok = n == static_cast<ssize_t>(kTagLength) &&
                      std::memcmp(tag, kRelayTag, kTagLength) == 0 &&
                      !(message.msg_flags & MSG_CTRUNC);
  if (terminal.Valid() && (!tag_ok || !isatty(terminal.Get()))) terminal.Reset();
  return terminal;
}

}  // namespace

RelayListener::RelayListener() : folder_(MakeSocketFolder()) {
  if (folder_.empty()) return;
  socket_path_ = folder_ + "/console";
  const std::optional<sockaddr_un> address = SocketAddress(socket_path_);
  if (!address) return;
  fd_.Reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (fd_.Valid() &&
      (bind(fd_.Get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0 ||
       listen(fd_.Get(), 4) != 0))
    fd_.Reset();
}

RelayListener::~RelayListener() {
  if (folder_.empty()) return;
  fd_.Reset();
  unlink(socket_path_.c_str());
  rmdir(folder_.c_str());
}

UniqueFd RelayListener::Accept(std::int64_t deadline, UniqueFd& connection) {
  UniqueFd accepted(accept4(fd_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
  if (!accepted.Valid()) return {};
  UniqueFd terminal = ReceiveTerminal(accepted.Get(), deadline);
  if (terminal.Valid()) connection = std::move(accepted);
  return terminal;
}

UniqueFd ConnectRelay(const std::string& socket_path) {
  const std::optional<sockaddr_un> address = SocketAddress(socket_path);
  if (!address) return {};
  UniqueFd link(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (link.Valid() &&
      connect(link.Get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0)
    link.Reset();
  return link;
}

bool SendTerminal(int connection, int terminal) {
  char tag[sizeof kRelayTag];
  std::memcpy(tag, kRelayTag, sizeof tag);
  iovec iov{tag, kTagLength};
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
    sent = sendmsg(connection, &message, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(kTagLength);
}

bool SendReport(int connection, char report) {
  for (;;) {
    const ssize_t n = send(connection, &report, 1, MSG_NOSIGNAL);
    if (n == 1) return true;
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

}  // namespace wendrix
