// Path and text helpers: splitting a path into folder, name and extension, the well-known
// folders of the user and the program, and counting and replacing text.
#pragma once

#include <string>
#include <string_view>

namespace wendrix {

// The parts of a path, as views into it. Only "/" separates: any other byte, "\", "|" and
// quotes included, may be part of a Linux name.

// The path up to and including its last "/"; empty when there is none.
std::string_view FolderPart(std::string_view path);

// The name after the last "/"; with without_extension set, cut before the extension's dot.
std::string_view NamePart(std::string_view path, bool without_extension);

// The extension of the name, without its dot: what follows the name's last dot, unless that dot
// is the name's first or last character or a blank follows it. Empty when there is none.
std::string_view ExtensionPart(std::string_view path);

// $HOME (else the passwd entry) with a trailing "/", or "".
std::string UserHomeFolder();

inline constexpr int CSIDL_APPDATA = 26;

// For CSIDL_APPDATA: $XDG_CONFIG_HOME when absolute, else UserHomeFolder() + ".config"; no
// trailing "/". "" for any other id, or when unknown.
std::string SpecialFolderPath(int id);

// $TMPDIR (else /tmp) in canonical form with a trailing "/", or "" when it does not exist.
std::string TempFolder();

// The full path of the running executable.
std::string ProgramFilePath();

// FolderPart of ProgramFilePath, ending with "/".
std::string ProgramFolder();

// True when the executable runs from the bin folder it was installed into (the install prefix's,
// fixed at build time), where the program's folder is one the user shares with every other
// program. A build folder or an unpacked copy is not installed.
bool RunsInstalled();

// Makes folder count as the installed bin folder ("" gives back the built-in one): tests see both
// layouts through it.
void SetInstalledBinFolder(const std::string& folder);

// The user's own Wendrix folder, where the default settings file lives, ending with "/".
std::string UserWendrixFolder();

// The program's own folder where the user meets it: the Root of an empty path and the home of the
// Config folder. ProgramFolder(), but UserWendrixFolder() when installed: never /usr/bin.
std::string OwnFolder();

// Where the path and destination requesters open: ProgramFolder(), or the user's home when
// installed.
std::string BrowseStartFolder();

// Every non-overlapping occurrence, left to right, replaced; inserted text is never searched.
std::string ReplaceAll(std::string_view text, std::string_view search,
                       std::string_view replacement);

// Non-overlapping occurrences of search in text; 0 when either is empty.
int CountOccurrences(std::string_view text, std::string_view search);

}  // namespace wendrix
