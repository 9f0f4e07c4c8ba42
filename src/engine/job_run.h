// The job run: the depth-first walk below the Root, the Mirrored folders, and the choice of
// the entries that are processed.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "engine/entry_processing.h"
#include "engine/settings.h"

namespace wendrix {

// True when the parameters hold one of the seven placeholders (case-sensitive).
bool HasPlaceholder(const std::string& parameters);

enum class JobOutcome { kFinished, kConsoleEnded };

struct JobOptions {
  // When set, called for every entry the run would process instead of starting the command,
  // and no folder is created (dry run).
  std::function<void(const std::string& full_path, const std::string& destination_path)> dry_run;
  // In a dry run, called for each Mirrored folder the run would create, in the order it would.
  std::function<void(const std::string& folder_path)> dry_run_folder;
  // Asked, outside a dry run, for each entry about to be processed: false passes it over.
  std::function<bool(const std::string& full_path, const std::string& destination_path)> wanted;
  // Names left out, with the search text's wildcard rules: a folder is neither entered nor
  // processed, a file not processed.
  std::vector<std::string> exclusions;
  // How many levels below the Root are entered: 0 processes the Root's own entries only;
  // below 0 no limit.
  int max_depth = -1;
};

JobOutcome RunJob(Settings settings, JobHooks& hooks, const JobOptions& options = {});

}  // namespace wendrix
