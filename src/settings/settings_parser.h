// The settings file's text, without any file: parsing it into entries, the lookups and value
// conversions of a read, and composing the text that is written. Kept free of I/O so that the
// reader can be fuzzed and tested on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace wendrix::detail {

enum class EntryKind { kKey, kGroup, kComment };

// One meaningful line. For an opened file key and text point into the file's content.
struct SettingsEntry {
  EntryKind kind = EntryKind::kKey;
  std::string_view key;   // key entries only
  std::string_view text;  // the value, the group name or the comment text
};

struct ParsedSettings {
  bool utf8 = false;  // the content began with a UTF-8 byte-order mark
  std::vector<SettingsEntry> entries;
};

// Splits content into entries. Accepts any bytes: a NUL byte is an ordinary byte of its line, so
// it neither ends a line nor cuts a key short, and the entries are written back whole. Only a
// read of the value stops at it (ValueText).
ParsedSettings ParseSettings(std::string_view content);

// Keys compare with ASCII letters folded and every other byte exact.
bool KeysEqual(std::string_view a, std::string_view b);

// Index of the first key entry named key before the first group header, or npos.
inline constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);
std::size_t FindTopLevelKey(const std::vector<SettingsEntry>& entries, std::string_view key);

// Index where a new key entry goes: before the first group header, else at the end.
std::size_t TopLevelEnd(const std::vector<SettingsEntry>& entries);

// Spaces and tabs cut from both ends.
std::string_view TrimBlanks(std::string_view text);

// For a system whose narrow encoding is single-byte: a UTF-8 text reduced to single bytes (code
// points up to U+00FF keep their value, others become "?", malformed bytes are dropped), and a
// single-byte text raised to UTF-8 (bytes 0x80..0xFF as U+0080..U+00FF).
std::string Utf8ToSingleByte(std::string_view text);
std::string SingleByteToUtf8(std::string_view text);

// The text a read returns for a raw value: up to its first NUL byte, trimmed, and in a UTF-8 file
// on a single-byte system converted between the two trims.
std::string ValueText(std::string_view raw, bool utf8_file, bool narrow_is_utf8);

// Leading white space, an optional sign, decimal digits up to the first other byte; 0 when the
// text does not begin with a number. Saturates instead of wrapping, so that a long run of digits
// never turns into 0 or into the opposite sign.
std::int32_t ParseInteger(std::string_view text);

// The key or value cannot be written so that it reads back as the same entry (a line break or a
// NUL in either, an "=" in the key, a key that is empty, starts like a comment or group header, or
// has blanks at either end).
bool EntryWritable(std::string_view key, std::string_view value);

// The file's text: one line per entry, each ended by CR LF.
std::string ComposeSettings(const std::vector<SettingsEntry>& entries);

}  // namespace wendrix::detail
