// The console on the Linux desktop: a real terminal that the started programs share.
// Mode A: the program's own standard output is a terminal whose foreground process group is the
// program's; that terminal is the console. Started in the background (with "&") it is not: a
// command reading it would stop the whole program.
// Mode B: otherwise the first Open starts a terminal emulator running wendrix-console, a relay
// that hands its terminal over a private Unix socket and reports Ctrl+C / Ctrl+\ as bytes.
// Without any terminal the program's own standard streams serve.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "services/console.h"
#include "services/fd_io.h"
#include "services/terminal_launchers.h"
#include "services/unique_fd.h"

namespace wendrix {

class RelayListener;

struct TerminalConsoleOptions {
  std::vector<TerminalLauncher> launchers = DefaultTerminalLaunchers();
  std::string relay_path;     // "" = ProgramFolder() + "wendrix-console"
  int own_output = 1;         // a terminal here selects mode A
  int relay_wait_ms = 10000;  // how long mode B waits for the relay to call
  // Called at least every 50 ms while mode B waits for the relay, so that a window stays live.
  std::function<void()> idle;
  // Called once, before the first run goes on, when no console window could be opened and the
  // program's own output is no terminal either: the output goes where nobody may see it.
  std::function<void()> no_console_window;
};

// True when fd is a terminal whose foreground process group is this process's group.
bool InTerminalForeground(int fd);

class TerminalConsole final : public Console {
 public:
  enum class Mode { kNone, kOwnTerminal, kRelay, kStandardStreams };

  explicit TerminalConsole(TerminalConsoleOptions options = {});
  ~TerminalConsole() override;
  TerminalConsole(const TerminalConsole&) = delete;
  TerminalConsole& operator=(const TerminalConsole&) = delete;

  int Open() override;
  std::int64_t Write(const char* data, std::size_t length) override;
  std::size_t Pending() const override { return pending_.size() - pending_start_; }
  void AddWaitDescriptors(std::vector<pollfd>& fds) const override;
  ConsoleState Service() override;
  ChildStdio ChildStreams() const override;

  // Outside a run: the descriptors to watch for reading (relay socket, signal self-pipe); on
  // any of them, or every 250 ms, call CheckIdle.
  std::vector<int> IdleWatchDescriptors() const;
  // Moves pending bytes on and tells whether the console still stands (also sees a hang-up of
  // the terminal, which in mode A may come without SIGHUP).
  ConsoleState CheckIdle() { return Service(); }

  // Puts title on the console window this program opened (none of a terminal it was started
  // from), in order with the output; title must hold no control byte.
  void SetTitle(const std::string& title);

  Mode mode() const { return mode_; }

 private:
  bool OpenOwnTerminal();
  bool OpenRelay();
  bool WaitForRelay(RelayListener& listener, pid_t launcher, std::int64_t deadline,
                    UniqueFd& terminal);
  bool AdoptTerminal(UniqueFd terminal);
  void OpenStandardStreams();
  // As much as the console takes without waiting (all of it on a blocking descriptor); -1 when
  // the console has gone away.
  ssize_t WriteSome(const char* data, std::size_t length) {
    return WriteAll(output_fd_.Get(), {data, length}, WhenFull::kStop);
  }
  void Flush();
  void ReadRelay();
  void CheckHangUp();
  void MarkClosed() { console_state_ = ConsoleState::kClosed; }

  TerminalConsoleOptions options_;
  Mode mode_ = Mode::kNone;
  UniqueFd output_fd_;            // non-blocking, ours alone
  UniqueFd child_fd_;             // blocking, the children's standard input and error
  UniqueFd relay_fd_;             // the relay's socket (mode B)
  UniqueFd null_input_;           // the children's input when ours is a terminal not ours to read
  bool blocking_writes_ = false;  // standard streams that cannot be made non-blocking
  ConsoleState console_state_ = ConsoleState::kOpen;
  std::string pending_;
  std::size_t pending_start_ = 0;
};

}  // namespace wendrix
