// Directory listing, folder creation and path probing.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace wendrix {

inline constexpr int EntryKindNone = 0;
inline constexpr int EntryKindFile = 1;
inline constexpr int EntryKindFolder = 2;

inline constexpr std::int64_t ProbeMissing = -1;
inline constexpr std::int64_t ProbeFolder = -2;

struct Listing;  // an open listing of one folder
void ListingClose(Listing* listing);

struct ListingCloser {
  void operator()(Listing* listing) const { ListingClose(listing); }
};

// An owned listing: closing it is ListingClose.
using ListingHandle = std::unique_ptr<Listing, ListingCloser>;

// Lists folder_path's entries whose names match pattern ("" or "*.*": every entry, "." and ".."
// included), sorted by name with ASCII case folded, ties by bytes. An empty handle (errno says
// why) when the folder cannot be listed; an empty Listing when nothing matches. When the pattern
// holds a separator, the search text (folder + "/" + pattern) is split at its last one, and the
// folder before it is the one listed (ListingFolderPath).
ListingHandle ListingOpen(const std::string& folder_path, const std::string& pattern);
// The folder the listing's entries are in, as the search text named it, with a trailing "/"
// ("" for the current folder): folder_path + "/" + the pattern's folder part.
std::string ListingFolderPath(const Listing* listing);
bool ListingNext(Listing* listing);
std::string ListingEntryName(const Listing* listing);
int ListingEntryKind(const Listing* listing);  // a link to a folder is a folder

// Which folder a path or listing is, whatever the name it was reached by (device and inode):
// lets the walk recognise a folder it is already inside.
struct FolderIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FolderIdentity&) const = default;
};
// The identity of the folder the listing was read from; false when unknown.
bool ListingFolderIdentity(const Listing* listing, FolderIdentity* identity);
// The identity of what path names, links followed; false when it does not exist.
bool PathIdentity(const std::string& path, FolderIdentity* identity);

// Creates one folder level (trailing separators dropped; blanks are part of a name on Linux);
// false when it fails.
bool MakeFolder(const std::string& path);

// Creates path and every missing folder above it. True when at least one level was made.
bool MakeFolderWithParents(const std::string& path);

// Size of an existing file, ProbeFolder for a folder, ProbeMissing otherwise.
std::int64_t ProbePath(const std::string& path);

}  // namespace wendrix
