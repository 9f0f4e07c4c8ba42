// Turning the command and the parameters template into a program and its argument words.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace wendrix {

struct CommandLine {
  std::string program;            // as it will be started (after %APPDIR%)
  std::vector<std::string> args;  // argv[1..]
};

// The command with %APPDIR% expanded; split into words only when it begins with a double
// quote (its first word is the program, the rest leading arguments). Then the template's
// words, each with its placeholders expanded in one pass for this entry.
//
// Words follow the usual command-line rules of the original platform: white space separates
// words, double quotes group and are removed, "" inside a quoted part is a literal quote, 2n
// backslashes before a quote give n and the quote acts, 2n+1 give n and a literal quote, other
// backslashes are literal.
CommandLine BuildCommandLine(std::string_view command, std::string_view parameters,
                             std::string_view full_path, std::string_view destination_path);

// text with the placeholders expanded for the entry, in the same one pass, as one word: no
// splitting, quotes and backslashes kept. For names the run derives from an entry.
std::string ExpandPlaceholders(std::string_view text, std::string_view full_path,
                               std::string_view destination_path);

}  // namespace wendrix
