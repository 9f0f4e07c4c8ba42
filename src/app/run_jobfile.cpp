#include "run_jobfile.h"

#include "services/terminal_launchers.h"

namespace wendrix {

std::string ShellCommand(const CommandLine& line) {
  std::string text = ShellQuote(line.program, QuoteBreaks::kOneLine);
  for (const std::string& arg : line.args) text += ' ' + ShellQuote(arg, QuoteBreaks::kOneLine);
  return text;
}

std::string MakeFolderLine(std::string_view folder_path) {
  return "mkdir -p -- " + ShellQuote(folder_path, QuoteBreaks::kOneLine);
}

std::string SkippedLine(std::string_view reason, std::string_view command) {
  return "# " + std::string(reason) + ": " + std::string(command);
}

}  // namespace wendrix
