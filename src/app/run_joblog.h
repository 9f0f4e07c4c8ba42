// wendrix-run's job log: one line per command as it ends, appended so that a later run can go
// on where this one stopped (--resume) or redo what failed (--retry-failed). Entries are known
// by their full path, so a tree that changed in between never lines a record up with another
// entry.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "engine/job_hooks.h"
#include "services/unique_fd.h"

namespace wendrix {

// The first line of every job log.
extern const char kJobLogHeader[];

// A tab, a line break or a backslash as \t, \n, \\: a field never splits a line or a column.
std::string EscapeLogField(std::string_view text);
std::string UnescapeLogField(std::string_view text);

// One line, with its line break: path, exit status (127: could not be started), signal, start
// in seconds since the epoch, duration in seconds, command.
std::string JobLogLine(const std::string& full_path, const CommandOutcome& outcome,
                       std::int64_t start_epoch_ms, std::int64_t duration_ms,
                       const std::string& command);

// What a log says of one entry: its latest line.
struct JobRecord {
  bool succeeded = false;
  std::string command;
};

struct JobLogRecords {
  std::unordered_map<std::string, JobRecord> entries;  // by full path
  std::string error;  // why the file cannot be used; a missing file records nothing
};

// Reads a job log; lines cut short or malformed are passed over.
JobLogRecords ReadJobLog(const std::string& file);

// The log being written.
class JobLog {
 public:
  // Opens file to append, writing the header when it is empty; false with a reason.
  bool Open(const std::string& file, std::string* error);
  // Appends one whole line with a single write, so that a line is there whole or not at all
  // whatever ends wendrix-run. False when it could not be written.
  bool Append(const std::string& line);

 private:
  UniqueFd fd_;
};

}  // namespace wendrix
