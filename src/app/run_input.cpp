#include "run_input.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "services/unique_fd.h"
#include "settings/settings_flows.h"

namespace wendrix {
namespace {

// A settings file is a few hundred bytes; this much is surely something else (/dev/zero).
constexpr std::size_t kMostSettingsBytes = std::size_t{16} << 20;

// The bytes to the end, or the errno of the failure (EFBIG when there are too many).
int ReadToEnd(int fd, std::string& content) {
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0) {
      if (content.size() + static_cast<std::size_t>(got) > kMostSettingsBytes) return EFBIG;
      content.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0) {
      return 0;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // Standard input may have been left non-blocking by whoever gave it.
      pollfd wait{fd, POLLIN, 0};
      if (poll(&wait, 1, -1) < 0 && errno != EINTR) return errno;
    } else if (errno != EINTR) {
      return errno;
    }
  }
}

}  // namespace

SettingsInput ReadSettingsInput(const std::string& name) {
  const bool standard_input = name == "-";
  const std::string shown = standard_input ? "standard input" : "settings file " + name;
  SettingsInput input;
  auto refuse = [&](const std::string& why) {
    input.error = "cannot use the " + shown + ": " + why;
    return input;
  };

  UniqueFd owned;
  if (!standard_input) {
    owned.Reset(open(name.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
    if (!owned.Valid()) return refuse(std::strerror(errno));
  }
  const int fd = standard_input ? STDIN_FILENO : owned.Get();
  struct stat info {};
  if (fstat(fd, &info) != 0) return refuse(std::strerror(errno));
  if (S_ISDIR(info.st_mode)) return refuse("it is a folder");

  std::string content;
  if (const int error = ReadToEnd(fd, content); error == EFBIG) {
    return refuse("it is far too large for a settings file");
  } else if (error != 0) {
    return refuse(std::strerror(error));
  }
  input.settings = SettingsFromContent(std::move(content));
  if (!input.settings) {
    return refuse(
        "it is not a settings file: it sets none of the seven keys (StringPath, "
        "StringCommand, ...)");
  }
  return input;
}

}  // namespace wendrix
