#include "services/terminal_launchers.h"

#include <cstdlib>
#include <optional>
#include <sstream>

#include "services/spawn.h"

namespace wendrix {

std::vector<TerminalLauncher> DefaultTerminalLaunchers() {
  if (const char* forced = std::getenv("WENDRIX_TERMINAL"); forced && forced[0] != '\0') {
    std::istringstream words(forced);
    TerminalLauncher launcher;
    words >> launcher.program;
    for (std::string word; words >> word;) launcher.leading_args.push_back(word);
    return {launcher};
  }
  // Each takes the command its own way: "-e" or "-x" with the rest of the line, "--" before it,
  // or the program right after the options. tilix's "-e" and lxterminal's "-e" end up as one
  // string that the emulator splits as a shell would, so both paths go quoted in one word.
  return {
      {"x-terminal-emulator", {"-e"}},
      {"xterm", {"-e"}},
      {"gnome-terminal", {"--"}},
      {"konsole", {"-e"}},
      {"xfce4-terminal", {"-x"}},
      {"kitty", {}},
      {"alacritty", {"-e"}},
      {"foot", {}},
      {"ptyxis", {"--"}},
      {"kgx", {"--"}},
      {"tilix", {"-e"}, true},
      {"terminator", {"-x"}},
      {"lxterminal", {"-e"}, true},
      {"mate-terminal", {"-x"}},
      {"qterminal", {"-e"}},
      {"wezterm", {"start", "--"}},
  };
}

std::string NoConsoleWindowText(const std::vector<TerminalLauncher>& launchers) {
  std::string tried;
  for (const TerminalLauncher& launcher : launchers)
    tried += (tried.empty() ? "" : ", ") + launcher.program;
  // xterm is the one named: it starts anywhere with no setting and no font of its own.
  return "Could not open a console window; the commands' output is lost.\n"
         "Terminals tried: " +
         tried +
         ".\n"
         "Install xterm (sudo apt install xterm), or set WENDRIX_TERMINAL to the command that "
         "opens your terminal with a program, such as \"xterm -e\".";
}

std::string ShellQuote(std::string_view word, QuoteBreaks breaks) {
  if (breaks == QuoteBreaks::kOneLine && word.find('\n') != std::string_view::npos) {
    std::string quoted = "$'";
    for (char c : word) {
      if (c == '\\' || c == '\'') quoted += '\\';
      quoted += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return quoted + "'";
  }
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::vector<std::string> TerminalLaunchArguments(const TerminalLauncher& launcher,
                                                 const std::string& relay,
                                                 const std::string& socket_path) {
  std::vector<std::string> argv{launcher.program};
  argv.insert(argv.end(), launcher.leading_args.begin(), launcher.leading_args.end());
  if (launcher.command_as_one_word) {
    argv.push_back(ShellQuote(relay) + " " + ShellQuote(socket_path));
  } else {
    argv.push_back(relay);
    argv.push_back(socket_path);
  }
  return argv;
}

pid_t StartTerminalLauncher(const TerminalLauncher& launcher, const std::string& relay,
                            const std::string& socket_path) {
  std::optional<std::string> program = FindProgram(launcher.program);
  if (!program) return -1;
  SpawnRequest request;
  request.argv = TerminalLaunchArguments(launcher, relay, socket_path);
  request.argv[0] = *program;
  request.path = std::move(*program);
  request.new_session = true;
  request.null_streams = true;
  return Spawn(request);
}

}  // namespace wendrix
