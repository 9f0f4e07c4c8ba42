// The Main window on a real X server, driven with real input events, so that the window system's
// own hit-testing and event queue take part.
#include <cstdlib>

#include "ui/ui_test_support.h"

namespace wendrix {
namespace {

class MainWindowX11Test : public testing::WindowTest {
 protected:
  void SetUp() override {
    if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "needs an X server";
    WindowTest::SetUp();
  }
  static void XClick(int gadget) {
    const QPoint at = GadgetWidget(gadget)->mapToGlobal(GadgetWidget(gadget)->rect().center());
    const std::string command =
        "xdotool mousemove " + std::to_string(at.x()) + " " + std::to_string(at.y()) + " click 1";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
};

TEST_F(MainWindowX11Test, InputDuringARunComesOutAfterItByItselfAndInOrder) {
  // Input that does not come out by itself fails the test instead of hanging it: every 10 s a
  // close request ends the wait, with the close event where a click was expected.
  QTimer watchdog;
  watchdog.callOnTimeout([] { MainWindowWidget()->close(); });
  watchdog.start(10000);
  XClick(ButtonStart);
  ASSERT_EQ(WaitWindowEvent(), kEventGadget);
  // The run: only repaints and window-manager traffic are served while the presses (on buttons
  // inside a frame) arrive.
  XClick(ButtonHome);
  XClick(ButtonTemp);
  for (int i = 0; i < 30; ++i, QTest::qSleep(10)) ProcessWindowWithoutInput();
  EXPECT_FALSE(WindowEventPending());
  EXPECT_EQ(WaitWindowEvent(), kEventGadget);
  EXPECT_EQ(EventGadget(), ButtonHome);
  EXPECT_EQ(WaitWindowEvent(), kEventGadget);
  EXPECT_EQ(EventGadget(), ButtonTemp);
}

}  // namespace
}  // namespace wendrix
