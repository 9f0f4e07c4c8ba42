// wendrix-run's command line: the options, the settings file they name, and the values they set
// over the file's.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "engine/settings.h"

namespace wendrix {

// What the command line asks for.
struct RunOptions {
  bool help = false;
  bool version = false;
  bool dry_run = false;
  bool progress = false;
  bool fail_fast = false;
  int jobs = 1;                              // 0: one per processor
  std::optional<std::string> settings_file;  // "-": standard input
  std::optional<std::string> save_file;      // write the values there and run nothing
  // Values given on the command line; each replaces the one of the settings file.
  std::optional<std::string> search_text, path, command, parameters, destination;
  std::optional<int> process_files, process_folders;
  // What the run remembers and tells of its entries.
  std::optional<std::string> creates, joblog;
  bool resume = false;
  bool retry_failed = false;
  bool tag = false;
  // Where the walk goes.
  std::vector<std::string> exclusions;
  int max_depth = -1;  // below 0: no limit

  // Whether any value is set on the command line.
  bool SetsValues() const;
};

// The options, or the line that tells what is wrong with them.
struct ParsedRunOptions {
  RunOptions options;
  std::string error;  // empty when the command line is usable
};

// args are the words after the program's name.
ParsedRunOptions ParseRunOptions(const std::vector<std::string>& args);

// The settings of the run: base with every value the command line sets put over it.
Settings ApplyRunOptions(const RunOptions& options, Settings base);

// The help text: every option in one screen, and the exit statuses.
extern const char kRunUsage[];

}  // namespace wendrix
