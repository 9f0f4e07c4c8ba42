// Plays the program around a TerminalConsole for the tests that need a whole process with its
// own terminal as controlling terminal:
//   wendrix-test-console-driver RESULT ROOT SEARCH COMMAND PARAMETERS
// Runs one job run and writes "run: finished" or "run: console-ended" to RESULT.
#include <fstream>

#include "engine/job_run.h"
#include "services/terminal_console.h"

int main(int argc, char** argv) {
  if (argc != 6) return 2;
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
  const bool finished = wendrix::RunJob(settings, hooks) == wendrix::JobOutcome::kFinished;
  std::ofstream(argv[1]) << (finished ? "run: finished\n" : "run: console-ended\n");
  return 0;
}
