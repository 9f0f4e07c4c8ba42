#include "run_console.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "services/clock.h"
#include "services/shutdown_signals.h"

namespace wendrix {
namespace {

// Kept bytes already written are cut off the front once they are this many.
constexpr std::size_t kCompactAt = std::size_t{1} << 20;
// How long the output still has at the end of a run a signal ended.
constexpr std::int64_t kLastWordsMs = 2000;

}  // namespace

OwnOutput::OwnOutput(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    error_ = EBADF;
    return;
  }
  // A pipe or a terminal is reopened: a private open file description takes non-blocking mode
  // without handing it to the shell or the commands. A file never waits (and keeps its offset
  // only as it is); a socket is sent to without waiting.
  if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    fd_.Reset(open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  }
  socket_ = S_ISSOCK(st.st_mode);
  if (!fd_.Valid()) fd_.Reset(fcntl(fd, F_DUPFD_CLOEXEC, 3));
  if (!fd_.Valid()) error_ = errno;
}

ssize_t OwnOutput::WriteNow(const char* data, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    const ssize_t n = socket_
                          ? send(fd_.Get(), data + done, length - done, MSG_DONTWAIT | MSG_NOSIGNAL)
                          : write(fd_.Get(), data + done, length - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      break;
    } else {
      error_ = n < 0 ? errno : EIO;  // a write that takes nothing: as good as failed
      pending_.clear();
      start_ = 0;
      return -1;
    }
  }
  return static_cast<ssize_t>(done);
}

bool OwnOutput::Write(const char* data, std::size_t length) {
  if (error_ != 0) return false;
  std::size_t done = 0;
  if (Pending() == 0) {
    const ssize_t n = WriteNow(data, length);
    if (n < 0) return false;
    done = static_cast<std::size_t>(n);
  }
  pending_.append(data + done, length - done);
  return true;
}

void OwnOutput::Flush() {
  if (error_ != 0 || Pending() == 0) return;
  const ssize_t n = WriteNow(pending_.data() + start_, Pending());
  if (n < 0) return;
  start_ += static_cast<std::size_t>(n);
  if (Pending() == 0) {
    pending_.clear();
    start_ = 0;
  } else if (start_ >= kCompactAt && start_ * 2 >= pending_.size()) {
    pending_.erase(0, start_);
    start_ = 0;
  }
}

void OwnOutput::AddWait(std::vector<pollfd>& fds) const {
  if (error_ == 0 && Pending() > 0) fds.push_back({fd_.Get(), POLLOUT, 0});
}

RunConsole::RunConsole(bool own_groups)
    : own_groups_(own_groups), output_(STDOUT_FILENO), error_(STDERR_FILENO) {
  InstallShutdownSignals();
}

// The started programs share wendrix-run's standard input and error; in its process group
// they can read from its terminal.
ChildStdio RunConsole::ChildStreams() const {
  ChildStdio stdio;
  stdio.own_process_group = own_groups_;
  return stdio;
}

std::int64_t RunConsole::Write(const char* data, std::size_t length) {
  if (output_.Error() != 0) return 0;
  if (before_write) before_write();
  if (length > 0) at_line_start_ = data[length - 1] == '\n';
  return output_.Write(data, length) ? static_cast<std::int64_t>(length) : 0;
}

void RunConsole::WriteError(const char* data, std::size_t length) { error_.Write(data, length); }

void RunConsole::AddWaitDescriptors(std::vector<pollfd>& fds) const {
  if (ShutdownSignalDescriptor() >= 0) fds.push_back({ShutdownSignalDescriptor(), POLLIN, 0});
  output_.AddWait(fds);
  error_.AddWait(fds);
}

ConsoleState RunConsole::Service() {
  output_.Flush();
  error_.Flush();
  const ConsoleState signalled = ShutdownSignalState();
  if (signalled != ConsoleState::kOpen) return signalled;
  return OutputError() != 0 ? ConsoleState::kClosed : ConsoleState::kOpen;
}

void RunConsole::Drain() {
  // After an ending signal only our own last words wait, and only for a moment in all.
  const bool signalled = ShutdownSignalState() != ConsoleState::kOpen;
  if (signalled && last_words_until_ < 0) last_words_until_ = NowMs() + kLastWordsMs;
  const std::int64_t give_up = last_words_until_;
  std::vector<pollfd> fds;
  for (;;) {
    output_.Flush();
    error_.Flush();
    if ((signalled ? error_.Pending() : Pending()) == 0) return;
    if (!signalled && ShutdownSignalState() != ConsoleState::kOpen) return;
    const std::int64_t left = give_up - NowMs();
    if (signalled && left <= 0) return;
    fds.clear();
    AddWaitDescriptors(fds);
    PollFor(fds.data(), fds.size(), signalled ? static_cast<int>(left) : -1);
  }
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
  return ShutdownSignalState() == ConsoleState::kOpen && OutputError() == 0;
}

}  // namespace wendrix
