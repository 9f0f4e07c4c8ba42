// The console relay's wire protocol, for both of its ends: wendrix-console, run inside a
// terminal emulator, connects to a private Unix socket, sends kRelayTag with its terminal's
// descriptor attached, then one byte per Ctrl+C (kRelayInterrupt) or Ctrl+\ (kRelayQuit) typed
// there. Either end closing the connection ends the relay.
#pragma once

#include <cstdint>
#include <string>

#include "services/unique_fd.h"

namespace wendrix {

inline constexpr char kRelayTag[] = "WCON1";
inline constexpr char kRelayInterrupt = 'I';
inline constexpr char kRelayQuit = 'Q';
// What the relay writes to its terminal first: the window's title (xterm's control sequence,
// which the other emulators read too), which names Wendrix rather than the relay.
inline constexpr char kConsoleTitle[] = "\033]0;Wendrix console\007";

// The listening end: a socket in a folder only this user can reach; both go with the object.
class RelayListener {
 public:
  RelayListener();
  ~RelayListener();
  RelayListener(const RelayListener&) = delete;
  RelayListener& operator=(const RelayListener&) = delete;

  bool Valid() const { return fd_.Valid(); }
  int Descriptor() const { return fd_.Get(); }  // non-blocking; readable when a relay calls
  const std::string& SocketPath() const { return socket_path_; }

  // Accepts one connection and takes the terminal from it, waiting for the tag until deadline
  // (NowMs). The connection is kept in connection when it delivered a terminal; an empty
  // result when anything is wrong (another user, a wrong tag, no terminal).
  UniqueFd Accept(std::int64_t deadline, UniqueFd& connection);

 private:
  std::string folder_;
  std::string socket_path_;
  UniqueFd fd_;
};

// The relay's end: connects to the socket at path; empty (errno says why) when it cannot.
UniqueFd ConnectRelay(const std::string& socket_path);

// Sends the tag with terminal attached; false when it did not go through whole.
bool SendTerminal(int connection, int terminal);

// Sends one report byte; false when Wendrix is gone.
bool SendReport(int connection, char report);

}  // namespace wendrix
