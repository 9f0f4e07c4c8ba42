// Starting programs: finding the file a program name stands for, starting it with a clean
// set-up, and reaping children nobody waits for any more.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace wendrix {

struct SpawnRequest {
  std::string path;               // the file to execute
  std::vector<std::string> argv;  // argv[0..]
  std::string folder;             // "": keep the current folder
  int stdin_fd = -1;              // -1: leave the stream as inherited
  int stdout_fd = -1;
  int stderr_fd = -1;
  bool own_process_group = false;
  bool new_session = false;
  // /dev/null on all three standard streams (the *_fd fields are then not used).
  bool null_streams = false;
};

// Starts the request with default signal dispositions, an empty signal mask and no descriptor
// but 0, 1 and 2. Returns the pid, or -1 with errno telling why.
pid_t Spawn(const SpawnRequest& request);

// A regular file this process may execute; errno tells why not.
bool IsExecutableFile(const std::string& path);

// The file that starting program would run: as given when it holds "/", else the first match
// in PATH (the system's default search path when PATH is unset; an empty entry is the current
// folder). nullopt with errno ENOENT or EACCES when there is none.
std::optional<std::string> FindProgram(const std::string& program);

// Hands a child nobody will wait for to the reaper, so that it never stays a zombie.
void ReapLater(pid_t pid);

// Reaps the handed-over children that have ended, where the reaper could not watch them.
void SweepOrphans();

}  // namespace wendrix
