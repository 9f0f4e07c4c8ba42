#include "services/path_helpers.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <vector>

namespace wendrix {

namespace {

std::size_t NameStart(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? 0 : slash + 1;
}

// Where the extension's dot is, or the end of the path when the name has none. The name's
// first character is never looked at, so ".profile" has no extension.
std::size_t ExtensionDot(std::string_view path) {
  const std::size_t start = NameStart(path);
  for (std::size_t i = path.size(); i-- > start + 1;) {
    if (path[i] == ' ') break;
    if (path[i] == '.') return i + 1 < path.size() ? i : path.size();
  }
  return path.size();
}

std::string WithTrailingSlash(std::string folder) {
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder;
}

std::string WithoutTrailingSlashes(std::string path) {
  while (!path.empty() && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

std::string_view FolderPart(std::string_view path) { return path.substr(0, NameStart(path)); }

std::string_view NamePart(std::string_view path, bool without_extension) {
  const std::size_t start = NameStart(path);
  return path.substr(start, (without_extension ? ExtensionDot(path) : path.size()) - start);
}

std::string_view ExtensionPart(std::string_view path) {
  const std::size_t dot = ExtensionDot(path);
  return dot == path.size() ? std::string_view() : path.substr(dot + 1);
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
