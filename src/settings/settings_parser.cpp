#include "settings/settings_parser.h"

#include <limits>

#include "services/ascii_fold.h"

namespace wendrix::detail {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

ParsedSettings ParseSettings(std::string_view content) {
  ParsedSettings parsed;
  std::size_t pos = 0;
  if (content.size() >= 3 && content.substr(0, 3) == kByteOrderMark) {
    parsed.utf8 = true;
    pos = 3;
  }
  const std::size_t size = content.size();
  while (pos < size) {
    // A run of CR and LF is one boundary, and blanks before the first character do not count,
    // so empty and blank lines fall away here.
    while (pos < size && (IsLineEnd(content[pos]) || IsBlank(content[pos]))) ++pos;
    if (pos >= size) break;

    std::size_t line_end = pos;
    while (line_end < size && !IsLineEnd(content[line_end])) ++line_end;
    const std::string_view line = content.substr(pos, line_end - pos);
    pos = line_end;

    SettingsEntry entry;
    if (line[0] == ';') {
      entry.kind = EntryKind::kComment;
      entry.text = line.substr(line.size() > 1 && line[1] == ' ' ? 2 : 1);
    } else if (line[0] == '[') {
      entry.kind = EntryKind::kGroup;
      const std::string_view rest = line.substr(1);
      entry.text = rest.substr(0, rest.find(']'));
    } else {
      entry.kind = EntryKind::kKey;
      const std::size_t equals = line.find('=');
      std::string_view key = line.substr(0, equals);
      while (!key.empty() && IsBlank(key.back())) key.remove_suffix(1);
      entry.key = key;
      if (equals == std::string_view::npos) {
        entry.text = line.substr(line.size());
      } else {
        std::size_t value_start = equals + 1;
        while (value_start < line.size() && IsBlank(line[value_start])) ++value_start;
        entry.text = line.substr(value_start);
      }
    }
    parsed.entries.push_back(entry);
  }
  return parsed;
}

bool KeysEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

std::size_t FindTopLevelKey(const std::vector<SettingsEntry>& entries, std::string_view key) {
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].kind == EntryKind::kGroup) break;
    if (entries[i].kind == EntryKind::kKey && KeysEqual(entries[i].key, key)) return i;
  }
  return kNotFound;
}

std::size_t TopLevelEnd(const std::vector<SettingsEntry>& entries) {
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].kind == EntryKind::kGroup) return i;
  }
  return entries.size();
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::string Utf8ToSingleByte(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const std::size_t size = text.size();
  std::size_t i = 0;
  while (i < size) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t more = size - i - 1;  // bytes after the lead
    if (lead < 0x80) {
      out.push_back(static_cast<char>(lead));
      ++i;
    } else if ((lead & 0xE0) == 0xC0 && more >= 1) {
      const auto next = static_cast<unsigned char>(text[i + 1]);
      if (IsContinuation(next)) {
        const unsigned code_point = ((lead & 0x1Fu) << 6) | (next & 0x3Fu);
        out.push_back(code_point < 0x100 ? static_cast<char>(code_point) : '?');
        i += 2;
      } else {
        out.push_back('?');
        ++i;
      }
    } else if (((lead & 0xF0) == 0xE0 && more >= 2) || ((lead & 0xF8) == 0xF0 && more >= 3)) {
      // No single byte holds these code points; the whole sequence stands as one "?".
      const std::size_t max_continuations = (lead & 0xF0) == 0xE0 ? 2 : 3;
      out.push_back('?');
      ++i;
      for (std::size_t n = 0;
           n < max_continuations && i < size && IsContinuation(static_cast<unsigned char>(text[i]));
           ++n) {
        ++i;
      }
    } else {
      // A stray continuation byte, 0xF8..0xFF, or a sequence cut off by the value's end.
      ++i;
    }
  }
  return out;
}

std::string SingleByteToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      out.push_back(c);
    } else {
      out.push_back(static_cast<char>(0xC0 | (byte >> 6)));
      out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
  }
  return out;
}

std::string ValueText(std::string_view raw, bool utf8_file, bool narrow_is_utf8) {
  // Every system call stops at a NUL, so the value does too: what the walk lists, the dry run
  // shows and the command is started with is then one and the same text.
  raw = raw.substr(0, raw.find('\0'));
  if (!utf8_file || narrow_is_utf8) return std::string(TrimBlanks(raw));
  while (!raw.empty() && IsBlank(raw.front())) raw.remove_prefix(1);
  const std::string converted = Utf8ToSingleByte(raw);
  return std::string(TrimBlanks(converted));
}

std::int32_t ParseInteger(std::string_view text) {
  std::size_t i = 0;
  auto is_space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  while (i < text.size() && is_space(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Accumulate towards the sign's limit; the magnitude of INT32_MIN is one more than INT32_MAX.
  const std::int64_t limit =
      negative ? -static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::min())
               : std::numeric_limits<std::int32_t>::max();
  std::int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > limit) magnitude = limit;
  }
  return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

bool EntryWritable(std::string_view key, std::string_view value) {
  auto has_line_break = [](std::string_view t) {
    return t.find_first_of("\r\n") != std::string_view::npos;
  };
  // A NUL would end the value, or make the key one that is never found, when read back.
  auto has_nul = [](std::string_view t) { return t.find('\0') != std::string_view::npos; };
  if (key.empty() || has_line_break(key) || has_line_break(value)) return false;
  if (has_nul(key) || has_nul(value)) return false;
  if (key.find('=') != std::string_view::npos) return false;
  if (IsBlank(key.front()) || IsBlank(key.back()) || key.front() == ';' || key.front() == '[')
    return false;
  return true;
}

std::string ComposeSettings(const std::vector<SettingsEntry>& entries) {
  std::size_t count = 0;
  for (const SettingsEntry& entry : entries) {
    count += entry.kind == EntryKind::kKey ? entry.key.size() + entry.text.size() + 5
                                           : entry.text.size() + 4;
  }
  std::string out;
  out.reserve(count);
  for (const SettingsEntry& entry : entries) {
    switch (entry.kind) {
      case EntryKind::kKey:
        out.append(entry.key).append(" = ").append(entry.text);
        break;
      case EntryKind::kGroup:
        out.append("[").append(entry.text).append("]");
        break;
      case EntryKind::kComment:
        out.append("; ").append(entry.text);
        break;
    }
    out.append("\r\n");
  }
  return out;
}

}  // namespace wendrix::detail
