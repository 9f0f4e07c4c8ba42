#include "services/display_probe.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "services/unique_fd.h"

namespace wendrix {
namespace {

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// DISPLAY is [host]:number[.screen]. A local server listens on /tmp/.X11-unix/X<number>, in the
// abstract namespace, on the file, or on both.
bool XServerAnswers(const std::string& display, const SocketProbe& accepts) {
  const std::size_t colon = display.rfind(':');
  if (colon == std::string::npos) return false;
  const std::string host = display.substr(0, colon);
  std::string number = display.substr(colon + 1);
  number = number.substr(0, number.find('.'));
  if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return false;
  // A server over the network, or a socket given by its path: the toolkit's to find out.
  if (!host.empty() && host != "unix") return true;
  const std::string socket = "/tmp/.X11-unix/X" + number;
  return accepts(socket, true) || accepts(socket, false);
}

bool CompositorAnswers(const DisplayEnvironment& environment, const SocketProbe& accepts) {
  if (!environment.wayland_socket.empty()) return true;
  const std::string& name = environment.wayland_display;
  if (name.empty()) return false;
  if (name.front() == '/') return accepts(name, false);
  if (environment.runtime_dir.empty()) return false;
  return accepts(environment.runtime_dir + "/" + name, false);
}

}  // namespace

DisplayEnvironment CurrentDisplayEnvironment() {
  return {Environment("QT_QPA_PLATFORM"), Environment("DISPLAY"),
          Environment("WAYLAND_DISPLAY"), Environment("WAYLAND_SOCKET"),
          Environment("XDG_RUNTIME_DIR"), Environment("XDG_SESSION_TYPE")};
}

bool UnixSocketAccepts(const std::string& path, bool abstract) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::size_t offset = abstract ? 1 : 0;  // an abstract name starts with a NUL byte
  if (path.size() + offset >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path + offset, path.data(), path.size());
  const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset +
                                                  path.size() + (abstract ? 0 : 1));
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  return fd.Valid() && connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), length) == 0;
}

DisplayChoice ChooseDisplay(const DisplayEnvironment& environment, const SocketProbe& accepts) {
  if (!environment.qpa_platform.empty()) return {};
  const bool x = !environment.display.empty() && XServerAnswers(environment.display, accepts);
  const bool wayland = CompositorAnswers(environment, accepts);
  if (wayland && (!x || environment.session_type == "wayland"))
    return {x ? "wayland;xcb" : "wayland", ""};
  if (x) return {wayland ? "xcb;wayland" : "xcb", ""};
  if (environment.display.empty() && environment.wayland_display.empty())
    return {"",
            "wendrix: no display to open the window on: neither DISPLAY nor WAYLAND_DISPLAY "
            "is set"};
  std::string named;
  if (!environment.display.empty()) named = "DISPLAY=" + environment.display;
  if (!environment.wayland_display.empty())
    named +=
        (named.empty() ? "" : ", ") + std::string("WAYLAND_DISPLAY=") + environment.wayland_display;
  return {"", "wendrix: cannot connect to the display (" + named + ")"};
}

}  // namespace wendrix
