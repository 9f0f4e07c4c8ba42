// What a job run is handed besides the Settings: where the children's output goes, what to call
// while waiting, and what the batch front end wants to hear about. The window sets only the
// first two.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "services/console.h"

namespace wendrix {

// What became of one entry's command.
struct CommandOutcome {
  bool started = false;  // false: the program could not be started
  int start_error = 0;   // errno of the failed start
  int wait_status = 0;   // as waitpid reports it, once the command has ended
};

struct JobHooks {
  JobHooks(Console* console_in = nullptr, std::function<void()> idle_in = {})
      : console(console_in), idle(std::move(idle_in)) {}

  Console* console;            // where the children's output goes; required
  std::function<void()> idle;  // called at least every 50 ms while a child runs

  // The rest serves wendrix-run; the window leaves it as it is.

  // Commands running at once. Above 1, each command's standard output and error are held and
  // written whole when it ends, in walk order, and its standard input is /dev/null.
  int jobs = 1;
  // A folder of the walk that could not be listed, with the errno of the failure; it is skipped
  // together with everything below it.
  std::function<void(const std::string& folder_path, int error)> folder_unlisted;
  // A Mirrored folder that could not be made (not for one that exists already), with the errno;
  // the walk goes on below it.
  std::function<void(const std::string& folder_path, int error)> folder_not_made;
  // Just before an entry's command is started: the entry's full path and the argument vector
  // about to run (the program as given, then the expanded parameters' words).
  std::function<void(const std::string& full_path, const std::vector<std::string>& argv)>
      command_starting;
  // Once per command, just before the first byte of its standard output reaches the console:
  // in walk order, also when output is held; never for a command that wrote nothing.
  std::function<void(const std::string& full_path)> output_starting;
  // Every processed entry's command once it has ended or failed to start, as soon as that is
  // known: with several at once in the order they end, not in walk order (their output still
  // comes in walk order).
  std::function<void(const std::string& full_path, const CommandOutcome& outcome)> command_ended;
  // Asked before each new command and before each folder: false starts no more, lets the running
  // ones end and ends the walk.
  std::function<bool()> keep_going;
  // The signal the running commands get when the console ends; unset: SIGINT for an
  // interrupt, SIGHUP for a close.
  std::function<int(ConsoleState)> ending_signal;
  // Where held standard error goes (jobs above 1); unset: the program's own standard error.
  std::function<void(const char* data, std::size_t length)> error_output;
};

}  // namespace wendrix
