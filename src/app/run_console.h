// wendrix-run's console: its own standard output, which it watches. A write that fails or
// falls short, or an ending signal sent to wendrix-run, ends the console, and with it the run.
#pragma once

#include <functional>

#include "services/console.h"

namespace wendrix {

class RunConsole final : public Console {
 public:
  // Installs the ending signals' handlers (and ignores SIGPIPE, so that a reader that goes
  // away is a failed write, not wendrix-run's death). With own_groups each command leads a
  // process group of its own, so that a signal given to it reaches what it started too; for
  // commands that do not read the terminal.
  explicit RunConsole(bool own_groups);

  int Open() override;
  // Once a write has failed, every later one is dropped: the output has a hole, and the run is
  // ending.
  std::int64_t Write(const char* data, std::size_t length) override;
  void AddWaitDescriptors(std::vector<pollfd>& fds) const override;
  // kClosed or kInterrupted after an ending signal, kClosed once the output went away.
  ConsoleState Service() override;

  // The signal the running commands get: the one that came, or SIGHUP for lost output; 0 (none)
  // for a terminal's key that already reached them.
  int EndingSignal() const;
  // The first ending signal received, or 0.
  int SignalReceived() const;
  // The errno of the failed write (EPIPE, ENOSPC...), or 0 while the output stands.
  int OutputError() const { return output_error_; }
  // Whether the run should go on: no signal came and the output stands.
  bool Standing() const;

  // Whether the output so far ends with a line break (or is empty).
  bool AtLineStart() const { return at_line_start_; }

  // Called before each write, e.g. to take a progress line off the same terminal.
  std::function<void()> before_write;

 private:
  bool own_groups_;
  int output_error_ = 0;
  bool at_line_start_ = true;
};

}  // namespace wendrix
