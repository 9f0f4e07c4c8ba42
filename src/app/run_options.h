// wendrix-run's command line: the options, the settings file they name, and the values they set
// over the file's.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/settings.h"

namespace wendrix {

// What the command line asks for.
struct RunOptions {
  bool help = false;
  bool version = false;
  bool list_options = false;  // the hidden --list-options
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

// One option. The table of them is the only place an option is declared: the parser, --help,
// the hint for a mistyped name and --list-options (which the tests hold the manual page and the
// shell completions against) all read it.
struct RunOption {
  const char* name;        // "--jobs"
  const char* short_name;  // "-j", or nullptr
  // The value's name in the help, nullptr for an option without one. DIR, FILE, PROGRAM and N
  // also tell the completions what to offer: folders, files, programs, numbers; other names
  // get nothing offered.
  const char* value;
  // Its text in --help; nullptr to be named beside the option before it ("--files, --no-files").
  const char* help;
  // Stores the option in options (value is "" when it takes none): an error, or "".
  std::string (*take)(RunOptions& options, const std::string& value);
};

extern const std::span<const RunOption> kRunOptions;

// The options, or the line that tells what is wrong with them.
struct ParsedRunOptions {
  RunOptions options;
  std::string error;  // empty when the command line is usable
};

// args are the words after the program's name.
ParsedRunOptions ParseRunOptions(const std::vector<std::string>& args);

// The settings of the run: base with every value the command line sets put over it.
Settings ApplyRunOptions(const RunOptions& options, Settings base);

// The help text: every option, the placeholders and an example in one screen.
std::string RunUsage();

// What --list-options prints: every name of every option, one a line, with a tab and the
// value's name when it takes one.
std::string RunOptionList();

}  // namespace wendrix
