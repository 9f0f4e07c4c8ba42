#include "settings/pending_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <random>
#include <utility>

#include "services/fd_io.h"

namespace wendrix {

namespace {

// Symbolic links followed before giving up, as the kernel does.
constexpr int kMaxLinkDepth = 40;

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file that writing to path really changes: the end of a chain of symbolic links, so that
// replacing it keeps the links. nullopt for a loop.
std::optional<std::string> ResolveLinkTarget(std::string path) {
  for (int depth = 0; depth < kMaxLinkDepth; ++depth) {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    std::string target(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : 255) + 1, '\0');
    ssize_t length;
    while ((length = readlink(path.c_str(), target.data(), target.size())) ==
           static_cast<ssize_t>(target.size())) {
      target.resize(target.size() * 2);
    }
    if (length < 0) return path;
    target.resize(static_cast<std::size_t>(length));
    path = target.front() == '/' ? target : FolderOf(path) + "/" + target;
  }
  return std::nullopt;
}

// The mode a plain create gives a new file.
mode_t NewFileMode() {
  mode_t mask = 022;
  bool known = false;
  if (FILE* status = std::fopen("/proc/self/status", "re")) {
    char line[256];
    while (std::fgets(line, sizeof line, status) != nullptr) {
      unsigned value;
      if (std::sscanf(line, "Umask: %o", &value) == 1) {
        mask = static_cast<mode_t>(value);
        known = true;
        break;
      }
    }
    std::fclose(status);
  }
  if (!known) {
    mask = umask(022);
    umask(mask);
  }
  return 0666 & ~mask;
}

// Where a save of target names its temporary file, up to the six random characters.
std::string TempPrefix(const std::string& target) {
  std::string name = NameOf(target);
  if (name.size() > 200) name = "wendrix";  // keep the temporary name within NAME_MAX
  return FolderOf(target) + "/." + name + ".";
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

void RemoveStaleTemporariesOf(const std::string& target) {
  const std::string prefix = TempPrefix(target);
  const std::string folder = FolderOf(target);
  const std::string name_prefix = prefix.substr(folder.size() + 1);
  DIR* listing = opendir(folder.c_str());
  if (listing == nullptr) return;
  while (const dirent* entry = readdir(listing)) {
    const std::string_view name = entry->d_name;
    if (name.size() != name_prefix.size() + 6 ||
        name.substr(0, name_prefix.size()) != name_prefix ||
        !std::all_of(name.end() - 6, name.end(), [](char c) { return std::isalnum(c) != 0; })) {
      continue;
    }
    const std::string path = folder + "/" + std::string(name);
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat held, named;
    if (!fd.Valid() || fstat(fd.Get(), &held) != 0 || !S_ISREG(held.st_mode)) continue;
    // A writer holds its lock until the rename: a lock we can take is one nobody holds.
    if (flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) continue;
    // The name may have been renamed into place meanwhile, and given anew.
    if (lstat(path.c_str(), &named) == 0 && SameFile(held, named)) unlink(path.c_str());
  }
  closedir(listing);
}

}  // namespace

void RemoveStaleTemporaries(const std::string& file_name) {
  if (file_name.empty() || file_name.back() == '/') return;
  if (std::optional<std::string> target = ResolveLinkTarget(file_name))
    RemoveStaleTemporariesOf(*target);
}

std::optional<PendingFile> PendingFile::Prepare(const std::string& file_name) {
  if (file_name.empty() || file_name.back() == '/') return std::nullopt;
  std::optional<std::string> target = ResolveLinkTarget(file_name);
  if (!target) return std::nullopt;

  struct stat info;
  if (stat(target->c_str(), &info) == 0) {
    // Only a regular file is replaced; a folder, device or pipe is not ours to swap out.
    if (!S_ISREG(info.st_mode)) return std::nullopt;
    // A file we could not write in place (read-only, or not ours) must not be replaced either.
    UniqueFd probe(open(target->c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!probe.Valid()) return std::nullopt;
  } else if (errno != ENOENT) {
    return std::nullopt;
  }
  RemoveStaleTemporariesOf(*target);

  PendingFile pending(std::move(*target));
  pending.fd_ =
      UniqueFd(open(FolderOf(pending.target_).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
  // Nobody else can reach an anonymous file: the lock is ours before it has a name.
  if (pending.fd_.Valid() && flock(pending.fd_.Get(), LOCK_EX) != 0) pending.fd_.Reset();
  if (!pending.fd_.Valid() && !pending.OpenNamed()) return std::nullopt;
  return pending;
}

PendingFile::PendingFile(PendingFile&& other) noexcept
    : target_(std::move(other.target_)),
      temp_path_(std::exchange(other.temp_path_, std::string())),
      fd_(std::move(other.fd_)) {}

PendingFile& PendingFile::operator=(PendingFile&& other) noexcept {
  if (this != &other) {
    Discard();
    target_ = std::move(other.target_);
    temp_path_ = std::exchange(other.temp_path_, std::string());
    fd_ = std::move(other.fd_);
  }
  return *this;
}

bool PendingFile::Commit(std::string_view text) {
  if (!fd_.Valid() || !Fill(text)) return Fail();
  if (temp_path_.empty() && !NameAnonymous()) {
    // An anonymous file that cannot be given a name: the named way after all.
    if (!OpenNamed() || !Fill(text)) return Fail();
  }
  // Renamed while still locked, so that no cleaner takes it for a leftover; every byte is on
  // disk already, so a failing close after it loses nothing.
  if (rename(temp_path_.c_str(), target_.c_str()) != 0) return Fail();
  temp_path_.clear();
  fd_.Reset();
  // Make the rename itself durable; the data is already safe, so a failure here is not one.
  UniqueFd folder(open(FolderOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.Valid()) fsync(folder.Get());
  return true;
}

// A name beside the target that no file has; with six random characters at the end, as mkostemp
// makes them.
bool PendingFile::OpenNamed() {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string path = TempPrefix(target_) + "XXXXXX";
    UniqueFd fd(mkostemp(path.data(), O_CLOEXEC));
    if (!fd.Valid()) return false;
    // Until the lock is ours a cleaner may take the new file for a leftover and remove it: then
    // the name is no longer this file's, and another is made.
    struct stat held, named;
    if (flock(fd.Get(), LOCK_EX) == 0 && fstat(fd.Get(), &held) == 0 &&
        lstat(path.c_str(), &named) == 0 && SameFile(held, named)) {
      fd_ = std::move(fd);
      temp_path_ = std::move(path);
      return true;
    }
  }
  return false;
}

// The target's mode and owner, and every byte of text, on disk.
bool PendingFile::Fill(std::string_view text) {
  const int fd = fd_.Get();
  struct stat existing;
  if (stat(target_.c_str(), &existing) == 0) {
    if (fchmod(fd, existing.st_mode & 07777) != 0) return false;
    // Keep the owner where we may (as root); an ordinary user cannot, and owns the file anyway.
    if (fchown(fd, existing.st_uid, existing.st_gid) != 0 && errno != EPERM) return false;
  } else if (fchmod(fd, NewFileMode()) != 0) {
    return false;
  }
  return WriteAll(fd, text) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
}

// Gives the anonymous file a temporary name beside the target, for the rename.
bool PendingFile::NameAnonymous() {
  static std::mt19937 generator{std::random_device()()};
  constexpr std::string_view kLetters =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::uniform_int_distribution<std::size_t> pick(0, kLetters.size() - 1);
  const std::string by_proc = "/proc/self/fd/" + std::to_string(fd_.Get());
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string path = TempPrefix(target_);
    for (int i = 0; i < 6; ++i) path += kLetters[pick(generator)];
    // By the descriptor itself needs a privilege on older kernels; through /proc it never does.
    if (linkat(fd_.Get(), "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0 ||
        (errno != EEXIST &&
         linkat(AT_FDCWD, by_proc.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0)) {
      temp_path_ = std::move(path);
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

bool PendingFile::Fail() {
  Discard();
  return false;
}

void PendingFile::Discard() {
  // Removed while still locked, so that a cleaner never sees it unlocked.
  if (!temp_path_.empty()) unlink(temp_path_.c_str());
  temp_path_.clear();
  fd_.Reset();
}

}  // namespace wendrix
