// The display the window opens on, chosen from the environment with the sockets that answer.
#include "services/display_probe.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <set>
#include <utility>

#include "test_support.h"

namespace wendrix {
namespace {

TEST(ChooseDisplay, TakesWhatAnswersAndNamesWhatDoesNot) {
  // Listening: X :0 in the abstract namespace, X :2 on its file, a compositor's socket.
  const std::set<std::string> listening = {"@/tmp/.X11-unix/X0", "/tmp/.X11-unix/X2",
                                           "/run/user/7/wayland-0", "/tmp/own-wayland"};
  const SocketProbe accepts = [&](const std::string& path, bool abstract) {
    return listening.count((abstract ? "@" : "") + path) == 1;
  };
  const std::string none =
      "wendrix: no display to open the window on: neither DISPLAY nor "
      "WAYLAND_DISPLAY is set";
  const std::pair<DisplayEnvironment, DisplayChoice> cases[] = {
      // The tests' offscreen platform, or any the user set, is the toolkit's business.
      {{"offscreen", "", "", "", "", ""}, {"", ""}},
      {{"", "", "", "", "/run/user/7", "wayland"}, {"", none}},
      {{"", ":0", "", "", "", ""}, {"xcb", ""}},
      {{"", ":2.0", "", "", "", ""}, {"xcb", ""}},
      {{"", "unix:0", "", "", "", ""}, {"xcb", ""}},
      {{"", "otherhost:0", "", "", "", ""}, {"xcb", ""}},  // taken on trust
      {{"", ":", "", "", "", ""}, {"", "wendrix: cannot connect to the display (DISPLAY=:)"}},
      {{"", "", "wayland-0", "", "/run/user/7", ""}, {"wayland", ""}},
      {{"", "", "/tmp/own-wayland", "", "", ""}, {"wayland", ""}},
      {{"", "", "", "5", "", ""}, {"wayland", ""}},
      // A relative name needs the runtime folder it lives in.
      {{"", "", "wayland-0", "", "", ""},
       {"", "wendrix: cannot connect to the display (WAYLAND_DISPLAY=wayland-0)"}},
      // Both answer: the session decides which comes first.
      {{"", ":0", "wayland-0", "", "/run/user/7", "x11"}, {"xcb;wayland", ""}},
      {{"", ":0", "wayland-0", "", "/run/user/7", "wayland"}, {"wayland;xcb", ""}},
      // A dead X server beside a live compositor, and the other way round.
      {{"", ":5", "wayland-0", "", "/run/user/7", ""}, {"wayland", ""}},
      {{"", ":0", "wayland-1", "", "/run/user/7", "wayland"}, {"xcb", ""}},
      {{"", ":5", "wayland-1", "", "/run/user/7", ""},
       {"", "wendrix: cannot connect to the display (DISPLAY=:5, WAYLAND_DISPLAY=wayland-1)"}},
  };
  for (const auto& [environment, expected] : cases) {
    SCOPED_TRACE("DISPLAY=" + environment.display +
                 " WAYLAND_DISPLAY=" + environment.wayland_display);
    const DisplayChoice choice = ChooseDisplay(environment, accepts);
    EXPECT_EQ(choice.platform, expected.platform);
    EXPECT_EQ(choice.error, expected.error);
  }
}

TEST(ChooseDisplay, ProbesRealSocketsByFileAndAbstractName) {
  testing::TempDir dir;
  const std::string path = dir / "socket";
  const std::string abstract = "wendrix-probe-test-" + std::to_string(getpid());
  // A socket bound at name (in the abstract namespace after a leading NUL).
  auto bound = [](const std::string& name, bool hidden) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + hidden, name.data(), name.size());
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address),
                   offsetof(sockaddr_un, sun_path) + hidden + name.size()),
              0);
    return fd;
  };
  const int file_fd = bound(path, false), abstract_fd = bound(abstract, true);
  EXPECT_FALSE(UnixSocketAccepts(path, false)) << "bound but not listening";
  listen(file_fd, 1);
  listen(abstract_fd, 1);
  EXPECT_TRUE(UnixSocketAccepts(path, false));
  EXPECT_TRUE(UnixSocketAccepts(abstract, true));
  EXPECT_FALSE(UnixSocketAccepts(abstract, false));
  EXPECT_FALSE(UnixSocketAccepts(dir / "nobody", false));
  EXPECT_FALSE(UnixSocketAccepts(std::string(200, 'x'), false));  // too long for an address
  close(file_fd);
  close(abstract_fd);
}

}  // namespace
}  // namespace wendrix
