#include "settings/settings_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <deque>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "services/unique_fd.h"
#include "settings/settings_parser.h"

namespace wendrix {

namespace {

using detail::EntryKind;
using detail::SettingsEntry;

// Texts and paths are UTF-8 here, so values of a UTF-8 file need no conversion.
constexpr bool kNarrowIsUtf8 = true;

// A settings file is a few hundred bytes; anything beyond this is not one, and is treated like a
// file too large to hold rather than filling memory.
constexpr std::uint64_t kMaxContentSize = std::uint64_t{1} << 30;

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

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t written = write(fd, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (written == 0) return false;
    data.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

// A file that is about to replace target. It is written as an anonymous file in the target's
// folder and named only once every byte is on disk, then renamed over the target: a save that
// fails, or a process killed while it writes, leaves the earlier file whole and nothing beside
// it. Where the file system offers no anonymous files, a temporary file with a name is written
// instead, and removed again unless committed.
class PendingFile {
 public:
  static std::optional<PendingFile> Prepare(const std::string& file_name) {
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

    PendingFile pending(std::move(*target));
    pending.fd_ =
        UniqueFd(open(FolderOf(pending.target_).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    if (!pending.fd_.Valid() && !pending.OpenNamed()) return std::nullopt;
    return pending;
  }

  PendingFile(PendingFile&& other) noexcept
      : target_(std::move(other.target_)),
        temp_path_(std::exchange(other.temp_path_, std::string())),
        fd_(std::move(other.fd_)) {}
  PendingFile& operator=(PendingFile&& other) noexcept {
    if (this != &other) {
      Discard();
      target_ = std::move(other.target_);
      temp_path_ = std::exchange(other.temp_path_, std::string());
      fd_ = std::move(other.fd_);
    }
    return *this;
  }
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile() { Discard(); }

  // Writes text and puts the file in the target's place. False, with the target untouched and
  // nothing left beside it, when any step fails.
  bool Commit(std::string_view text) {
    if (!fd_.Valid() || !Fill(text)) return Fail();
    if (temp_path_.empty() && !NameAnonymous()) {
      // An anonymous file that cannot be given a name: the named way after all.
      if (!OpenNamed() || !Fill(text)) return Fail();
    }
    if (!fd_.Close()) return Fail();
    if (rename(temp_path_.c_str(), target_.c_str()) != 0) return Fail();
    temp_path_.clear();
    // Make the rename itself durable; the data is already safe, so a failure here is not one.
    UniqueFd folder(open(FolderOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.Valid()) fsync(folder.Get());
    return true;
  }

 private:
  explicit PendingFile(std::string target) : target_(std::move(target)) {}

  // A name beside the target that no file has; with six random characters at the end, as
  // mkostemp makes them.
  std::string TempName() const {
    std::string name = NameOf(target_);
    if (name.size() > 200) name = "wendrix";  // keep the temporary name within NAME_MAX
    return FolderOf(target_) + "/." + name + ".XXXXXX";
  }

  bool OpenNamed() {
    std::string path = TempName();
    fd_ = UniqueFd(mkostemp(path.data(), O_CLOEXEC));
    if (!fd_.Valid()) return false;
    temp_path_ = std::move(path);
    return true;
  }

  // The target's mode and owner, and every byte of text, on disk.
  bool Fill(std::string_view text) {
    const int fd = fd_.Get();
    struct stat existing;
    if (stat(target_.c_str(), &existing) == 0) {
      if (fchmod(fd, existing.st_mode & 07777) != 0) return false;
      // Keep the owner where we may (as root); an ordinary user cannot, and owns the file anyway.
      if (fchown(fd, existing.st_uid, existing.st_gid) != 0 && errno != EPERM) return false;
    } else if (fchmod(fd, NewFileMode()) != 0) {
      return false;
    }
    return WriteAll(fd, text) && fsync(fd) == 0;
  }

  // Gives the anonymous file a temporary name beside the target, for the rename.
  bool NameAnonymous() {
    static std::mt19937 generator{std::random_device()()};
    constexpr std::string_view kLetters =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::uniform_int_distribution<std::size_t> pick(0, kLetters.size() - 1);
    const std::string by_proc = "/proc/self/fd/" + std::to_string(fd_.Get());
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string path = TempName();
      for (std::size_t i = path.size() - 6; i < path.size(); ++i)
        path[i] = kLetters[pick(generator)];
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

  bool Fail() {
    Discard();
    return false;
  }

  void Discard() {
    fd_.Reset();
    if (!temp_path_.empty()) unlink(temp_path_.c_str());
    temp_path_.clear();
  }

  std::string target_;
  std::string temp_path_;  // empty while the file is anonymous
  UniqueFd fd_;
};

enum class ReadResult { kRead, kCannotOpen, kTooLarge };

ReadResult ReadWholeFile(const std::string& file_name, std::string& content) {
  UniqueFd fd(open(file_name.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.Valid()) return ReadResult::kCannotOpen;
  struct stat info;
  // Only regular files: a folder cannot be read, and a device or pipe may never end.
  if (fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) return ReadResult::kCannotOpen;
  if (static_cast<std::uint64_t>(info.st_size) > kMaxContentSize) return ReadResult::kTooLarge;
  try {
    // Read to the end rather than to the reported size: the file may have grown meanwhile.
    std::size_t used = 0;
    content.resize(static_cast<std::size_t>(info.st_size) + 4096);
    for (;;) {
      if (used == content.size()) {
        if (used > kMaxContentSize) {
          content = std::string();
          return ReadResult::kTooLarge;
        }
        content.resize(content.size() * 2);
      }
      const ssize_t got = read(fd.Get(), content.data() + used, content.size() - used);
      if (got < 0) {
        if (errno == EINTR) continue;
        content = std::string();
        return ReadResult::kCannotOpen;
      }
      if (got == 0) break;
      used += static_cast<std::size_t>(got);
    }
    content.resize(used);
  } catch (const std::bad_alloc&) {
    content = std::string();
    return ReadResult::kTooLarge;
  }
  return ReadResult::kRead;
}

struct Store {
  bool in_use = false;
  bool changed = false;
  // Set when a write could not be kept in a form that reads back the same; the file is then not
  // written at all rather than written wrong.
  bool unwritable = false;
  bool utf8 = false;
  std::string file_name;
  std::optional<PendingFile> pending;  // a created store's file-to-be
  std::string content;                 // an opened file's bytes; entries point into it
  std::deque<std::string> written;     // texts of writes; a deque keeps them in place
  std::vector<SettingsEntry> entries;

  bool Close() {
    if (!in_use) return true;
    bool ok = true;
    try {
      if (unwritable) {
        ok = false;
      } else if (pending) {
        // A created store always makes its file, an empty one when nothing was written.
        ok = pending->Commit(detail::ComposeSettings(entries));
      } else if (changed) {
        std::optional<PendingFile> replacement = PendingFile::Prepare(file_name);
        ok = replacement && replacement->Commit(detail::ComposeSettings(entries));
      }
    } catch (const std::bad_alloc&) {
      ok = false;  // nothing written; the earlier file stays as it was
    }
    *this = Store();
    return ok;
  }

  std::string_view Keep(std::string_view text) { return written.emplace_back(text); }
};

// One store is in use at a time. A store left in use at exit is closed, and so written, then.
struct StoreHolder {
  Store store;
  ~StoreHolder() { store.Close(); }
};

Store& CurrentStore() {
  static StoreHolder holder;
  return holder.store;
}

// The key as the entries of the current file spell it.
std::string LookupKey(const Store& store, const std::string& key) {
  return store.utf8 && !kNarrowIsUtf8 ? detail::SingleByteToUtf8(key) : key;
}

// The store's entries are those of content, which it keeps.
void TakeContent(Store& store, std::string content) {
  try {
    store.content = std::move(content);
    detail::ParsedSettings parsed = detail::ParseSettings(store.content);
    store.utf8 = parsed.utf8;
    store.entries = std::move(parsed.entries);
  } catch (const std::bad_alloc&) {
    store.entries.clear();
  }
}

}  // namespace

bool StoreCreate(const std::string& file_name) {
  Store& store = CurrentStore();
  store.Close();
  std::optional<PendingFile> pending = PendingFile::Prepare(file_name);
  if (!pending) return false;
  store.in_use = true;
  store.file_name = file_name;
  store.pending = std::move(pending);
  return true;
}

bool StoreOpen(const std::string& file_name) {
  Store& store = CurrentStore();
  store.Close();
  if (file_name.empty()) return false;
  std::string content;
  const ReadResult result = ReadWholeFile(file_name, content);
  if (result == ReadResult::kCannotOpen) return false;
  store.in_use = true;
  store.file_name = file_name;
  if (result == ReadResult::kTooLarge) return true;  // opened, but nothing could be held
  TakeContent(store, std::move(content));
  return true;
}

void StoreOpenContent(std::string content) {
  Store& store = CurrentStore();
  store.Close();
  store.in_use = true;
  TakeContent(store, std::move(content));
}

bool StoreHasKey(const std::string& key) {
  const Store& store = CurrentStore();
  return store.in_use &&
         detail::FindTopLevelKey(store.entries, LookupKey(store, key)) != detail::kNotFound;
}

void StoreWriteString(const std::string& key, const std::string& value) {
  Store& store = CurrentStore();
  if (!store.in_use) return;
  if (!detail::EntryWritable(key, value)) {
    store.unwritable = true;
    return;
  }
  try {
    const std::size_t index = detail::FindTopLevelKey(store.entries, LookupKey(store, key));
    SettingsEntry entry{EntryKind::kKey, store.Keep(key), store.Keep(value)};
    if (index != detail::kNotFound) {
      store.entries[index] = entry;
    } else {
      const std::size_t end = detail::TopLevelEnd(store.entries);
      store.entries.insert(store.entries.begin() + static_cast<std::ptrdiff_t>(end), entry);
    }
    store.changed = true;
  } catch (const std::bad_alloc&) {
    // Without memory the write has no effect.
  }
}

void StoreWriteInteger(const std::string& key, std::int32_t value) {
  StoreWriteString(key, std::to_string(value));
}

std::string StoreReadString(const std::string& key, const std::string& default_value) {
  const Store& store = CurrentStore();
  if (!store.in_use) return default_value;
  const std::size_t index = detail::FindTopLevelKey(store.entries, LookupKey(store, key));
  if (index == detail::kNotFound) return default_value;
  return detail::ValueText(store.entries[index].text, store.utf8, kNarrowIsUtf8);
}

std::int32_t StoreReadInteger(const std::string& key, std::int32_t default_value) {
  const Store& store = CurrentStore();
  if (!store.in_use) return default_value;
  const std::size_t index = detail::FindTopLevelKey(store.entries, LookupKey(store, key));
  if (index == detail::kNotFound) return default_value;
  return detail::ParseInteger(
      detail::ValueText(store.entries[index].text, store.utf8, kNarrowIsUtf8));
}

bool StoreClose() { return CurrentStore().Close(); }

}  // namespace wendrix
