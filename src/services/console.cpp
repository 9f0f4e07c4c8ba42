#include "services/console.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

namespace wendrix {

// The started programs share the program's own standard input and error, in its group.
int StandardStreamsConsole::Open() { return 1; }

std::int64_t StandardStreamsConsole::Write(const char* data, std::size_t length) {
  std::size_t written = 0;
  while (written < length) {
    ssize_t n = write(STDOUT_FILENO, data + written, length - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // Someone made our output non-blocking: wait until it takes bytes again.
      pollfd fd{STDOUT_FILENO, POLLOUT, 0};
      if (poll(&fd, 1, -1) >= 0 || errno == EINTR) continue;
    }
    break;
  }
  return static_cast<std::int64_t>(written);
}

}  // namespace wendrix
