// The console on the Linux desktop: a real terminal that the started programs share.
// Mode A: the program's own standard output is a terminal; that terminal is the console.
// Mode B: it is not; the first Open starts a terminal emulator running wendrix-console, a relay
// that hands its terminal over a private Unix socket and reports Ctrl+C / Ctrl+\ as bytes.
// Without any terminal the program's own standard streams serve.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "services/console.h"

namespace wendrix {

// What wendrix-console sends over the socket: first this tag with the terminal's descriptor
// attached, then one byte per Ctrl+C (SIGINT) or Ctrl+\ (SIGQUIT) typed in its terminal.
inline constexpr char kRelayTag[] = "WCON1";
inline constexpr char kRelayInterrupt = 'I';
inline constexpr char kRelayQuit = 'Q';

// How one terminal emulator is started: program (looked up in PATH when it has no "/") and the
// arguments that come before the command it runs; the relay's path and the socket's path follow
// as two more arguments.
struct TerminalLauncher {
  std::string program;
  std::vector<std::string> leading_args;
};

// The emulators tried in order, from x-terminal-emulator to foot. When the environment variable
// WENDRIX_TERMINAL is set, its words (split at blanks) are the only launcher: a seam for the
// end-to-end tests of the real program, which play the terminal with a pseudo-terminal.
std::vector<TerminalLauncher> DefaultTerminalLaunchers();

struct TerminalConsoleOptions {
  std::vector<TerminalLauncher> launchers = DefaultTerminalLaunchers();
  std::string relay_path;     // "" = ProgramFolder() + "wendrix-console"
  int own_output = 1;         // a terminal here selects mode A
  int relay_wait_ms = 10000;  // how long mode B waits for the relay to call
};

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

  // Outside a run: the descriptors to watch for reading (relay socket, signal self-pipe); on
  // any of them, or every 250 ms, call CheckIdle.
  std::vector<int> IdleWatchDescriptors() const;
  // The console's descriptor to watch for writing while bytes are pending, else -1.
  int IdleWriteDescriptor() const;
  // Moves pending bytes on and tells whether the console still stands (also sees a hang-up of
  // the terminal, which in mode A may come without SIGHUP).
  ConsoleState CheckIdle() { return Service(); }

  Mode mode() const { return mode_; }

 private:
  bool OpenOwnTerminal();
  bool OpenRelay();
  void OpenStandardStreams();
  ssize_t WriteSome(const char* data, std::size_t length);
  void Flush();
  void ReadRelay();
  void CheckHangUp();
  void ReapLaunchers();
  void MarkClosed() { console_state_ = ConsoleState::kClosed; }

  TerminalConsoleOptions options_;
  Mode mode_ = Mode::kNone;
  int output_fd_ = -1;            // non-blocking, ours alone
  int child_fd_ = -1;             // blocking, the children's standard input and error
  int relay_fd_ = -1;             // the relay's socket (mode B)
  bool blocking_writes_ = false;  // standard streams that cannot be made non-blocking
  ConsoleState console_state_ = ConsoleState::kOpen;
  std::string pending_;
  std::size_t pending_start_ = 0;
  std::vector<pid_t> launchers_;  // started emulators not yet reaped
};

}  // namespace wendrix
