// wendrix-run: one job run without a window, for scripts, schedulers and pipelines. The
// settings come from a settings file, standard input or the command line; the commands' output
// goes to its standard output, their standard input and error are its own (with -j above 1
// their input is /dev/null and their errors are held like their output).
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/command_executor.h"
#include "engine/command_line.h"
#include "engine/job_run.h"
#include "run_console.h"
#include "run_input.h"
#include "run_jobfile.h"
#include "run_ledger.h"
#include "run_options.h"
#include "run_progress.h"
#include "run_report.h"
#include "services/clock.h"
#include "services/spawn.h"
#include "settings/settings_flows.h"
#include "wendrix/version.h"

namespace wendrix {
namespace {

constexpr int kExitSucceeded = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitOutputLost = 3;
constexpr int kExitSignalBase = 128;

void WriteError(const std::string& line) {
  const std::string text = "wendrix-run: " + line + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
}

bool HoldsLineBreak(const Settings& s) {
  for (const std::string* value :
       {&s.path, &s.search_text, &s.destination, &s.command, &s.parameters}) {
    if (value->find_first_of("\r\n") != std::string::npos) return true;
  }
  return false;
}

// Where the walk goes, as the options say.
JobOptions WalkOptions(const RunOptions& options) {
  JobOptions walk;
  walk.exclusions = options.exclusions;
  walk.max_depth = options.max_depth;
  return walk;
}

// A walk that only lists, stopping early when the run is asked to end: each entry it would
// process goes to entry, each Mirrored folder to folder.
void ListingWalk(const Settings& settings, JobOptions walk, RunConsole& console,
                 std::function<void(const std::string&, const std::string&)> entry,
                 std::function<void(const std::string&)> folder = {}) {
  JobHooks listing(nullptr);
  listing.keep_going = [&console] { return console.Standing(); };
  walk.dry_run = std::move(entry);
  walk.dry_run_folder = std::move(folder);
  RunJob(settings, listing, walk);
}

void WriteLine(RunConsole& console, std::string line) {
  line += '\n';
  console.Write(line.data(), line.size());
}

// A dry run writes a job file: the Mirrored folders' mkdir lines first, so that they can run
// before any command, then each command line, shell-quoted, or a comment for an entry the run
// would pass over. The program is resolved as the run itself resolves it, so that a dry run
// fails where the run would.
JobOptions DryRunOptions(const Settings& settings, const RunOptions& options,
                         const std::string& program, RunConsole& console, RunReport& report,
                         ProgressLine& progress, RunLedger& ledger) {
  ListingWalk(
      settings, WalkOptions(options), console, [](auto&, auto&) {},
      [&console](const std::string& folder) { WriteLine(console, MakeFolderLine(folder)); });
  const bool found = FindProgram(program).has_value();
  const int resolve_error = found ? 0 : errno;
  JobOptions job_options = WalkOptions(options);
  job_options.dry_run = [&, found, resolve_error](const std::string& full_path,
                                                  const std::string& destination) {
    const std::string command = ledger.CommandText(full_path, destination);
    if (const std::string reason = ledger.SkipReason(full_path, destination); !reason.empty())
      return WriteLine(console, SkippedLine(reason, command));
    WriteLine(console, command);
    report.CommandEnded(CommandOutcome{found, resolve_error, 0});
    progress.Show(report.Commands(), report.Failed(), NowMs());
  };
  return job_options;
}

// The run's exit status; a summary of what went wrong unless it succeeded.
int ExitStatus(RunConsole& console, RunReport& report, const RunLedger& ledger) {
  const int signal = console.SignalReceived();
  const int status = signal != 0                                  ? kExitSignalBase + signal
                     : console.OutputError() != 0                 ? kExitOutputLost
                     : report.AnyFailure() || ledger.AnyProblem() ? kExitFailed
                                                                  : kExitSucceeded;
  if (status != kExitSucceeded) {
    const std::string summary = report.Summary(signal, console.OutputError());
    if (!summary.empty()) report.Tell(summary);
  }
  return status;
}

int RunFromSettings(const RunOptions& options, const Settings& settings) {
  const int jobs = options.jobs == 0 ? ProcessorCount() : options.jobs;
  // The run never makes the destination itself: without it every Mirrored folder would fail.
  struct stat destination {};
  if (!settings.destination.empty() &&
      (stat(settings.destination.c_str(), &destination) != 0 || !S_ISDIR(destination.st_mode))) {
    WriteError("the destination " + settings.destination + " is not a folder");
    return kExitUsage;
  }
  // From here on an ending signal ends the run in order. Several commands at once never read
  // the terminal, so each gets a process group that the signal reaches whole.
  RunConsole console(jobs > 1);
  ProgressLine progress(STDERR_FILENO, options.progress, NowMs());
  const std::string program = BuildCommandLine(settings.command, "", "", "").program;
  RunReport report(program, progress);
  // Our own lines wait for a stalled standard error in the run's wait, never in a write.
  const auto to_error = [&console](const std::string& text) {
    console.WriteError(text.data(), text.size());
  };
  progress.sink = to_error;
  report.sink = to_error;
  RunLedger ledger(settings, console,
                   LedgerOptions{options.creates, options.joblog, options.resume,
                                 options.retry_failed, options.tag},
                   [&report](const std::string& line) { report.Tell(line); });
  if (const std::string error = ledger.Open(!options.dry_run); !error.empty()) {
    WriteError(error);
    return kExitUsage;
  }

  if (progress.Active()) {
    std::size_t total = 0;
    ListingWalk(settings, WalkOptions(options), console,
                [&](const std::string& full_path, const std::string& destination) {
                  if (ledger.SkipReason(full_path, destination).empty()) ++total;
                });
    progress.SetTotal(total);
    progress.Show(0, 0, NowMs());
  }
  // The line comes off the terminal whenever bytes go there; with one command at a time it
  // stays off while the command runs, as the command writes to the terminal itself.
  if (isatty(STDOUT_FILENO) == 1) console.before_write = [&progress] { progress.Hide(); };
  bool command_running = false;

  JobHooks hooks(&console, [&] {
    if (jobs > 1 || !command_running) progress.Show(report.Commands(), report.Failed(), NowMs());
  });
  hooks.jobs = jobs;
  hooks.folder_unlisted = [&report](const std::string& folder, int error) {
    report.FolderUnlisted(folder, error);
  };
  hooks.folder_not_made = [&report](const std::string& folder, int error) {
    report.FolderNotMade(folder, error);
  };
  hooks.command_starting = [&](const std::string& full_path, const std::vector<std::string>& argv) {
    command_running = true;
    if (jobs == 1) progress.Hide();
    ledger.Starting(full_path, argv);
  };
  hooks.output_starting = [&ledger](const std::string& full_path) {
    ledger.OutputStarting(full_path);
  };
  hooks.command_ended = [&](const std::string& full_path, const CommandOutcome& outcome) {
    command_running = false;
    ledger.Ended(full_path, outcome);
    report.CommandEnded(outcome);
    progress.Show(report.Commands(), report.Failed(), NowMs());
  };
  hooks.keep_going = [&] {
    return console.Standing() && !(options.fail_fast && report.Failed() > 0);
  };
  hooks.ending_signal = [&console](ConsoleState) { return console.EndingSignal(); };
  hooks.error_output = [&progress, &console](const char* data, std::size_t length) {
    progress.Hide();
    console.WriteError(data, length);
  };

  JobOptions run_options = WalkOptions(options);
  run_options.wanted = [&ledger](const std::string& full_path, const std::string& destination) {
    if (!ledger.SkipReason(full_path, destination).empty()) return false;
    ledger.Preparing(full_path, destination);
    return true;
  };
  RunJob(settings, hooks,
         options.dry_run
             ? DryRunOptions(settings, options, program, console, report, progress, ledger)
             : run_options);
  progress.Hide();
  console.Drain();
  const int status = ExitStatus(console, report, ledger);
  console.Drain();
  return status;
}

int Run(int argc, char** argv) {
  const ParsedRunOptions parsed = ParseRunOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.error.empty()) {
    WriteError(parsed.error);
    return kExitUsage;
  }
  const RunOptions& options = parsed.options;
  if (options.help) {
    std::fputs(RunUsage().c_str(), stdout);
    return std::fflush(stdout) == 0 ? kExitSucceeded : kExitOutputLost;
  }
  if (options.list_options) {
    std::fputs(RunOptionList().c_str(), stdout);
    return std::fflush(stdout) == 0 ? kExitSucceeded : kExitOutputLost;
  }
  if (options.version) {
    std::printf("wendrix-run %s\n", WENDRIX_VERSION);
    return std::fflush(stdout) == 0 ? kExitSucceeded : kExitOutputLost;
  }

  Settings settings;  // a new window's values
  if (options.settings_file) {
    SettingsInput input = ReadSettingsInput(*options.settings_file);
    if (!input.settings) {
      WriteError(input.error);
      return kExitUsage;
    }
    settings = *input.settings;
  }
  settings = ApplyRunOptions(options, settings);

  if (options.save_file) {
    if (HoldsLineBreak(settings)) {
      WriteError("cannot save a value that holds a line break");
      return kExitUsage;
    }
    if (!SaveSettingsFile(*options.save_file, settings)) {
      WriteError("cannot write the settings file " + *options.save_file);
      return kExitUsage;
    }
    return kExitSucceeded;
  }
  // Without a window no folder is meant by default: the program's own would be /usr/bin.
  if (settings.path.empty()) {
    WriteError("no folder to walk: name it with --path");
    return kExitUsage;
  }
  return RunFromSettings(options, settings);
}

}  // namespace
}  // namespace wendrix

int main(int argc, char** argv) { return wendrix::Run(argc, argv); }
