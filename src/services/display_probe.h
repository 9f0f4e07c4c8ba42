// Which display the window can open on, decided before the toolkit starts: a toolkit that
// cannot connect ends the process with an abort and lines of its own, where a user deserves one
// line that says what is wrong.
#pragma once

#include <functional>
#include <string>

namespace wendrix {

// The environment that names the displays.
struct DisplayEnvironment {
  std::string qpa_platform;     // QT_QPA_PLATFORM: the user's or the tests' own choice
  std::string display;          // DISPLAY: an X server
  std::string wayland_display;  // WAYLAND_DISPLAY: a Wayland compositor's socket
  std::string wayland_socket;   // WAYLAND_SOCKET: a connection already made by the parent
  std::string runtime_dir;      // XDG_RUNTIME_DIR: where a relative WAYLAND_DISPLAY lives
  std::string session_type;     // XDG_SESSION_TYPE: "wayland" prefers the compositor
};
DisplayEnvironment CurrentDisplayEnvironment();

struct DisplayChoice {
  std::string platform;  // the toolkit platforms to try, in order; "": the toolkit's own choice
  std::string error;     // not empty: there is no display; one line for standard error
};

// Tells whether a Unix socket accepts a connection; abstract names the abstract namespace.
using SocketProbe = std::function<bool(const std::string& path, bool abstract)>;
bool UnixSocketAccepts(const std::string& path, bool abstract);

// A platform set by QT_QPA_PLATFORM is left to the toolkit. Otherwise each named display is
// tried: a local X server on its socket in /tmp/.X11-unix (a remote one is taken on trust), a
// compositor on its socket. Wayland comes first when only it answers or the session is a
// Wayland one; the other one that answers stays as the fall-back.
DisplayChoice ChooseDisplay(const DisplayEnvironment& environment,
                            const SocketProbe& accepts = UnixSocketAccepts);

}  // namespace wendrix
