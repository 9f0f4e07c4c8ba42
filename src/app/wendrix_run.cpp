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

// The entries the run will process, by a walk that only lists; stops early when the run is
// asked to end.
std::size_t CountEntries(const Settings& settings, RunConsole& console) {
  std::size_t total = 0;
  JobHooks counting(nullptr);
  counting.keep_going = [&console] { return console.Standing(); };
  JobOptions options;
  options.dry_run = [&total](const std::string&, const std::string&) { ++total; };
  RunJob(settings, counting, options);
  return total;
}

// A dry run prints each command line, shell-quoted, instead of running it. The program is
// resolved as the run itself resolves it, so that a dry run fails where the run would.
JobOptions DryRunOptions(const Settings& settings, const std::string& program, RunConsole& console,
                         RunReport& report, ProgressLine& progress) {
  const bool found = FindProgram(program).has_value();
  const int resolve_error = found ? 0 : errno;
  JobOptions job_options;
  job_options.dry_run = [&settings, &console, &report, &progress, found, resolve_error](
                            const std::string& full_path, const std::string& destination) {
    const CommandLine line =
        BuildCommandLine(settings.command, settings.parameters, full_path, destination);
    std::string text = ShellQuote(line.program);
    for (const std::string& arg : line.args) text += ' ' + ShellQuote(arg);
    text += '\n';
    console.Write(text.data(), text.size());
    report.CommandEnded(CommandOutcome{found, resolve_error, 0});
    progress.Show(report.Commands(), report.Failed(), NowMs());
  };
  return job_options;
}

// The run's exit status; a summary of what went wrong unless it succeeded.
int ExitStatus(RunConsole& console, RunReport& report) {
  const int signal = console.SignalReceived();
  const int status = signal != 0                  ? kExitSignalBase + signal
                     : console.OutputError() != 0 ? kExitOutputLost
                     : report.AnyFailure()        ? kExitFailed
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

  if (progress.Active()) {
    progress.SetTotal(CountEntries(settings, console));
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
  hooks.command_starting = [&](const std::string&, const std::vector<std::string>&) {
    command_running = true;
    if (jobs == 1) progress.Hide();
  };
  hooks.command_ended = [&](const std::string&, const CommandOutcome& outcome) {
    command_running = false;
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

  RunJob(
      settings, hooks,
      options.dry_run ? DryRunOptions(settings, program, console, report, progress) : JobOptions{});
  progress.Hide();
  console.Drain();
  const int status = ExitStatus(console, report);
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
