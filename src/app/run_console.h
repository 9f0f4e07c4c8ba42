// wendrix-run's console: its own standard output, and its standard error for held errors and
// its own messages. Neither is ever waited on outside the run's wait: bytes they cannot take at
// once are kept and moved on when the wait sees them ready, so an ending signal is acted on
// even while nobody reads. A write that fails, or an ending signal sent to wendrix-run, ends
// the console, and with it the run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "services/console.h"
#include "services/unique_fd.h"

namespace wendrix {

// One of our own output streams, written without blocking where the kind of file allows.
class OwnOutput {
 public:
  explicit OwnOutput(int fd);
  // Takes the bytes; false once the stream has failed (they are dropped).
  bool Write(const char* data, std::size_t length);
  // Moves kept bytes on as far as the stream takes them now.
  void Flush();
  std::size_t Pending() const { return pending_.size() - start_; }
  void AddWait(std::vector<pollfd>& fds) const;
  int Error() const { return error_; }

 private:
  // Bytes written now, or -1 (error_ set).
  ssize_t WriteNow(const char* data, std::size_t length);

  UniqueFd fd_;
  bool socket_ = false;  // a socket cannot be reopened: sent to with MSG_DONTWAIT instead
  int error_ = 0;
  std::string pending_;
  std::size_t start_ = 0;
};

class RunConsole final : public Console {
 public:
  // Installs the ending signals' handlers (and ignores SIGPIPE, so that a reader that goes
  // away is a failed write, not wendrix-run's death). With own_groups each command leads a
  // process group of its own, so that a signal given to it reaches what it started too; for
  // commands that do not read the terminal.
  explicit RunConsole(bool own_groups);

  int Open() override { return 1; }
  // Once a write has failed, every later one is dropped: the output has a hole, and the run is
  // ending.
  std::int64_t Write(const char* data, std::size_t length) override;
  // The same for standard error.
  void WriteError(const char* data, std::size_t length);
  std::size_t Pending() const override { return output_.Pending() + error_.Pending(); }
  void AddWaitDescriptors(std::vector<pollfd>& fds) const override;
  // kClosed or kInterrupted after an ending signal, kClosed once an output went away.
  ConsoleState Service() override;
  ChildStdio ChildStreams() const override;

  // At the end: waits until every kept byte is out, unless an output fails or a signal comes.
  void Drain();

  // The signal the running commands get: the one that came, or SIGHUP for lost output; 0 (none)
  // for a terminal's key that already reached them.
  int EndingSignal() const;
  // The first ending signal received, or 0.
  int SignalReceived() const;
  // The errno of the failed write (EPIPE, ENOSPC...) to standard output, else to standard
  // error; 0 while both stand.
  int OutputError() const { return output_.Error() != 0 ? output_.Error() : error_.Error(); }
  // Whether the run should go on: no signal came and the outputs stand.
  bool Standing() const;

  // Called before each write to standard output, e.g. to take a progress line off the same
  // terminal.
  std::function<void()> before_write;

  // Whether the output so far ends with a line break (or is empty).
  bool AtLineStart() const { return at_line_start_; }

 private:
  bool own_groups_;
  OwnOutput output_;
  bool at_line_start_ = true;
  OwnOutput error_;
  std::int64_t last_words_until_ = -1;
};

}  // namespace wendrix
