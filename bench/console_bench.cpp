// The console in a real terminal emulator (run it under an X server, see run_console_bench.sh):
//   console_bench RELAY TERMINAL [ROUNDS]
// 1. How long ConsoleOpen takes until the console is ready, with TERMINAL started for the relay.
// 2. 10 MiB of a command's output copied into the console by a job run, against the same
//    command writing straight to that terminal; both until the terminal has taken every byte.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/job_run.h"
#include "services/program_runner.h"
#include "services/terminal_console.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void Drain(wendrix::TerminalConsole& console) {
  while (console.Pending() > 0 && console.CheckIdle() == wendrix::ConsoleState::kOpen) {
    std::vector<pollfd> fds;
    console.AddWaitDescriptors(fds);
    poll(fds.data(), fds.size(), 100);
  }
}

// The peer: cat writing the file straight to the terminal.
double Straight(const std::string& file, int terminal) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, terminal, 1);
  const char* argv[] = {"cat", file.c_str(), nullptr};
  const auto start = Clock::now();
  pid_t pid;
  posix_spawnp(&pid, "cat", &actions, nullptr, const_cast<char**>(argv), environ);
  waitpid(pid, nullptr, 0);
  const auto end = Clock::now();
  posix_spawn_file_actions_destroy(&actions);
  return Ms(end - start);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: console_bench RELAY TERMINAL [ROUNDS]\n");
    return 2;
  }
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
  wendrix::TerminalConsoleOptions options;
  options.relay_path = argv[1];
  options.launchers = {{argv[2], {"-e"}}};
  options.own_output = -1;

  std::vector<double> open_ms;
  for (int i = 0; i < rounds; ++i) {
    wendrix::TerminalConsole console(options);
    const auto start = Clock::now();
    console.Open();
    const auto end = Clock::now();
    if (console.mode() != wendrix::TerminalConsole::Mode::kRelay) {
      std::fprintf(stderr, "console_bench: %s did not run the relay\n", argv[2]);
      return 1;
    }
    open_ms.push_back(Ms(end - start));
  }
  std::printf("ConsoleOpen until ready (%s): median %.1f ms, min %.1f ms, max %.1f ms\n", argv[2],
              Median(open_ms), *std::min_element(open_ms.begin(), open_ms.end()),
              *std::max_element(open_ms.begin(), open_ms.end()));

  // 10 MiB of printable lines, as a command's output usually is.
  char folder_pattern[] = "/tmp/wendrix-console-bench-XXXXXX";
  if (mkdtemp(folder_pattern) == nullptr) return 1;
  const std::string folder = std::string(folder_pattern) + "/";
  const std::string file = folder + "output.txt";
  {
    std::string line;
    for (int i = 0; i < 79; ++i) line += static_cast<char>('!' + i % 94);
    line += '\n';
    FILE* out = std::fopen(file.c_str(), "wb");
    for (std::size_t written = 0; written < (10u << 20); written += line.size())
      std::fwrite(line.data(), 1, line.size(), out);
    std::fclose(out);
  }

  wendrix::TerminalConsole console(options);
  console.Open();
  wendrix::Settings settings;
  settings.path = folder;
  settings.search_text = "output.txt";
  settings.command = "cat";
  settings.parameters = "%f";
  std::vector<double> ours, straight;
  for (int i = 0; i < rounds; ++i) {
    wendrix::JobHooks hooks;
    hooks.console = &console;
    const auto start = Clock::now();
    if (wendrix::RunJob(settings, hooks) != wendrix::JobOutcome::kFinished) return 1;
    Drain(console);
    ours.push_back(Ms(Clock::now() - start));
    straight.push_back(Straight(file, console.ChildStreams().error));
  }
  const double ours_ms = Median(ours), straight_ms = Median(straight);
  std::printf(
      "10 MiB into the console: job run %.0f ms, cat straight to the terminal %.0f ms, "
      "ratio %.2f (medians of %d)\n",
      ours_ms, straight_ms, ours_ms / straight_ms, rounds);
  std::remove(file.c_str());
  rmdir(folder.c_str());
  return 0;
}
