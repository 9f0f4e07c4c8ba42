#include "ui/byte_text.h"

#include <dirent.h>
#include <sys/stat.h>

namespace wendrix {

namespace {

constexpr char16_t kEscapeBase = 0xDC00;
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// The length of the valid UTF-8 sequence at the start of bytes with its code point, or 0.
std::size_t ValidSequence(std::string_view bytes, char32_t& code) {
  const auto lead = static_cast<unsigned char>(bytes[0]);
  const std::size_t length = lead < 0x80                    ? 1
                             : lead >= 0xC2 && lead <= 0xDF ? 2
                             : lead >= 0xE0 && lead <= 0xEF ? 3
                             : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                            : 0;
  if (length == 0 || length > bytes.size()) return 0;
  code = length == 1 ? lead : lead & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(bytes[k]);
    if ((next & 0xC0) != 0x80) return 0;
    code = code << 6 | (next & 0x3F);
  }
  // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
  if ((length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
      (length == 4 && (code < 0x10000 || code > 0x10FFFF))) {
    return 0;
  }
  return length;
}

bool IsEscape(const QString& text, qsizetype i) {
  const char16_t unit = text[i].unicode();
  return unit >= kEscapeBase + 0x80 && unit <= kEscapeBase + 0xFF &&
         (i == 0 || !QChar::isHighSurrogate(text[i - 1].unicode()));
}

// The one entry of folder whose name the dialog shows as shown, or shown itself.
std::string EntryShownAs(const std::string& folder, const std::string& shown) {
  DIR* listing = opendir(folder.empty() ? "/" : folder.c_str());
  if (listing == nullptr) return shown;
  const QString wanted = QString::fromUtf8(shown);
  std::string found;
  int matches = 0;
  while (const dirent* entry = readdir(listing)) {
    if (QString::fromUtf8(entry->d_name) == wanted && ++matches == 1) found = entry->d_name;
  }
  closedir(listing);
  return matches == 1 ? found : shown;
}

}  // namespace

QString BytesToQt(const std::string& bytes) {
  QString text;
  text.reserve(static_cast<qsizetype>(bytes.size()));
  const std::string_view view = bytes;
  for (std::size_t i = 0; i < view.size();) {
    char32_t code = 0;
    const std::size_t length = ValidSequence(view.substr(i), code);
    if (length == 0) {
      text += QChar(static_cast<char16_t>(kEscapeBase + static_cast<unsigned char>(view[i])));
      ++i;
      continue;
    }
    if (code >= 0x10000) {
      text += QChar(QChar::highSurrogate(code));
      text += QChar(QChar::lowSurrogate(code));
    } else {
      text += QChar(static_cast<char16_t>(code));
    }
    i += length;
  }
  return text;
}

std::string BytesFromQt(const QString& text) {
  std::string bytes;
  qsizetype start = 0;
  for (qsizetype i = 0; i <= text.size(); ++i) {
    if (i < text.size() && !IsEscape(text, i)) continue;
    bytes += QStringView(text).mid(start, i - start).toUtf8().toStdString();
    if (i < text.size()) bytes += static_cast<char>(text[i].unicode() - kEscapeBase);
    start = i + 1;
  }
  return bytes;
}

std::string PathFromDialog(const QString& path) {
  const std::string bytes = BytesFromQt(path);
  struct stat info;
  if (bytes.find(kReplacement) == std::string::npos || lstat(bytes.c_str(), &info) == 0)
    return bytes;
  std::string resolved;
  for (std::size_t start = 0; start <= bytes.size();) {
    std::size_t end = bytes.find('/', start);
    if (end == std::string::npos) end = bytes.size();
    std::string name = bytes.substr(start, end - start);
    if (name.find(kReplacement) != std::string::npos &&
        lstat((resolved + "/" + name).c_str(), &info) != 0) {
      name = EntryShownAs(resolved, name);
    }
    resolved += (start == 0 ? "" : "/") + name;
    start = end + 1;
  }
  return resolved;
}

}  // namespace wendrix
