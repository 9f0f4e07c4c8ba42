// Feeds arbitrary bytes to the settings reader: every lookup and conversion a read makes must
// hold up, and writing the entries back must read as the same entries.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "settings/settings_parser.h"

namespace {

using namespace wendrix::detail;

constexpr std::string_view kKeys[] = {
    "StringPath",        "StringSearchText", "CheckboxProcessFiles", "CheckboxProcessFolders",
    "StringDestination", "StringCommand",    "StringParameters",
};

bool SameEntries(const ParsedSettings& a, const ParsedSettings& b) {
  if (a.entries.size() != b.entries.size()) return false;
  for (std::size_t i = 0; i < a.entries.size(); ++i) {
    const SettingsEntry& x = a.entries[i];
    const SettingsEntry& y = b.entries[i];
    if (x.kind != y.kind || x.key != y.key || x.text != y.text) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string content(reinterpret_cast<const char*>(data), size);
  const ParsedSettings parsed = ParseSettings(content);

  for (std::string_view key : kKeys) {
    const std::size_t index = FindTopLevelKey(parsed.entries, key);
    if (index == kNotFound) continue;
    if (index >= TopLevelEnd(parsed.entries)) __builtin_trap();
    const std::string_view raw = parsed.entries[index].text;
    ParseInteger(ValueText(raw, parsed.utf8, true));
    const std::string narrow = ValueText(raw, true, false);
    if (narrow.size() > raw.size()) __builtin_trap();
  }
  if (Utf8ToSingleByte(content).size() > content.size()) __builtin_trap();
  if (Utf8ToSingleByte(SingleByteToUtf8(content)) != content) __builtin_trap();

  // What is written reads back as the same entries. A first key that itself starts with a
  // byte-order mark is the one exception: written at the top it would read as a mark.
  const std::string composed = ComposeSettings(parsed.entries);
  if (composed.compare(0, 3, "\xEF\xBB\xBF") != 0) {
    const ParsedSettings again = ParseSettings(composed);
    if (!SameEntries(parsed, again) || ComposeSettings(again.entries) != composed) __builtin_trap();
  }
  return 0;
}
