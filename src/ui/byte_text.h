// Byte strings shown in the widgets and read back from them without loss: a path that is not
// valid UTF-8 still names its file after a trip through a field or a requester.
#pragma once

#include <QString>
#include <string>

namespace wendrix {

// Valid UTF-8 becomes its characters; every byte outside a valid sequence becomes the lone
// surrogate U+DC80..U+DCFF, which no decoded text holds otherwise.
QString BytesToQt(const std::string& bytes);

// The inverse of BytesToQt: BytesFromQt(BytesToQt(b)) == b for every b, also after characters
// were typed around the escaped bytes.
std::string BytesFromQt(const QString& text);

// A path as the file dialog gives it back. The dialog lists a name that is not UTF-8 with U+FFFD
// in place of its bytes; such a name is looked up in its folder and replaced by the one entry it
// stands for, so that the path names what the user picked.
std::string PathFromDialog(const QString& path);

}  // namespace wendrix
