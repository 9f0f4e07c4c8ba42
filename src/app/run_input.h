// Reading wendrix-run's settings from wherever they come: a file, a FIFO, a process
// substitution, /dev/stdin, or "-" for standard input.
#pragma once

#include <optional>
#include <string>

#include "engine/settings.h"

namespace wendrix {

struct SettingsInput {
  std::optional<Settings> settings;
  std::string error;  // why there are none: one line, naming the file
};

// Reads name to its end, as a pipe is read: a FIFO waits for its writer as any reader does.
// Refused with a reason: what cannot be opened or read, a folder, more bytes than any settings
// file holds, and bytes that set none of the seven keys.
SettingsInput ReadSettingsInput(const std::string& name);

}  // namespace wendrix
