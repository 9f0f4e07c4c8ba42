#include "run_options.h"

#include <algorithm>
#include <string_view>

#include "engine/placeholders.h"

namespace wendrix {
namespace {

using Taken = std::string;  // an error, or "" when the option was taken

// A value option that sets one optional text.
template <auto kField>
Taken SetText(RunOptions& options, const std::string& value) {
  options.*kField = value;
  return "";
}

template <auto kField, int kState>
Taken SetState(RunOptions& options, const std::string&) {
  options.*kField = kState;
  return "";
}

template <auto kField>
Taken SetFlag(RunOptions& options, const std::string&) {
  options.*kField = true;
  return "";
}

bool IsCount(const std::string& value) {
  return !value.empty() && value.size() <= 6 &&
         std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
}

Taken SetJobs(RunOptions& options, const std::string& value) {
  if (!IsCount(value)) return "-j/--jobs needs a number of commands, 0 or more";
  options.jobs = std::stoi(value);
  return "";
}

Taken AddExclusion(RunOptions& options, const std::string& value) {
  options.exclusions.push_back(value);
  return "";
}

Taken SetMaxDepth(RunOptions& options, const std::string& value) {
  if (!IsCount(value)) return "--max-depth needs a number of levels, 0 or more";
  options.max_depth = std::stoi(value);
  return "";
}

Taken SetSave(RunOptions& options, const std::string& value) {
  if (value.empty()) return "--save needs the name of a file";
  options.save_file = value;
  return "";
}

// In the order of --help. Two neighbours whose entries are short share a line there, so short
// texts keep the help on one screen.
constexpr RunOption kTable[] = {
    {"--path", nullptr, "DIR", "folder whose tree is walked", SetText<&RunOptions::path>},
    {"--search", nullptr, "PATTERN", "name or wildcard pattern to find (empty: everything)",
     SetText<&RunOptions::search_text>},
    {"--command", nullptr, "PROGRAM", "program started for each entry (%APPDIR%: its folder)",
     SetText<&RunOptions::command>},
    {"--parameters", nullptr, "TEMPLATE", "its arguments, the placeholders below replaced",
     SetText<&RunOptions::parameters>},
    {"--destination", nullptr, "DIR", "recreate the folder tree below DIR first",
     SetText<&RunOptions::destination>},
    {"--files", nullptr, nullptr, "process files (the default) or not",
     SetState<&RunOptions::process_files, 1>},
    {"--no-files", nullptr, nullptr, nullptr, SetState<&RunOptions::process_files, 0>},
    {"--folders", nullptr, nullptr, "process folders or not (the default)",
     SetState<&RunOptions::process_folders, 1>},
    {"--no-folders", nullptr, nullptr, nullptr, SetState<&RunOptions::process_folders, 0>},
    {"--jobs", "-j", "N", "N commands at once, output in walk order (0: per CPU)", SetJobs},
    {"--exclude", nullptr, "PATTERN", "leave out names that match; repeatable",
     AddExclusion},
    {"--max-depth", nullptr, "N", "how deep to go (0: the path's own entries only)", SetMaxDepth},
    {"--creates", nullptr, "TEMPLATE", "pass over an entry whose file is not older",
     SetText<&RunOptions::creates>},
    {"--joblog", nullptr, "FILE", "one line per command", SetText<&RunOptions::joblog>},
    {"--resume", nullptr, nullptr, "skip what FILE has done", SetFlag<&RunOptions::resume>},
    {"--retry-failed", nullptr, nullptr, "redo what failed", SetFlag<&RunOptions::retry_failed>},
    {"--tag", nullptr, nullptr, "name each output", SetFlag<&RunOptions::tag>},
    {"--fail-fast", nullptr, nullptr, "stop after a failure", SetFlag<&RunOptions::fail_fast>},
    {"--progress", nullptr, nullptr, "progress line on a tty", SetFlag<&RunOptions::progress>},
    {"--dry-run", nullptr, nullptr, "print the commands", SetFlag<&RunOptions::dry_run>},
    {"--save", nullptr, "FILE", "write settings, run none", SetSave},
    {"--help", "-h", nullptr, "show this help", SetFlag<&RunOptions::help>},
    {"--version", nullptr, nullptr, "show the version", SetFlag<&RunOptions::version>},
};

// Levenshtein distance: the fewest single-byte insertions, deletions and substitutions.
std::size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The unknown option, with the nearest real name when a slip of two keys or fewer reaches it.
std::string UnknownOption(const std::string& arg, const std::string& name) {
  const RunOption* nearest = nullptr;
  std::size_t best = 3;
  for (const RunOption& option : kTable) {
    if (const std::size_t d = EditDistance(name, option.name); d < best) {
      best = d;
      nearest = &option;
    }
  }
  std::string error = "unknown option " + arg;
  if (nearest != nullptr) error += ", did you mean " + std::string(nearest->name) + "?";
  return error;
}

// The option named by args[i], as NAME VALUE, --NAME=VALUE or a short name with the value
// joined (-j4): taken, and i moved past its value. An error, or "".
Taken TakeOption(const std::vector<std::string>& args, std::size_t& i, RunOptions& options) {
  const std::string& arg = args[i];
  std::string name = arg;
  std::optional<std::string> value;
  if (const std::size_t equals = arg.find('='); arg.starts_with("--") && equals != arg.npos) {
    name = arg.substr(0, equals);
    value = arg.substr(equals + 1);
  } else if (!arg.starts_with("--") && arg.size() > 2) {
    name = arg.substr(0, 2);
    value = arg.substr(2);
  }
  if (name == "--list-options") {
    options.list_options = true;
    return "";
  }
  const RunOption* option = std::find_if(std::begin(kTable), std::end(kTable), [&](auto& o) {
    return name == o.name || (o.short_name != nullptr && name == o.short_name);
  });
  if (option == std::end(kTable) || (value && !option->value && !arg.starts_with("--")))
    return UnknownOption(arg, arg.starts_with("--") ? name : arg);
  if (option->value == nullptr) {
    if (value) return name + " takes no value";
    return option->take(options, "");
  }
  if (!value) {
    if (i + 1 >= args.size()) return arg + " needs a value";
    value = args[++i];
  }
  return option->take(options, *value);
}

// One option's names and value: "-j, --jobs N", "--files, --no-files".
std::vector<std::pair<std::string, const char*>> HelpEntries() {
  std::vector<std::pair<std::string, const char*>> entries;
  for (const RunOption& option : kTable) {
    std::string names = option.short_name ? std::string(option.short_name) + ", " : "";
    names += option.name;
    if (option.value) names += std::string(" ") + option.value;
    if (option.help == nullptr && !entries.empty())
      entries.back().first += ", " + names;
    else
      entries.emplace_back(names, option.help ? option.help : "");
  }
  return entries;
}

// "  NAMES  HELP", the help starting at column (or two blanks after long names).
std::string HelpLine(const std::string& names, const char* help, std::size_t column) {
  std::string line = "  " + names;
  line.append(line.size() + 2 <= column ? column - line.size() : 2, ' ');
  return line + help;
}

}  // namespace

const std::span<const RunOption> kRunOptions(kTable);

bool RunOptions::SetsValues() const {
  return search_text || path || command || parameters || destination || process_files ||
         process_folders;
}

ParsedRunOptions ParseRunOptions(const std::vector<std::string>& args) {
  ParsedRunOptions parsed;
  RunOptions& options = parsed.options;
  auto fail = [&](std::string error) {
    parsed.error = std::move(error) + " (see wendrix-run --help)";
    return parsed;
  };
  bool options_done = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_done || arg == "-" || arg.empty() || arg[0] != '-') {
      if (options.settings_file) return fail("only one settings file can be given");
      options.settings_file = arg;
    } else if (arg == "--") {
      options_done = true;
    } else if (std::string error = TakeOption(args, i, options); !error.empty()) {
      return fail(std::move(error));
    }
  }
  if (!options.help && !options.version && !options.list_options && !options.settings_file &&
      !options.SetsValues())
    return fail("no settings file or value given");
  if ((options.resume || options.retry_failed) && !options.joblog)
    return fail(std::string(options.resume ? "--resume" : "--retry-failed") + " needs --joblog");
  if (options.resume && options.retry_failed)
    return fail("--resume and --retry-failed cannot be given together");
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

