#include "services/directory_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "services/ascii_fold.h"
#include "services/wildcard.h"

namespace wendrix {

struct Listing {
  // Names live back to back in one buffer: a folder of 100,000 files costs little more than
  // its names.
  struct Entry {
    std::uint32_t offset;
    std::uint32_t length;
    int kind;
  };
  std::string names;
  std::vector<Entry> entries;
  std::size_t next = 0;  // index of the entry ListingNext makes current
  std::string folder;    // the folder listed, as the search text named it
  FolderIdentity identity{};

  std::string_view Name(const Entry& entry) const {
    return std::string_view(names).substr(entry.offset, entry.length);
  }
};

namespace {

// Closes the folder stream on every path, leaving errno as the listing set it.
class DirStream {
 public:
  explicit DirStream(DIR* dir) : dir_(dir) {}
  ~DirStream() {
    const int saved = errno;
    if (dir_ != nullptr) closedir(dir_);
    errno = saved;
  }
  DirStream(const DirStream&) = delete;
  DirStream& operator=(const DirStream&) = delete;
  DIR* get() const { return dir_; }

 private:
  DIR* dir_;
};

// Names compare with ASCII letters folded; names equal that way are ordered by their bytes, so
// the order never depends on the file system's.
bool NameLess(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const auto x = static_cast<unsigned char>(AsciiLower(a[i]));
    const auto y = static_cast<unsigned char>(AsciiLower(b[i]));
    if (x != y) return x < y;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

// A link (or an entry the file system does not type) is what it points at: a link to a folder
// is a folder, a dangling link a file.
int KindOf(int dir_fd, const dirent* entry) {
  switch (entry->d_type) {
    case DT_DIR:
      return EntryKindFolder;
    case DT_LNK:
    case DT_UNKNOWN: {
      struct stat st {};
      if (fstatat(dir_fd, entry->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode))
        return EntryKindFolder;
      return EntryKindFile;
    }
    default:
      return EntryKindFile;
  }
}

}  // namespace

ListingHandle ListingOpen(const std::string& folder_path, const std::string& pattern) {
  std::string search = folder_path;
  if (!search.empty() && search.back() != '/') search += '/';
  search += pattern.empty() ? std::string("*.*") : pattern;

  // The folder is everything up to the last separator of the whole search text, so a pattern
  // such as "sub/*.jpg" lists the folder sub.
  std::string folder;
  std::string name_pattern = search;
  const std::size_t slash = search.rfind('/');
  if (slash != std::string::npos) {
    folder = search.substr(0, slash + 1);
    name_pattern = search.substr(slash + 1);
  }
  DirStream dir(opendir(folder.empty() ? "." : folder.c_str()));
  if (dir.get() == nullptr) return {};
  const int dir_fd = dirfd(dir.get());

  ListingHandle listing(new Listing);
  listing->folder = folder;
  struct stat own {};
  if (fstat(dir_fd, &own) == 0) listing->identity = {own.st_dev, own.st_ino};

  // A pattern left empty by the split names no entry; "" handed in directly lists everything.
  const bool match_all = name_pattern == "*.*" || name_pattern == "*";
  while (true) {
    errno = 0;
    const dirent* entry = readdir(dir.get());
    if (entry == nullptr) {
      // A folder that fails part-way is treated like one that cannot be listed at all: a
      // partial listing would silently drop entries.
      if (errno != 0) return {};
      break;
    }
    const std::string_view name(entry->d_name);
    if (name_pattern.empty()) continue;
    if (!match_all && !WildcardMatch(name_pattern, name)) continue;
    listing->entries.push_back({static_cast<std::uint32_t>(listing->names.size()),
                                static_cast<std::uint32_t>(name.size()), KindOf(dir_fd, entry)});
    listing->names.append(name);
  }
  const Listing& ref = *listing;
  std::sort(listing->entries.begin(), listing->entries.end(),
            [&ref](const Listing::Entry& a, const Listing::Entry& b) {
              return NameLess(ref.Name(a), ref.Name(b));
            });
  listing->entries.shrink_to_fit();
  return listing;
}

bool ListingNext(Listing* listing) {
  if (listing == nullptr || listing->next >= listing->entries.size()) return false;
  ++listing->next;
  return true;
}

std::string ListingEntryName(const Listing* listing) {
  if (listing == nullptr || listing->next == 0) return std::string();
  return std::string(listing->Name(listing->entries[listing->next - 1]));
}

int ListingEntryKind(const Listing* listing) {
  if (listing == nullptr) return EntryKindNone;
  if (listing->next == 0) return EntryKindFile;
  return listing->entries[listing->next - 1].kind;
}

std::string ListingFolderPath(const Listing* listing) {
  return listing == nullptr ? std::string() : listing->folder;
}

void ListingClose(Listing* listing) { delete listing; }

bool ListingFolderIdentity(const Listing* listing, FolderIdentity* identity) {
  if (listing == nullptr || (listing->identity.device == 0 && listing->identity.inode == 0))
    return false;
  *identity = listing->identity;
  return true;
}

bool PathIdentity(const std::string& path, FolderIdentity* identity) {
  struct stat st {};
  if (path.empty() || stat(path.c_str(), &st) != 0) return false;
  *identity = {st.st_dev, st.st_ino};
  return true;
}

bool MakeFolder(const std::string& path) {
  std::string copy = path;
  // Only separators go: a trailing blank is part of a Linux name, and cutting it would create
  // a different folder from the one asked for.
  while (!copy.empty() && copy.back() == '/') copy.pop_back();
  if (copy.empty()) return false;
  return mkdir(copy.c_str(), 0777) == 0;
}

bool MakeFolderWithParents(const std::string& path) {
  bool made = false;
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string level = slash == std::string::npos ? path : path.substr(0, slash);
    if (!level.empty() && ProbePath(level) == ProbeMissing) {
      if (!MakeFolder(level)) return made;
      made = true;
    }
    if (slash == std::string::npos) return made;
  }
}

std::int64_t ProbePath(const std::string& path) {
  std::string copy = path;
  // "/" alone stays: it names the root folder.
  while (copy.size() > 1 && copy.back() == '/') copy.pop_back();
  if (copy.empty()) return ProbeMissing;
  struct stat st {};
  if (stat(copy.c_str(), &st) != 0) return ProbeMissing;
  if (S_ISDIR(st.st_mode)) return ProbeFolder;
  return static_cast<std::int64_t>(st.st_size);
}

}  // namespace wendrix
