// The settings store: a key = value text file held in memory while it is in use.
// One store is in use at a time.
#pragma once

#include <cstdint>
#include <string>

namespace wendrix {

// Starts a new, empty store for file_name. The file itself is written only at StoreClose, and
// then atomically (an anonymous file beside it, named and renamed over it). False when the file
// could not be created there.
bool StoreCreate(const std::string& file_name);

// Reads an existing file into the store. False when it cannot be opened.
bool StoreOpen(const std::string& file_name);

// A store of bytes read elsewhere (a pipe, standard input), for reading only: it belongs to no
// file, so a changed one cannot be written and StoreClose then gives false.
void StoreOpenContent(std::string content);

// Whether the store holds the key at the top level.
bool StoreHasKey(const std::string& key);

void StoreWriteString(const std::string& key, const std::string& value);
void StoreWriteInteger(const std::string& key, std::int32_t value);
std::string StoreReadString(const std::string& key, const std::string& default_value);
std::int32_t StoreReadInteger(const std::string& key, std::int32_t default_value);

// Writes a changed store and releases it. False when a changed store could not be written
// completely (the earlier file is then left as it was).
bool StoreClose();

// Reads fd to its end into content: 0, or the errno of the failure (EFBIG past the size no
// settings file has).
int ReadSettingsBytes(int fd, std::string& content);

}  // namespace wendrix
