// The terminal emulators the console can open, and starting one of them.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace wendrix {

// How one terminal emulator is started: program (looked up in PATH when it has no "/") and the
// arguments that come before the command it runs; the relay's path and the socket's path follow
// as two more arguments.
struct TerminalLauncher {
  std::string program;
  std::vector<std::string> leading_args;
};

// The emulators tried in order, from x-terminal-emulator to foot. When the environment variable
// WENDRIX_TERMINAL is set, its words (split at blanks) are the only launcher: a seam for the
// end-to-end tests of the real program, which play the terminal with a pseudo-terminal.
std::vector<TerminalLauncher> DefaultTerminalLaunchers();

// Starts the emulator running relay with socket_path, in a session of its own and with nothing
// of ours but /dev/null on its standard streams: a descriptor it inherited could keep a pipe of
// whoever started us open for as long as the window stands. The pid, or -1 when the emulator
// is not installed or cannot be started.
pid_t StartTerminalLauncher(const TerminalLauncher& launcher, const std::string& relay,
                            const std::string& socket_path);

}  // namespace wendrix
