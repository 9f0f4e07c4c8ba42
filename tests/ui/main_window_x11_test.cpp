// The Main window on a real X server (the test suite's virtual one), driven with real input
// events, so that the window system's own hit-testing and event queue take part.
#include <gtest/gtest.h>

#include <QAbstractEventDispatcher>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <string>

#include "ui/main_window.h"
#include "ui/ui_test_support.h"

namespace wendrix {
namespace {

class MainWindowX11Test : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("DISPLAY") == nullptr || std::system("command -v xdotool >/dev/null") != 0)
      GTEST_SKIP() << "needs an X server and xdotool";
    testing::EnsureApplication();
    ASSERT_EQ(OpenMainWindow(0, 0, 630, 400), kMainWindowId);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(MainWindowWidget()));
  }
  void TearDown() override { CloseMainWindow(); }

  // A real click at the centre of a control, through the X server.
  static void XClick(int gadget) {
    QWidget* widget = GadgetWidget(gadget);
    const QPoint at = widget->mapToGlobal(widget->rect().center());
    const std::string command =
        "xdotool mousemove " + std::to_string(at.x()) + " " + std::to_string(at.y()) + " click 1";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }

  // WaitWindowEvent, but a lost click fails the test instead of hanging it: after 10 s a close
  // request is made, and the wait returns the close event.
  static int Wait() {
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] { MainWindowWidget()->close(); });
    watchdog.start(10000);
    return WaitWindowEvent();
  }
};

TEST_F(MainWindowX11Test, RealClicksReachTheButtonsInsideTheFrames) {
  for (Gadget button : {ButtonSelectPath, ButtonDuplicationDestination, ButtonStart}) {
    XClick(button);
    EXPECT_EQ(Wait(), kEventGadget);
    EXPECT_EQ(EventGadget(), button);
  }
}

TEST_F(MainWindowX11Test, InputDuringARunIsHandledAfterItInOrder) {
  XClick(ButtonStart);
  ASSERT_EQ(Wait(), kEventGadget);
  // The run: only repaints and window-manager traffic are served while presses arrive.
  XClick(ButtonHome);
  XClick(ButtonTemp);
  QElapsedTimer run;
  run.start();
  while (run.elapsed() < 300) {
    ProcessWindowWithoutInput();
    QTest::qSleep(10);
  }
  EXPECT_FALSE(WindowEventPending());
  // Held input must come out by itself, not wait for some later event to wake the loop.
  bool stuck = false;
  QTimer watchdog;
  watchdog.setSingleShot(true);
  QObject::connect(&watchdog, &QTimer::timeout, [&stuck] {
    stuck = true;
    QAbstractEventDispatcher::instance()->wakeUp();
  });
  watchdog.start(5000);
  EXPECT_EQ(WaitWindowEvent(), kEventGadget);
  EXPECT_FALSE(stuck);
  EXPECT_EQ(EventGadget(), ButtonHome);
  EXPECT_EQ(Wait(), kEventGadget);
  EXPECT_EQ(EventGadget(), ButtonTemp);
}

}  // namespace
}  // namespace wendrix
