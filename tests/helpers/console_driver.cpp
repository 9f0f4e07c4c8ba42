// Plays the program around a TerminalConsole for the tests that need a whole process with its
// own terminal as controlling terminal:
//   wendrix-test-console-driver RESULT ROOT COMMAND PARAMETERS
// Runs one job run on ROOT's .txt files and writes "finished" or "console-ended" to RESULT.
#include <fstream>

#include "engine/job_run.h"
#include "services/terminal_console.h"

int main(int argc, char** argv) {
  if (argc != 5) return 2;
  wendrix::TerminalConsoleOptions options;
  options.launchers.clear();  // its own terminal or nothing
  wendrix::TerminalConsole console(options);
  wendrix::JobHooks hooks{&console, {}};
  const wendrix::Settings settings{argv[2], "*.txt", 1, 0, "", argv[3], argv[4]};
  const bool finished = RunJob(settings, hooks) == wendrix::JobOutcome::kFinished;
  std::ofstream(argv[1]) << (finished ? "finished" : "console-ended");
  return 0;
}
