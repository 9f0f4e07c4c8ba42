#include "engine/job_run.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "services/directory_listing.h"
#include "services/path_helpers.h"

namespace wendrix {
namespace {

constexpr const char* kPlaceholders[] = {"%f", "%p", "%n", "%e", "%h", "%t", "%d"};

// The walk's own pace between commands: a tree of many folders and no command would otherwise
// leave the window unanswered for as long as the walk takes.
constexpr auto kIdleInterval = std::chrono::milliseconds(50);

struct ListingCloser {
  void operator()(Listing* listing) const { ListingClose(listing); }
};
using ListingPtr = std::unique_ptr<Listing, ListingCloser>;

// A folder waiting to be walked: its relative path and how many folders lie above it.
struct PendingFolder {
  std::string relative;
  std::size_t depth;
};

std::string WithSeparator(std::string path) {
  if (!path.empty() && path.back() != '/') path += '/';
  return path;
}

bool IsDotEntry(const std::string& name) { return name == "." || name == ".."; }

}  // namespace

bool HasPlaceholder(const std::string& parameters) {
  return std::any_of(
      std::begin(kPlaceholders), std::end(kPlaceholders),
      [&](const char* placeholder) { return CountOccurrences(parameters, placeholder) > 0; });
}

JobOutcome RunJob(Settings settings, JobHooks& hooks, const JobOptions& options) {
  if (hooks.console != nullptr) hooks.console->Open();

  // Paths are built by concatenation, so both folders must end with a separator: without it a
  // file a.txt of /data would be handed on as /dataa.txt.
  const std::string root = WithSeparator(settings.path.empty() ? ProgramFolder() : settings.path);
  const std::string destination = WithSeparator(settings.destination);
  const bool dry_run = static_cast<bool>(options.dry_run);
  const bool mirror = !destination.empty() && !dry_run;

  // A destination inside the tree is left out of the walk: entering it would mirror the mirror
  // one level deeper at every level, and run the command on the copies.
  FolderIdentity destination_identity;
  const bool destination_known =
      !destination.empty() && PathIdentity(destination, &destination_identity);

  const bool has_placeholder = HasPlaceholder(settings.parameters);
  const bool command_given = !settings.command.empty() && has_placeholder;
  const bool wants_files = command_given && settings.process_files != 0;
  const bool wants_folders = command_given && settings.process_folders != 0;

  auto process = [&](const std::string& full_path, const std::string& destination_path) {
    if (dry_run) {
      options.dry_run(full_path, destination_path);
      return EntryOutcome::kDone;
    }
    return ProcessEntry(settings, full_path, destination_path, hooks);
  };

  // Folders still to walk, the last pushed walked first: a folder's subfolders are pushed in
  // listing order, so they are walked in reverse order, each with everything below it first.
  std::vector<PendingFolder> pending{{std::string(), 0}};
  // The folders from the Root down to the one being walked. A folder met again among them (a
  // link to one of its own ancestors) is not entered: the walk of a tree with link loops ends.
  std::vector<FolderIdentity> chain;
  auto last_idle = std::chrono::steady_clock::now();

  while (!pending.empty()) {
    const PendingFolder folder = std::move(pending.back());
    pending.pop_back();

    if (hooks.idle) {
      const auto now = std::chrono::steady_clock::now();
      if (now - last_idle >= kIdleInterval) {
        hooks.idle();
        last_idle = now;
      }
    }

    const std::string folder_path = root + folder.relative;

    // First pass: the subfolders, and their Mirrored folders before any entry is processed.
    {
      ListingPtr listing(ListingOpen(folder_path, std::string()));
      if (!listing) continue;  // skipped together with everything below it
      chain.resize(folder.depth);
      FolderIdentity identity;
      if (ListingFolderIdentity(listing.get(), &identity)) {
        if (std::find(chain.begin(), chain.end(), identity) != chain.end()) continue;
      }
      chain.push_back(identity);
      while (ListingNext(listing.get())) {
        if (ListingEntryKind(listing.get()) != EntryKindFolder) continue;
        std::string name = ListingEntryName(listing.get());
        if (IsDotEntry(name)) continue;
        if (destination_known) {
          FolderIdentity sub;
          if (PathIdentity(folder_path + name, &sub) && sub == destination_identity) continue;
        }
        if (mirror) MakeFolder(destination + folder.relative + name);
        pending.push_back({folder.relative + name + "/", folder.depth + 1});
      }
    }

    // Second pass: the candidates. Without anything to process it would find nothing to do.
    if (!wants_files && !wants_folders) continue;
    ListingPtr listing(ListingOpen(folder_path, settings.search_text));
    if (!listing) continue;
    while (ListingNext(listing.get())) {
      const std::string name = ListingEntryName(listing.get());
      if (IsDotEntry(name)) continue;
      EntryOutcome outcome = EntryOutcome::kDone;
      if (ListingEntryKind(listing.get()) == EntryKindFile) {
        if (wants_files) outcome = process(folder_path + name, destination + folder.relative);
      } else if (wants_folders) {
        outcome = process(folder_path + name + "/", destination + folder.relative + name);
      }
      if (outcome == EntryOutcome::kConsoleEnded) return JobOutcome::kConsoleEnded;
    }
  }
  return JobOutcome::kFinished;
}

}  // namespace wendrix
