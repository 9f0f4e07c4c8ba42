// Plays the program around a TerminalConsole for the tests that need a whole process (its own
// terminal as controlling terminal, signals):
//   wendrix-test-console-driver RESULT ROOT SEARCH COMMAND PARAMETERS
// Runs one job run, appends "run: finished" or "run: console-ended" to RESULT, then watches the
// console while idle as the window does and appends "idle: interrupted" or "idle: closed" once
// it ends (gives up after 60 s).
#include <poll.h>

#include <fstream>
#include <string>
#include <vector>

#include "engine/job_run.h"
#include "services/terminal_console.h"

int main(int argc, char** argv) {
  if (argc != 6) return 2;
  auto append = [&](const char* line) { std::ofstream(argv[1], std::ios::app) << line << "\n"; };
  wendrix::TerminalConsoleOptions options;
  options.launchers.clear();  // the console is this process's own terminal or nothing
  wendrix::TerminalConsole console(options);
  wendrix::Settings settings;
  settings.path = argv[2];
  settings.search_text = argv[3];
  settings.command = argv[4];
  settings.parameters = argv[5];
  wendrix::JobHooks hooks;
  hooks.console = &console;
  if (wendrix::RunJob(settings, hooks) != wendrix::JobOutcome::kFinished) {
    append("run: console-ended");
    return 0;
  }
  append("run: finished");
  for (int round = 0; round < 240; ++round) {
    std::vector<pollfd> fds;
    for (int fd : console.IdleWatchDescriptors()) fds.push_back({fd, POLLIN, 0});
    poll(fds.data(), fds.size(), 250);
    const wendrix::ConsoleState state = console.CheckIdle();
    if (state != wendrix::ConsoleState::kOpen) {
      append(state == wendrix::ConsoleState::kClosed ? "idle: closed" : "idle: interrupted");
      return 0;
    }
  }
  append("idle: still open");
  return 1;
}
