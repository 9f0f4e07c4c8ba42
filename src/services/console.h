// The console: where the output of the started programs is copied, unchanged, and whose
// terminal the started programs share for their standard input and standard error.
#pragma once

#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "services/program_runner.h"

namespace wendrix {

enum class ConsoleState {
  kOpen,         // still there
  kInterrupted,  // the user asked to stop (Ctrl+C, Ctrl+\, SIGINT, SIGQUIT)
  kClosed,       // the console went away (window closed, hang-up, SIGHUP, SIGTERM)
};

class Console {
 public:
  virtual ~Console() = default;

  // ConsoleOpen: called at the start of every job run; the first call makes the console,
  // later ones reuse it. Sets the standard streams the started programs get. Always 1.
  virtual int Open() = 0;

  // ConsoleWrite: the bytes, unchanged. Returns the count taken, or 0 when the write failed.
  // A console that must never stall may keep bytes it cannot deliver yet (see Pending).
  virtual std::int64_t Write(const char* data, std::size_t length) = 0;

  // Bytes taken by Write and not yet delivered; the engine stops reading a child while this is
  // large and waits for the console instead.
  virtual std::size_t Pending() const { return 0; }

  // Descriptors that the engine's wait watches besides the child (relay socket, signal pipe,
  // the console itself for POLLOUT while bytes are pending).
  virtual void AddWaitDescriptors(std::vector<pollfd>& fds) const { (void)fds; }

  // Called after every wake-up of the wait: moves pending bytes on and tells whether the
  // console still stands.
  virtual ConsoleState Service() { return ConsoleState::kOpen; }

  // The standard input and error the started programs get, and whether each leads a process
  // group of its own; valid from Open until the console goes.
  virtual ChildStdio ChildStreams() const { return {}; }
};

}  // namespace wendrix
