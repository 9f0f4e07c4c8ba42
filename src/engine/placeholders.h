// The seven placeholders of the parameters template: the letter after "%", what the window's
// button for it reads and says in its tooltip, and the few words wendrix-run's help gives it.
// The window, the help and the engine all take them from here.
#pragma once

namespace wendrix {

struct Placeholder {
  char letter;
  const char* button;
  const char* tooltip;
  const char* meaning;
};

inline constexpr Placeholder kPlaceholders[] = {
    {'f', "%f : Path+Filename", "Special string replaced by the full path to found entries",
     "full path"},
    {'p', "%p : Path", "Special string replaced by path only", "folder/"},
    {'n', "%n : Filename",
     "Special string replaced by file name without path and without extension",
     "name without extension"},
    {'e', "%e : Extension",
     "Special string replaced by file extension, like jpg, mp3, exe (no dot)", "extension"},
    {'h', "%h : Home", "Special string replaced by the user's home directory", "home/"},
    {'t', "%t : Temp", "Special string replaced by the temp directory", "temp/"},
    {'d', "%d : Duplication Destination", "Special string replaced by the duplication path",
     "mirror below --destination (of a file: its folder/)"},
};

}  // namespace wendrix