std::string RunUsage() {
  std::string text =
      "Usage: wendrix-run [OPTIONS] [SETTINGS_FILE | -]      (-: standard input)\n"
      "Runs a command on every matching entry of a tree; options override the file.\n";
  // Two short entries share a line, the second at column 40.
  constexpr std::size_t kColumn = 24, kHalf = 40;
  const auto entries = HelpEntries();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string half = HelpLine(entries[i].first, entries[i].second, 0);
    const std::string next =
        i + 1 < entries.size() ? HelpLine(entries[i + 1].first, entries[i + 1].second, 0) : "";
    if (half.size() < kHalf && !next.empty() && next.size() < kHalf) {
      text += half + std::string(kHalf - half.size(), ' ') + next.substr(2) + "\n";
      ++i;
    } else {
      text += HelpLine(entries[i].first, entries[i].second, kColumn) + "\n";
    }
  }
  for (std::size_t i = 0; i < std::size(kPlaceholders); ++i) {
    text += i == 0 ? "Placeholders: " : i == 4 ? "\n" : ", ";
    text += std::string{'%', kPlaceholders[i].letter, ' '} + kPlaceholders[i].meaning;
  }
  return text +
         "\nExample: wendrix-run --path ~/photos --search '*.jpg' --destination ~/small \\\n"
         "           --command convert --parameters '\"%f\" -resize 50% \"%d%n.%e\"'\n"
         "Exit: 0 all ended with 0; 1 a command failed or did not start, or a folder was\n"
         "not listed or made; 2 bad arguments or settings; 3 output lost; 128+N signal N\n";
}

std::string RunOptionList() {
  std::string list;
  for (const RunOption& option : kTable) {
    for (const char* name : {option.short_name, option.name}) {
      if (name == nullptr) continue;
      list += name;
      if (option.value) list += std::string("\t") + option.value;
      list += "\n";
    }
  }
  return list;
}

}  // namespace wendrix
