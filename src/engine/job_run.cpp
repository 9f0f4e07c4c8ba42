#include "engine/job_run.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <optional>
#include <unordered_set>
#include <vector>

#include "engine/command_executor.h"
#include "engine/command_line.h"
#include "engine/placeholders.h"
#include "services/clock.h"
#include "services/directory_listing.h"
#include "services/path_helpers.h"
#include "services/wildcard.h"

namespace wendrix {
namespace {

// The walk's own pace between commands: a tree of many folders and no command would otherwise
// leave the window unanswered for as long as the walk takes.
constexpr std::int64_t kIdleIntervalMs = 50;

std::string WithSeparator(std::string path) {
  if (!path.empty() && path.back() != '/') path += '/';
  return path;
}

bool IsDotEntry(const std::string& name) { return name == "." || name == ".."; }

struct FolderIdentityHash {
  std::size_t operator()(const FolderIdentity& identity) const {
    return std::hash<ino_t>()(identity.inode) * 31 + std::hash<dev_t>()(identity.device);
  }
};

}  // namespace

bool HasPlaceholder(const std::string& parameters) {
  return std::any_of(std::begin(kPlaceholders), std::end(kPlaceholders), [&](const Placeholder& p) {
    return parameters.find(std::string{'%', p.letter}) != std::string::npos;
  });
}

namespace {

// One job run: the folders still to walk, and how each is listed and its entries handed on.
class JobWalk {
 public:
  JobWalk(const Settings& settings, JobHooks& hooks, const JobOptions& options)
      : settings_(settings),
        hooks_(hooks),
        options_(options),
        // Paths are built by concatenation, so both folders must end with a separator: without
        // it a file a.txt of /data would be handed on as /dataa.txt.
        root_(WithSeparator(settings.path.empty() ? OwnFolder() : settings.path)),
        destination_(WithSeparator(settings.destination)),
        dry_run_(static_cast<bool>(options.dry_run)),
        mirror_(!destination_.empty()) {
    // A destination inside the tree is left out of the walk: entering it would mirror the
    // mirror one level deeper at every level, and run the command on the copies. Nor is it an
    // entry: its %d would name a folder inside itself.
    destination_known_ =
        !destination_.empty() && PathIdentity(destination_, &destination_identity_);
    const bool command_given = !settings.command.empty() && HasPlaceholder(settings.parameters);
    wants_files_ = command_given && settings.process_files != 0;
    wants_folders_ = command_given && settings.process_folders != 0;
    if (hooks.console != nullptr && !dry_run_ && (wants_files_ || wants_folders_))
      executor_.emplace(hooks, hooks.jobs);
  }

  JobOutcome Run() {
    // Folders still to walk, the last pushed walked first: a folder's subfolders are pushed in
    // listing order, so they are walked in reverse order, each with everything below it first.
    pending_.push_back({std::string()});
    while (!pending_.empty()) {
      const PendingFolder folder = std::move(pending_.back());
      pending_.pop_back();
      IdleBetweenFolders();
      if (hooks_.keep_going && !hooks_.keep_going()) break;
      if (!ListSubfolders(folder)) continue;  // skipped together with everything below it
      // Without anything to process the second pass would find nothing to do.
      if (!wants_files_ && !wants_folders_) continue;
      const EntryOutcome outcome = ProcessCandidates(folder);
      if (outcome == EntryOutcome::kConsoleEnded) return JobOutcome::kConsoleEnded;
      if (outcome == EntryOutcome::kStopped) break;
    }
    return JobOutcome::kFinished;
  }

  // However the walk ended, the commands still running end before the run does.
  JobOutcome Finish(JobOutcome outcome) {
    if (executor_ && executor_->Finish() == EntryOutcome::kConsoleEnded)
      return JobOutcome::kConsoleEnded;
    return outcome;
  }

 private:
  // A folder waiting to be walked, by its relative path.
  struct PendingFolder {
    std::string relative;
  };

  void IdleBetweenFolders() {
    if (!hooks_.idle) return;
    const std::int64_t now = NowMs();
    if (now - last_idle_ < kIdleIntervalMs) return;
    hooks_.idle();
    last_idle_ = now;
  }

