// The processes our commands left behind. The program becomes a child subreaper, so whatever a
// command started stays below it even when its parent ends or it moves to another process group
// or session; a run then ends them all by walking /proc from its own process.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <vector>

namespace wendrix {

// A process by its id and start time, so that a reused id is never taken for it.
struct ProcessIdentity {
  pid_t pid = 0;
  std::uint64_t start_time = 0;
  bool operator==(const ProcessIdentity&) const = default;
};

// Makes orphaned descendants ours (PR_SET_CHILD_SUBREAPER); once per process.
void BecomeSubreaper();

// Our descendants now, parents before children. Those in spare, and everything below them,
// are left out: what the console started (a terminal window) is not a command's.
std::vector<ProcessIdentity> Descendants(const std::vector<ProcessIdentity>& spare = {});

// Sends signal to each of them that still is what it was; processes outside skip_group only,
// when skip_group is not 0 (those in it got the signal from the terminal already).
void SignalProcesses(const std::vector<ProcessIdentity>& processes, int signal,
                     pid_t skip_group = 0);

// Reaps those of our own children among them that have ended (orphans that came to us). Must
// not be given a child someone else waits for.
void ReapEnded(const std::vector<ProcessIdentity>& processes);

}  // namespace wendrix
