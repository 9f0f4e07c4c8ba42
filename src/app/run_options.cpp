#include "run_options.h"

#include <algorithm>
#include <string_view>

namespace wendrix {

const char kRunUsage[] =
    "Usage: wendrix-run [OPTIONS] [SETTINGS_FILE | -]\n"
    "Walks the folder tree below a path and runs a command for each matching file or\n"
    "folder, as the settings file (- reads standard input) and the options set it.\n"
    "  --search TEXT          name or wildcard pattern to find (empty: everything)\n"
    "  --path DIR             folder to walk (empty: the program's own folder)\n"
    "  --command PROGRAM      program started for each entry (%APPDIR%: its folder)\n"
    "  --parameters TEMPLATE  its arguments; %f %p %n %e %h %t %d are replaced\n"
    "  --destination DIR      recreate the folder tree below DIR; %d names the copy\n"
    "  --files, --no-files    process files (the default) or not\n"
    "  --folders, --no-folders  process folders or not (the default)\n"
    "  -j, --jobs N           run up to N commands at once (0: one per processor;\n"
    "                         default 1); output held and written in walk order\n"
    "  --fail-fast            start no more commands once one has failed\n"
    "  --progress             show a progress line when standard error is a terminal\n"
    "  --dry-run              print each command line, quoted for the shell, instead\n"
    "  --save FILE            write the resulting settings to FILE and run nothing\n"
    "  -h, --help             show this help        --version  show the version\n"
    "The options set values over the settings file's; without a file the values are\n"
    "those of a new window. Commands' output goes to standard output.\n"
    "Exit status: 0 every command ended with 0; 1 a command failed or could not be\n"
    "started, or a folder could not be listed; 2 bad arguments or settings file;\n"
    "3 the output could not be written. Ended by a signal: 128 + its number, after\n"
    "the running commands have been given the signal and have ended.\n";

bool RunOptions::SetsValues() const {
  return search_text || path || command || parameters || destination || process_files ||
         process_folders;
}

namespace {

bool IsCount(std::string_view text) {
  return !text.empty() && text.size() <= 6 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// An option that takes a value, as NAME VALUE or NAME=VALUE, and -j also as -jN: the value is
// stored and i moved past it. The error, or "" when it was taken.
std::string TakeValuedOption(const std::vector<std::string>& args, std::size_t& i,
                             RunOptions& options) {
  const std::pair<const char*, std::optional<std::string>*> valued[] = {
      {"--search", &options.search_text},
      {"--path", &options.path},
      {"--command", &options.command},
      {"--parameters", &options.parameters},
      {"--destination", &options.destination},
      {"--save", &options.save_file},
      {"--creates", &options.creates},
      {"--joblog", &options.joblog},
      {"--exclude", nullptr},
      {"--max-depth", nullptr},
      {"--jobs", nullptr},
  };
  const std::string& arg = args[i];
  std::string name = arg;
  std::optional<std::string> value;
  if (const std::size_t equals = arg.find('='); arg.starts_with("--") && equals != arg.npos) {
    name = arg.substr(0, equals);
    value = arg.substr(equals + 1);
  } else if (arg.starts_with("-j") && arg.size() > 2) {
    name = "-j";
    value = arg.substr(2);
  }
  if (name == "-j") name = "--jobs";
  const auto option = std::find_if(std::begin(valued), std::end(valued),
                                   [&](const auto& v) { return name == v.first; });
  if (option == std::end(valued)) return "unknown option " + arg;
  if (!value) {
    if (i + 1 >= args.size()) return arg + " needs a value";
    value = args[++i];
  }
  if (option->second != nullptr) {
    *option->second = *value;
  } else if (name == "--exclude") {
    options.exclusions.push_back(*value);
  } else if (name == "--max-depth") {
    if (!IsCount(*value)) return "--max-depth needs a number of levels, 0 or more";
    options.max_depth = std::stoi(*value);
  } else if (IsCount(*value)) {
    options.jobs = std::stoi(*value);
  } else {
    return "-j/--jobs needs a number of commands, 0 or more";
  }
  return "";
}

}  // namespace

ParsedRunOptions ParseRunOptions(const std::vector<std::string>& args) {
  ParsedRunOptions parsed;
  RunOptions& options = parsed.options;
  auto fail = [&](std::string error) {
    parsed.error = std::move(error) + " (see wendrix-run --help)";
    return parsed;
  };
  const std::pair<const char*, bool*> flags[] = {
      {"--help", &options.help},         {"-h", &options.help},
      {"--version", &options.version},   {"--dry-run", &options.dry_run},
      {"--progress", &options.progress}, {"--fail-fast", &options.fail_fast},
      {"--tag", &options.tag},           {"--resume", &options.resume},
      {"--retry-failed", &options.retry_failed},
  };
  const std::pair<const char*, std::pair<std::optional<int>*, int>> switches[] = {
      {"--files", {&options.process_files, 1}},
      {"--no-files", {&options.process_files, 0}},
      {"--folders", {&options.process_folders, 1}},
      {"--no-folders", {&options.process_folders, 0}},
  };

  bool options_done = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_done || arg == "-" || arg.empty() || arg[0] != '-') {
      if (options.settings_file) return fail("only one settings file can be given");
      options.settings_file = arg;
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    const auto flag = std::find_if(std::begin(flags), std::end(flags),
                                   [&](const auto& f) { return arg == f.first; });
    if (flag != std::end(flags)) {
      *flag->second = true;
      continue;
    }
    const auto on_off = std::find_if(std::begin(switches), std::end(switches),
                                     [&](const auto& s) { return arg == s.first; });
    if (on_off != std::end(switches)) {
      *on_off->second.first = on_off->second.second;
      continue;
    }
    if (std::string error = TakeValuedOption(args, i, options); !error.empty())
      return fail(std::move(error));
  }
  if ((options.resume || options.retry_failed) && !options.joblog)
    return fail(std::string(options.resume ? "--resume" : "--retry-failed") + " needs --joblog");
  if (options.resume && options.retry_failed)
    return fail("--resume and --retry-failed cannot be given together");
  if (options.save_file && options.save_file->empty())
    return fail("--save needs the name of a file");
  if (!options.help && !options.version && !options.settings_file && !options.SetsValues())
    return fail("no settings file or value given");
  return parsed;
}

Settings ApplyRunOptions(const RunOptions& options, Settings base) {
  if (options.search_text) base.search_text = *options.search_text;
  if (options.path) base.path = *options.path;
  if (options.command) base.command = *options.command;
  if (options.parameters) base.parameters = *options.parameters;
  if (options.destination) base.destination = *options.destination;
  if (options.process_files) base.process_files = *options.process_files;
  if (options.process_folders) base.process_folders = *options.process_folders;
  return base;
}

}  // namespace wendrix
