// Processing one entry: the command started for it with its output copied to the console.
#pragma once

#include <cstddef>
#include <string>

#include "engine/job_hooks.h"
#include "engine/settings.h"

namespace wendrix {

inline constexpr std::size_t OutputChunkSize = 4096;

enum class EntryOutcome {
  kDone,          // the command ran to its end (or could not be started)
  kConsoleEnded,  // the console was closed or interrupted: the run must stop
  kStopped,       // the front end wants no more commands: the run ends after the running ones
};

// Starts settings.command for the entry with its output on a pipe and copies every byte to the
// console in pieces of at most OutputChunkSize, until the child has ended and the pipe is
// drained; then ends whatever the command left running. When outcome is given it tells
// whether the command started and how it ended. A job run of one entry: RunJob runs its
// commands the same way without this call.
EntryOutcome ProcessEntry(const Settings& settings, const std::string& full_path,
                          const std::string& destination_path, JobHooks& hooks,
                          CommandOutcome* outcome = nullptr);

}  // namespace wendrix
