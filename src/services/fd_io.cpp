#include "services/fd_io.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

namespace wendrix {

ssize_t WriteAll(int fd, std::string_view data, WhenFull when_full) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (when_full == WhenFull::kStop) break;
      pollfd wait{fd, POLLOUT, 0};
      if (poll(&wait, 1, -1) < 0 && errno != EINTR) return -1;
    } else {
      if (n == 0) errno = EIO;
      return -1;
    }
  }
  return static_cast<ssize_t>(done);
}

std::size_t ReadAll(int fd, char* buffer, std::size_t count, bool* at_end) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = read(fd, buffer + done, count - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n == 0) {
      if (at_end != nullptr) *at_end = true;
      break;
    } else if (errno != EINTR) {
      break;
    }
  }
  return done;
}

}  // namespace wendrix
