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
  return {
      {"x-terminal-emulator", {"-e"}}, {"xterm", {"-e"}},
      {"gnome-terminal", {"--"}},      {"konsole", {"-e"}},
      {"xfce4-terminal", {"-x"}},      {"kitty", {}},
      {"alacritty", {"-e"}},           {"foot", {}},
  };
}

pid_t StartTerminalLauncher(const TerminalLauncher& launcher, const std::string& relay,
                            const std::string& socket_path) {
  std::optional<std::string> program = FindProgram(launcher.program);
  if (!program) return -1;
  SpawnRequest request;
  request.argv.push_back(*program);
  request.argv.insert(request.argv.end(), launcher.leading_args.begin(),
                      launcher.leading_args.end());
  request.argv.push_back(relay);
  request.argv.push_back(socket_path);
  request.path = std::move(*program);
  request.new_session = true;
  request.null_streams = true;
  return Spawn(request);
}

}  // namespace wendrix
