#include "engine/command_line.h"

#include <optional>

#include "services/path_helpers.h"

namespace wendrix {

namespace {

constexpr std::string_view kAppDirMacro = "%APPDIR%";

// The run of backslashes at text[i] put into word: before a quote, each pair gives one backslash
// and an odd one out a quote; anywhere else they stand as they are. Returns where to go on.
std::size_t TakeBackslashes(std::string_view text, std::size_t i, std::string& word) {
  std::size_t run = 0;
  while (i + run < text.size() && text[i + run] == '\\') ++run;
  if (i + run >= text.size() || text[i + run] != '"') {
    word.append(run, '\\');
    return i + run;
  }
  word.append(run / 2, '\\');
  if (run % 2 == 0) return i + run;  // the quote acts, on the next turn
  word += '"';
  return i + run + 1;
}

// Splits text into words; expand(text, pos, value) may claim the bytes at pos as a macro,
// returning how many it takes and setting value. A value is copied into the current word as it
// is: its blanks, quotes and backslashes never split or group anything.
template <typename Expand>
std::vector<std::string> SplitWords(std::string_view text, Expand&& expand) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;  // a quote alone makes a word, even an empty one
  bool in_quotes = false;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (!in_quotes && (c == ' ' || c == '\t')) {
      if (in_word) {
        words.push_back(std::move(word));
        word.clear();
        in_word = false;
      }
      ++i;
      continue;
    }
    if (c == '\\') {
      in_word = true;
      i = TakeBackslashes(text, i, word);
      continue;
    }
    if (c == '"') {
      in_word = true;
      if (in_quotes && i + 1 < text.size() && text[i + 1] == '"') {
        word += '"';
        i += 2;
      } else {
        in_quotes = !in_quotes;
        ++i;
      }
      continue;
    }
    std::string_view value;
    if (std::size_t used = expand(text, i, value); used > 0) {
      // An empty value alone makes no word, as it would have left nothing in a command line.
      if (!value.empty()) in_word = true;
      word.append(value);
      i += used;
      continue;
    }
    word += c;
    in_word = true;
    ++i;
  }
  if (in_word) words.push_back(std::move(word));
  return words;
}

// The parts of one entry's path that the placeholders stand for, each worked out when first
// asked for.
class EntryValues {
 public:
  EntryValues(std::string_view full_path, std::string_view destination_path)
      : full_path_(full_path), destination_path_(destination_path) {}

  // The value of the placeholder letter, or nullopt when the letter is not one.
  std::optional<std::string_view> Value(char letter) {
    switch (letter) {
      case 'f':
        return full_path_;
      case 'p':
        return FolderPart(full_path_);
      case 'n':
        return NamePart(full_path_, true);
      case 'e':
        return ExtensionPart(full_path_);
      case 'h':
        if (!home_) home_ = UserHomeFolder();
        return *home_;
      case 't':
        if (!temp_) temp_ = TempFolder();
        return *temp_;
      case 'd':
        return destination_path_;
      default:
        return std::nullopt;
    }
  }

 private:
  std::string_view full_path_;
  std::string_view destination_path_;
  std::optional<std::string> home_;
  std::optional<std::string> temp_;
};

}  // namespace

CommandLine BuildCommandLine(std::string_view command, std::string_view parameters,
                             std::string_view full_path, std::string_view destination_path) {
  CommandLine line;
  std::optional<std::string> program_folder;
  auto app_dir = [&]() -> std::string_view {
    if (!program_folder) program_folder = ProgramFolder();
    return *program_folder;
  };

  if (!command.empty() && command.front() == '"') {
    std::vector<std::string> words =
        SplitWords(command, [&](std::string_view text, std::size_t pos, std::string_view& value) {
          if (text.substr(pos, kAppDirMacro.size()) != kAppDirMacro) return std::size_t{0};
          value = app_dir();
          return kAppDirMacro.size();
        });
    if (!words.empty()) {
      line.program = std::move(words.front());
      line.args.assign(std::make_move_iterator(words.begin() + 1),
                       std::make_move_iterator(words.end()));
    }
  } else if (command.find(kAppDirMacro) != std::string_view::npos) {
    line.program = ReplaceAll(command, kAppDirMacro, app_dir());
  } else {
    line.program = std::string(command);
  }

  EntryValues values(full_path, destination_path);
  std::vector<std::string> words =
      SplitWords(parameters, [&](std::string_view text, std::size_t pos, std::string_view& value) {
        if (text[pos] != '%' || pos + 1 >= text.size()) return std::size_t{0};
        std::optional<std::string_view> found = values.Value(text[pos + 1]);
        if (!found) return std::size_t{0};
        value = *found;
        return std::size_t{2};
      });
  line.args.insert(line.args.end(), std::make_move_iterator(words.begin()),
                   std::make_move_iterator(words.end()));
  return line;
}

std::string ExpandPlaceholders(std::string_view text, std::string_view full_path,
                               std::string_view destination_path) {
  EntryValues values(full_path, destination_path);
  std::string expanded;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 1 < text.size()) {
      if (std::optional<std::string_view> value = values.Value(text[i + 1])) {
        expanded.append(*value);
        ++i;
        continue;
      }
    }
    expanded += text[i];
  }
  return expanded;
}

}  // namespace wendrix