  // First pass: the subfolders are queued, and their Mirrored folders made before any entry is
  // processed. False when the folder is not walked at all.
  bool ListSubfolders(const PendingFolder& folder) {
    const std::string folder_path = root_ + folder.relative;
    const ListingHandle listing = ListingOpen(folder_path, std::string());
    if (!listing) {
      if (hooks_.folder_unlisted) hooks_.folder_unlisted(folder_path, errno);
      return false;
    }
    // Each folder is entered once, under the first name the walk meets it by: links to folders
    // can then neither loop nor multiply the walk (a tree holding a link to "/" would otherwise
    // walk the whole system once per link met on the way).
    FolderIdentity identity;
    if (ListingFolderIdentity(listing.get(), &identity) && !entered_.insert(identity).second)
      return false;
    const bool enter =
        options_.max_depth < 0 ||
        std::count(folder.relative.begin(), folder.relative.end(), '/') < options_.max_depth;
    while (ListingNext(listing.get())) {
      if (ListingEntryKind(listing.get()) != EntryKindFolder) continue;
      std::string name = ListingEntryName(listing.get());
      if (IsDotEntry(name) || Excluded(name)) continue;
      if (IsDestination(folder_path + name)) continue;
      // A folder not entered is mirrored only for its own command's %d.
      if (mirror_ && (enter || wants_folders_)) Mirror(destination_ + folder.relative + name);
      if (enter) pending_.push_back({folder.relative + name + "/"});
    }
    return true;
  }

  // Second pass: the entries that match the search text, each of a kind to process handed on.
  EntryOutcome ProcessCandidates(const PendingFolder& folder) {
    const std::string folder_path = root_ + folder.relative;
    const ListingHandle listing = ListingOpen(folder_path, settings_.search_text);
    if (!listing) return EntryOutcome::kDone;
    // A search text holding a folder ("sub/a.txt", "../*.gz") lists that folder, so the paths
    // are built from it: Root + r + name would name another file, which may well exist.
    const std::string listed = ListingFolderPath(listing.get());
    const std::string relative =
        folder.relative + (listed.compare(0, folder_path.size(), folder_path) == 0
                               ? listed.substr(folder_path.size())
                               : std::string());
    while (ListingNext(listing.get())) {
      const std::string name = ListingEntryName(listing.get());
      if (IsDotEntry(name) || Excluded(name)) continue;
      EntryOutcome outcome = EntryOutcome::kDone;
      if (ListingEntryKind(listing.get()) == EntryKindFile) {
        if (wants_files_) outcome = Process(listed + name, destination_ + relative);
      } else if (wants_folders_ && !IsDestination(listed + name)) {
        outcome = Process(listed + name + "/", destination_ + relative + name);
      }
      if (outcome != EntryOutcome::kDone) return outcome;
    }
    return EntryOutcome::kDone;
  }

  bool Excluded(const std::string& name) const {
    return std::any_of(options_.exclusions.begin(), options_.exclusions.end(),
                       [&](const std::string& pattern) { return WildcardMatch(pattern, name); });
  }

  void Mirror(const std::string& path) {
    if (dry_run_) {
      if (options_.dry_run_folder) options_.dry_run_folder(path);
      return;
    }
    if (MakeFolder(path)) return;
    const int error = errno;
    struct stat st {};
    if (error == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;
    if (hooks_.folder_not_made) hooks_.folder_not_made(path, error);
  }

  // Whether path names the destination, by whatever name it is reached.
  bool IsDestination(const std::string& path) const {
    FolderIdentity identity;
    return destination_known_ && PathIdentity(path, &identity) && identity == destination_identity_;
  }

  EntryOutcome Process(const std::string& full_path, const std::string& destination_path) {
    if (dry_run_) {
      options_.dry_run(full_path, destination_path);
      return EntryOutcome::kDone;
    }
    if (options_.wanted && !options_.wanted(full_path, destination_path))
      return EntryOutcome::kDone;
    if (!executor_) return EntryOutcome::kDone;  // no console: nowhere for the output to go
    return executor_->Start(
        BuildCommandLine(settings_.command, settings_.parameters, full_path, destination_path),
        full_path);
  }

  const Settings& settings_;
  JobHooks& hooks_;
  const JobOptions& options_;
  const std::string root_;
  const std::string destination_;
  const bool dry_run_;
  const bool mirror_;
  FolderIdentity destination_identity_;
  bool destination_known_ = false;
  bool wants_files_ = false;
  bool wants_folders_ = false;
  std::vector<PendingFolder> pending_;
  std::unordered_set<FolderIdentity, FolderIdentityHash> entered_;
  std::optional<CommandExecutor> executor_;
  std::int64_t last_idle_ = NowMs();
};

}  // namespace

JobOutcome RunJob(Settings settings, JobHooks& hooks, const JobOptions& options) {
  if (hooks.console != nullptr) hooks.console->Open();
  JobWalk walk(settings, hooks, options);
  return walk.Finish(walk.Run());
}

}  // namespace wendrix
