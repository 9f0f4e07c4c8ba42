#include "settings/settings_store.h"

#include <fcntl.h>
#include <poll.h>
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
#include "settings/pending_file.h"
#include "settings/settings_parser.h"

namespace wendrix {

namespace {

using detail::EntryKind;
using detail::SettingsEntry;

// Texts and paths are UTF-8 here, so values of a UTF-8 file need no conversion.
constexpr bool kNarrowIsUtf8 = true;

enum class ReadResult { kRead, kCannotOpen, kTooLarge };

ReadResult ReadWholeFile(const std::string& file_name, std::string& content) {
  UniqueFd fd(open(file_name.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.Valid()) return ReadResult::kCannotOpen;
  struct stat info;
  // Only regular files: a folder cannot be read, and a device or pipe may never end.
  if (fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) return ReadResult::kCannotOpen;
  const int error = ReadSettingsBytes(fd.Get(), content);
  if (error != 0) content = std::string();
  return error == 0       ? ReadResult::kRead
         : error == EFBIG ? ReadResult::kTooLarge
                          : ReadResult::kCannotOpen;
}

}  // namespace

int ReadSettingsBytes(int fd, std::string& content) {
  // A settings file is a few hundred bytes; this much is surely something else (/dev/zero).
  constexpr std::size_t kMostSettingsBytes = std::size_t{16} << 20;
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

namespace {

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
