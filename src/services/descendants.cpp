#include "services/descendants.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>

namespace wendrix {
namespace {

struct ProcessStat {
  ProcessIdentity identity;
  pid_t parent = 0;
  pid_t group = 0;
  char state = '?';
};

// One /proc/PID/stat: the name in parentheses may hold anything, so the fields are counted
// from the last ')'.
std::optional<ProcessStat> ReadStat(pid_t pid) {
  char path[48];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char text[1024];
  ssize_t n;
  do {
    n = read(fd, text, sizeof text - 1);
  } while (n < 0 && errno == EINTR);
  close(fd);
  if (n <= 0) return std::nullopt;
  text[n] = '\0';
  const char* p = std::strrchr(text, ')');
  if (p == nullptr) return std::nullopt;
  ProcessStat stat;
  stat.identity.pid = pid;
  // Fields from 3 on: state, ppid, pgrp, ..., starttime is field 22.
  int field = 2;
  for (const char* token = p + 1; *token != '\0' && field < 22;) {
    while (*token == ' ') ++token;
    ++field;
    char* end = nullptr;
    if (field == 3) {
      stat.state = *token;
    } else if (field == 4) {
      stat.parent = static_cast<pid_t>(std::strtol(token, &end, 10));
    } else if (field == 5) {
      stat.group = static_cast<pid_t>(std::strtol(token, &end, 10));
    } else if (field == 22) {
      stat.identity.start_time = std::strtoull(token, &end, 10);
    }
    while (*token != ' ' && *token != '\0') ++token;
  }
  if (field < 22) return std::nullopt;
  return stat;
}

std::vector<ProcessStat> AllProcesses() {
  std::vector<ProcessStat> all;
  DIR* dir = opendir("/proc");
  if (dir == nullptr) return all;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    if (auto stat = ReadStat(static_cast<pid_t>(std::atoi(entry->d_name)))) all.push_back(*stat);
  }
  closedir(dir);
  return all;
}

}  // namespace

void BecomeSubreaper() {
  static const bool done = prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0;
  (void)done;
}

std::vector<ProcessIdentity> Descendants(const std::vector<ProcessIdentity>& spare) {
  const std::vector<ProcessStat> all = AllProcesses();
  std::unordered_multimap<pid_t, const ProcessStat*> children;
  for (const ProcessStat& stat : all) children.emplace(stat.parent, &stat);
  std::vector<ProcessIdentity> found;
  std::vector<pid_t> parents{getpid()};
  for (std::size_t i = 0; i < parents.size(); ++i) {
    const auto [begin, end] = children.equal_range(parents[i]);
    for (auto it = begin; it != end; ++it) {
      const ProcessIdentity& identity = it->second->identity;
      if (std::find(spare.begin(), spare.end(), identity) != spare.end()) continue;
      found.push_back(identity);
      parents.push_back(identity.pid);
    }
  }
  return found;
}

void SignalProcesses(const std::vector<ProcessIdentity>& processes, int signal, pid_t skip_group) {
  for (const ProcessIdentity& process : processes) {
    const std::optional<ProcessStat> now = ReadStat(process.pid);
    if (!now || !(now->identity == process) || now->state == 'Z') continue;
    if (skip_group != 0 && now->group == skip_group) continue;
    kill(process.pid, signal);
  }
}

void ReapEnded(const std::vector<ProcessIdentity>& processes) {
  const pid_t self = getpid();
  for (const ProcessIdentity& process : processes) {
    const std::optional<ProcessStat> now = ReadStat(process.pid);
    if (now && now->identity == process && now->parent == self && now->state == 'Z')
      waitpid(process.pid, nullptr, WNOHANG);
  }
}

}  // namespace wendrix
