// The job run: the depth-first walk below the Root, the Mirrored folders, and the choice of
// the entries that are processed.
#pragma once

#include <functional>
#include <string>

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
};

JobOutcome RunJob(Settings settings, JobHooks& hooks, const JobOptions& options = {});

}  // namespace wendrix
