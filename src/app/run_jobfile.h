// Command lines as a shell reads them: what --dry-run prints, and what --joblog records. The
// dry run's output is a job file that GNU parallel and other runners of command-line files take
// as it is, one command per line.
#pragma once

#include <string>
#include <string_view>

#include "engine/command_line.h"

namespace wendrix {

// The program and its arguments, each quoted, separated by blanks.
std::string ShellCommand(const CommandLine& line);

// The line that creates a Mirrored folder, with its parents, as the run would.
std::string MakeFolderLine(std::string_view folder_path);

// The line that stands for an entry the run would pass over: a comment, so that a runner that
// takes it runs nothing; it still tells why and what.
std::string SkippedLine(std::string_view reason, std::string_view command);

}  // namespace wendrix
