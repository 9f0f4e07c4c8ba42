#include "run_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "services/unique_fd.h"
#include "settings/settings_flows.h"
#include "settings/settings_store.h"

namespace wendrix {

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
  if (const int error = ReadSettingsBytes(fd, content); error == EFBIG) {
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
