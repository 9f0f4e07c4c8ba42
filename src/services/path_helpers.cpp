#include "services/path_helpers.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <vector>

namespace wendrix {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

std::string WithTrailingSlash(std::string folder) {
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder;
}

std::string WithoutTrailingSlashes(std::string path) {
  while (!path.empty() && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

std::string FolderPart(std::string_view path) {
  // A quoted path (as typed into a command) keeps its opening quote out of the folder.
  const std::size_t start = !path.empty() && path.front() == '"' ? 1 : 0;
  std::size_t end = start;
  for (std::size_t i = start; i < path.size() && path[i] != '|'; ++i) {
    if (IsSeparator(path[i])) end = i + 1;
  }
  return std::string(path.substr(start, end - start));
}

std::string NamePart(std::string_view path, bool without_extension) {
  std::size_t begin = path.find_last_of("\\/");
  if (begin == std::string_view::npos) {
    begin = !path.empty() && path.front() == '"' ? 1 : 0;
  } else {
    ++begin;
  }
  std::size_t end = path.find('"', begin);
  if (end == std::string_view::npos) end = path.size();
  std::string_view name = path.substr(begin, end - begin);
  if (without_extension) {
    // The first character is never looked at, so ".profile" has no extension.
    for (std::size_t i = name.size(); i-- > 1;) {
      if (name[i] == ' ') break;
      if (name[i] == '.') {
        if (i + 1 < name.size()) name = name.substr(0, i);
        break;
      }
    }
  }
  return std::string(name);
}

std::string ExtensionPart(std::string_view path) {
  for (std::size_t i = path.size(); i-- > 1;) {
    const char c = path[i];
    if (IsSeparator(c) || c == ' ') return {};
    if (c == '.') {
      if (IsSeparator(path[i - 1])) return {};
      std::size_t end = path.find('"', i + 1);
      if (end == std::string_view::npos) end = path.size();
      return std::string(path.substr(i + 1, end - i - 1));
    }
  }
  return {};
}

std::string UserHomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return WithTrailingSlash(home);
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  while (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == ERANGE) {
    buffer.resize(buffer.size() * 2);
  }
  if (found == nullptr || found->pw_dir == nullptr) return {};
  return WithTrailingSlash(found->pw_dir);
}

std::string SpecialFolderPath(int id) {
  if (id != CSIDL_APPDATA) return "";
  const char* config_home = std::getenv("XDG_CONFIG_HOME");
  // A relative setting is to be ignored: it would name a different folder in every working folder.
  if (config_home != nullptr && config_home[0] == '/') return WithoutTrailingSlashes(config_home);
  const std::string home = UserHomeFolder();
  if (home.empty()) return "";
  return WithoutTrailingSlashes(home) + "/.config";
}

std::string TempFolder() {
  const char* tmp = std::getenv("TMPDIR");
  const char* folder = tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
  char* resolved = realpath(folder, nullptr);
  if (resolved == nullptr) return {};
  std::string result = resolved;
  std::free(resolved);
  struct stat st {};
  if (stat(result.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return {};
  return WithTrailingSlash(std::move(result));
}

std::string ProgramFilePath() {
  // The link's length is not known in advance: grow until it fits, never cut it.
  std::vector<char> buffer(PATH_MAX);
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < buffer.size()) {
      return std::string(buffer.data(), static_cast<std::size_t>(n));
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::string ProgramFolder() {
  // Cut at the last "/" only: on Linux backslashes, "|" and quotes are ordinary characters of a
  // folder name, and the program's folder must come back exactly.
  std::string path = ProgramFilePath();
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  path.resize(slash + 1);
  return path;
}

namespace {

std::string& InstalledBinFolder() {
  static std::string folder = WENDRIX_INSTALL_BINDIR;
  return folder;
}

}  // namespace

void SetInstalledBinFolder(const std::string& folder) {
  InstalledBinFolder() = folder.empty() ? WENDRIX_INSTALL_BINDIR : folder;
}

bool RunsInstalled() {
  // /proc/self/exe has every link resolved, so the installed folder is too (/bin -> /usr/bin).
  std::string installed = InstalledBinFolder();
  if (char* resolved = realpath(installed.c_str(), nullptr)) {
    installed = resolved;
    std::free(resolved);
  }
  const std::string program_folder = ProgramFolder();
  return !program_folder.empty() && program_folder == WithTrailingSlash(installed);
}

std::string UserWendrixFolder() { return SpecialFolderPath(CSIDL_APPDATA) + "/Wendrix/"; }

std::string OwnFolder() { return RunsInstalled() ? UserWendrixFolder() : ProgramFolder(); }

std::string BrowseStartFolder() { return RunsInstalled() ? UserHomeFolder() : ProgramFolder(); }

int CountOccurrences(std::string_view text, std::string_view search) {
  if (text.empty() || search.empty()) return 0;
  int count = 0;
  for (std::size_t pos = text.find(search); pos != std::string_view::npos;
       pos = text.find(search, pos + search.size())) {
    ++count;
  }
  return count;
}

std::string ReplaceAll(std::string_view text, std::string_view search,
                       std::string_view replacement) {
  if (text.empty() || search.empty()) return std::string(text);
  std::string result;
  result.reserve(text.size());
  std::size_t from = 0;
  for (std::size_t pos = text.find(search); pos != std::string_view::npos;
       pos = text.find(search, from)) {
    result.append(text.substr(from, pos - from));
    result.append(replacement);
    from = pos + search.size();
  }
  result.append(text.substr(from));
  return result;
}

}  // namespace wendrix
