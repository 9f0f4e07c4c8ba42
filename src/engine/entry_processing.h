// Processing one entry: the command started for it with its output copied to the console.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "engine/settings.h"
#include "services/console.h"

namespace wendrix {

inline constexpr std::size_t OutputChunkSize = 4096;

// What a job run is handed besides the Settings.
struct JobHooks {
  Console* console = nullptr;        // where the children's output goes; required
  std::function<void()> idle;        // called at least every 50 ms while a child runs
};

enum class EntryOutcome {
  kDone,           // the command ran to its end (or could not be started)
  kConsoleEnded,   // the console was closed or interrupted: the run must stop
};

// Starts settings.command for the entry with its output on a pipe and copies every byte to the
// console in pieces of at most OutputChunkSize, until the child has ended and the pipe is
// drained. The record is always closed.
EntryOutcome ProcessEntry(const Settings& settings, const std::string& full_path,
                          const std::string& destination_path, JobHooks& hooks);

}  // namespace wendrix
