#include "run_jobfile.h"

namespace wendrix {

std::string ShellQuote(std::string_view word) {
  if (word.find('\n') != std::string_view::npos) {
    std::string quoted = "$'";
    for (char c : word) {
      if (c == '\n') {
        quoted += "\\n";
      } else {
        if (c == '\\' || c == '\'') quoted += '\\';
        quoted += c;
      }
    }
    return quoted + "'";
  }
  std::string quoted = "'";
  for (char c : word) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  return quoted + "'";
}

std::string ShellCommand(const CommandLine& line) {
  std::string text = ShellQuote(line.program);
  for (const std::string& arg : line.args) text += ' ' + ShellQuote(arg);
  return text;
}

std::string MakeFolderLine(std::string_view folder_path) {
  return "mkdir -p -- " + ShellQuote(folder_path);
}

std::string SkippedLine(std::string_view reason, std::string_view command) {
  return "# " + std::string(reason) + ": " + std::string(command);
}

}  // namespace wendrix
