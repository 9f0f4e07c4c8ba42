// wendrix-run: one job run from a settings file, without a window, for scripts and schedulers.
// Its own standard output is the console; the commands share its standard input and error.
// Signals keep their default effect: Ctrl+C ends it together with the running command, which
// is in the same process group.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "engine/command_line.h"
#include "engine/job_run.h"
#include "engine/parallel_jobs.h"
#include "services/console.h"
#include "services/directory_listing.h"
#include "settings/settings_flows.h"
#include "wendrix/version.h"

namespace wendrix {
namespace {

constexpr int kExitFinished = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "Usage: wendrix-run [--dry-run] [-j N] SETTINGS_FILE\n"
    "Runs the job a Wendrix settings file describes: walks the folder tree below its path and\n"
    "runs its command for every matching file or folder, the commands' output on standard\n"
    "output.\n"
    "\n"
    "  --dry-run  print each command line the run would start, one per line and quoted for\n"
    "             the shell, and start nothing; no folder is created\n"
    "  -j, --jobs N  run up to N commands at once (0: one per processor; default 1); their\n"
    "             output is held and written in walk order, their input is /dev/null\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n"
    "\n"
    "Exit status: 0 when the run finished, 1 when its output went away, 2 when the settings\n"
    "file cannot be read or the arguments are wrong.\n";

// Single quotes keep every byte literal; a quote itself is closed, escaped and reopened.
std::string ShellQuote(std::string_view word) {
  std::string quoted = "'";
  for (char c : word) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  quoted += '\'';
  return quoted;
}

std::string DescribeUnreadable(const std::string& file_name) {
  if (ProbePath(file_name) == ProbeFolder) return "it is a folder";
  const int fd = open(file_name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  close(fd);
  return "it could not be read";
}

int Run(int argc, char** argv) {
  bool dry_run = false;
  int jobs = 1;
  std::optional<std::string> file_name;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!options_done && arg == "--") {
      options_done = true;
    } else if (!options_done && (arg == "--help" || arg == "-h")) {
      std::fputs(kUsage, stdout);
      return kExitFinished;
    } else if (!options_done && arg == "--version") {
      std::printf("wendrix-run %s\n", WENDRIX_VERSION);
      return kExitFinished;
    } else if (!options_done && arg == "--dry-run") {
      dry_run = true;
    } else if (!options_done && (arg == "-j" || arg == "--jobs" || arg.starts_with("--jobs=") ||
                                 (arg.starts_with("-j") && arg.size() > 2))) {
      // -j N, -jN, --jobs N, --jobs=N; 0 is one per processor.
      std::string count = arg.starts_with("--jobs=")                ? arg.substr(7)
                          : arg.starts_with("-j") && arg.size() > 2 ? arg.substr(2)
                          : i + 1 < argc                            ? argv[++i]
                                                                    : "";
      if (count.empty() || count.size() > 6 ||
          !std::all_of(count.begin(), count.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        std::fprintf(stderr, "wendrix-run: -j/--jobs needs a number of commands, 0 or more\n");
        return kExitUsage;
      }
      const int value = std::stoi(count);
      jobs = value == 0 ? ProcessorCount() : value;
    } else if (!options_done && arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "wendrix-run: unknown option %s (see wendrix-run --help)\n",
                   arg.c_str());
      return kExitUsage;
    } else if (file_name) {
      std::fputs("wendrix-run: only one settings file can be given (see wendrix-run --help)\n",
                 stderr);
      return kExitUsage;
    } else {
      file_name = arg;
    }
  }
  if (!file_name) {
    std::fputs("wendrix-run: no settings file given (see wendrix-run --help)\n", stderr);
    return kExitUsage;
  }

  const std::optional<Settings> settings =
      ProbePath(*file_name) == ProbeFolder ? std::nullopt : LoadSettingsFile(*file_name);
  if (!settings) {
    std::fprintf(stderr, "wendrix-run: cannot read the settings file %s: %s\n", file_name->c_str(),
                 DescribeUnreadable(*file_name).c_str());
    return kExitUsage;
  }

  StandardStreamsConsole console;
  JobHooks hooks{&console, nullptr};
  hooks.jobs = jobs;
  JobOptions options;
  if (dry_run) {
    options.dry_run = [&](const std::string& full_path, const std::string& destination_path) {
      const CommandLine line =
          BuildCommandLine(settings->command, settings->parameters, full_path, destination_path);
      std::string text = ShellQuote(line.program);
      for (const std::string& arg : line.args) text += ' ' + ShellQuote(arg);
      text += '\n';
      std::fwrite(text.data(), 1, text.size(), stdout);
    };
  }
  const JobOutcome outcome = RunJob(*settings, hooks, options);
  if (std::fflush(stdout) != 0 || outcome == JobOutcome::kConsoleEnded) return kExitFailed;
  return kExitFinished;
}

}  // namespace
}  // namespace wendrix

int main(int argc, char** argv) { return wendrix::Run(argc, argv); }
