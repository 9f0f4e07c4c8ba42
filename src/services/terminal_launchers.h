// The terminal emulators the console can open, and starting one of them.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace wendrix {

// How one terminal emulator is started: program (looked up in PATH when it has no "/") and the
// arguments that come before the command it runs. The relay's path and the socket's path follow
// as two more arguments, or, for an emulator that reads its command as one string and splits it
// the way a shell does, as one word in which both are quoted.
struct TerminalLauncher {
  std::string program;
  std::vector<std::string> leading_args;
  bool command_as_one_word = false;
};

// The emulators tried in order, from x-terminal-emulator to wezterm. When the environment variable
// WENDRIX_TERMINAL is set, its words (split at blanks: the program and the options before the
// command it runs, such as "xterm -e") are the only launcher; the end-to-end tests of the real
// program play the terminal that way with a pseudo-terminal.
std::vector<TerminalLauncher> DefaultTerminalLaunchers();

// The alert shown when none of launchers opened a window: which were tried, and what to do.
std::string NoConsoleWindowText(const std::vector<TerminalLauncher>& launchers);

// Starts the emulator running relay with socket_path, in a session of its own and with nothing
// of ours but /dev/null on its standard streams: a descriptor it inherited could keep a pipe of
// whoever started us open for as long as the window stands. The pid, or -1 when the emulator
// is not installed or cannot be started.
// The whole argument vector the emulator is started with (argv[0] is launcher.program).
std::vector<std::string> TerminalLaunchArguments(const TerminalLauncher& launcher,
                                                 const std::string& relay,
                                                 const std::string& socket_path);

// word in single quotes, as a POSIX shell reads it back whole. With kOneLine a word holding a
// line break is written $'...' with the break escaped instead, so that one line holds one whole
// command (bash, zsh and ksh read that form; a POSIX sh does not).
enum class QuoteBreaks { kAsTheyAre, kOneLine };
std::string ShellQuote(std::string_view word, QuoteBreaks breaks = QuoteBreaks::kAsTheyAre);

pid_t StartTerminalLauncher(const TerminalLauncher& launcher, const std::string& relay,
                            const std::string& socket_path);

}  // namespace wendrix
