#include "run_joblog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

namespace wendrix {
namespace {

constexpr std::size_t kFields = 6;
constexpr int kNotStartedStatus = 127;

std::string Seconds(std::int64_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%lld.%03lld", static_cast<long long>(ms / 1000),
                static_cast<long long>(ms % 1000));
  return text;
}

std::vector<std::string_view> SplitTabs(std::string_view line) {
  std::vector<std::string_view> fields;
  for (std::size_t start = 0;;) {
    const std::size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab - start));
    if (tab == std::string_view::npos) return fields;
    start = tab + 1;
  }
}

}  // namespace

const char kJobLogHeader[] = "Path\tExitval\tSignal\tStarttime\tJobRuntime\tCommand\n";

std::string EscapeLogField(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '\\':
        escaped += "\\\\";
        break;
      case '\t':
        escaped += "\\t";
        break;
      case '\n':
        escaped += "\\n";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

std::string UnescapeLogField(std::string_view text) {
  std::string plain;
  plain.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      plain += text[i];
      continue;
    }
    const char next = text[++i];
    plain += next == 't' ? '\t' : next == 'n' ? '\n' : next;
  }
  return plain;
}

std::string JobLogLine(const std::string& full_path, const CommandOutcome& outcome,
                       std::int64_t start_epoch_ms, std::int64_t duration_ms,
                       const std::string& command) {
  const int status = outcome.wait_status;
  const int exit_value = !outcome.started    ? kNotStartedStatus
                         : WIFEXITED(status) ? WEXITSTATUS(status)
                                             : 0;
  const int signal = outcome.started && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return EscapeLogField(full_path) + '\t' + std::to_string(exit_value) + '\t' +
         std::to_string(signal) + '\t' + Seconds(start_epoch_ms) + '\t' + Seconds(duration_ms) +
         '\t' + EscapeLogField(command) + '\n';
}

JobLogRecords ReadJobLog(const std::string& file) {
  JobLogRecords records;
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    if (errno != ENOENT)
      records.error = "cannot read the job log " + file + ": " + std::strerror(errno);
    return records;
  }
  std::string line;
  bool first = true;
  while (std::getline(in, line)) {
    if (first && line + '\n' != kJobLogHeader) {
      records.error = file + " is not a job log of wendrix-run";
      return records;
    }
    first = false;
    if (in.eof()) break;  // no line break: cut short
    const std::vector<std::string_view> fields = SplitTabs(line);
    if (fields.size() != kFields) continue;
    records.entries[UnescapeLogField(fields[0])] =
        JobRecord{fields[1] == "0" && fields[2] == "0", UnescapeLogField(fields[5])};
  }
  if (in.bad()) records.error = "cannot read the job log " + file;
  return records;
}

bool JobLog::Open(const std::string& file, std::string* error) {
  fd_.Reset(open(file.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
  struct stat info {};
  char last = '\n';
  if (!fd_.Valid() || fstat(fd_.Get(), &info) != 0 ||
      (info.st_size > 0 && pread(fd_.Get(), &last, 1, info.st_size - 1) != 1)) {
    *error = "cannot open the job log " + file + ": " + std::strerror(errno);
    return false;
  }
  // A line cut short (a full disk) is ended first, so that the next one starts a line of its own.
  if (!Append(info.st_size == 0 ? kJobLogHeader : last != '\n' ? "\n" : "")) {
    *error = "cannot write the job log " + file + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool JobLog::Append(const std::string& line) {
  if (line.empty()) return true;
  ssize_t n;
  do {
    n = write(fd_.Get(), line.data(), line.size());
  } while (n < 0 && errno == EINTR);
  if (n >= 0 && n < static_cast<ssize_t>(line.size())) errno = ENOSPC;
  return n == static_cast<ssize_t>(line.size());
}

}  // namespace wendrix
