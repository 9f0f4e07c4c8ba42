// Plays the program around a TerminalConsole for the tests that need a whole process (its own
// terminal as controlling terminal, signals):
//   wendrix-test-console-driver RESULT ROOT SEARCH COMMAND PARAMETERS
// Runs one job run, appends "run: finished" or "run: console-ended" to RESULT, then watches the
// console while idle as the window does (its descriptors, or every 250 ms) and appends
// "idle: interrupted" or "idle: closed" once it ends (gives up after 60 s).
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "engine/job_run.h"
#include "services/terminal_console.h"

namespace {

void Append(const char* path, const std::string& line) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  const std::string text = line + "\n";
  [[maybe_unused]] ssize_t n = write(fd, text.data(), text.size());
  close(fd);
}

}  // namespace

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
  const wendrix::JobOutcome outcome = wendrix::RunJob(settings, hooks);
  Append(argv[1],
         outcome == wendrix::JobOutcome::kFinished ? "run: finished" : "run: console-ended");
  if (outcome != wendrix::JobOutcome::kFinished) return 0;

  for (int round = 0; round < 240; ++round) {
    std::vector<pollfd> fds;
    for (int fd : console.IdleWatchDescriptors()) fds.push_back({fd, POLLIN, 0});
    poll(fds.data(), fds.size(), 250);
    const wendrix::ConsoleState state = console.CheckIdle();
    if (state != wendrix::ConsoleState::kOpen) {
      Append(argv[1],
             state == wendrix::ConsoleState::kClosed ? "idle: closed" : "idle: interrupted");
      return 0;
    }
  }
  Append(argv[1], "idle: still open");
  return 1;
}
