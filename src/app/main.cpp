// The desktop program: start-up, the event loop until the window's close, and ending in order,
// also when the console is closed or interrupted or a signal asks the program to end.
#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "services/shutdown_signals.h"
#include "services/terminal_console.h"
#include "settings/settings_flows.h"
#include "ui/main_window.h"
#include "ui/main_window_actions.h"
#include "wendrix/version.h"

namespace wendrix {
namespace {

// Set once the console or a signal asked the program to end. The event loop then ends as it does
// for the close box: the Settings are saved first.
bool g_end_requested = false;

// A requester or message box runs an event loop of its own; closing every open one returns
// control to the main loop, which then finds the close event.
void CloseModalDialogs() {
  for (int guard = 0; guard < 16; ++guard) {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr) break;
    modal->close();
  }
}

void RequestEnd() {
  CloseModalDialogs();
  if (g_end_requested) return;
  g_end_requested = true;
  if (QWidget* window = MainWindowWidget()) window->close();  // posts the close event
}

// Outside a job run the window watches the console: the relay's socket and the signal pipe
// wake it at once, and a timer catches a hang-up of the terminal, which may come without a
// signal. A run watches the same things itself.
class ConsoleWatch {
 public:
  explicit ConsoleWatch(TerminalConsole& console) : console_(console) {
    QObject::connect(&timer_, &QTimer::timeout, [this] { Check(); });
    timer_.start(250);
    Rearm();
  }

  // The descriptors change when a run opens the console.
  void Rearm() {
    notifiers_.clear();
    for (int fd : console_.IdleWatchDescriptors()) {
      auto notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
      QObject::connect(notifier.get(), &QSocketNotifier::activated, [this] { Check(); });
      notifiers_.push_back(std::move(notifier));
    }
  }

 private:
  void Check() {
    if (g_end_requested) {
      CloseModalDialogs();  // one may have opened after the request
      return;
    }
    if (console_.CheckIdle() != ConsoleState::kOpen) {
      notifiers_.clear();  // an ended relay stays readable
      RequestEnd();
    }
  }

  TerminalConsole& console_;
  QTimer timer_;
  std::vector<std::unique_ptr<QSocketNotifier>> notifiers_;
};

}  // namespace
}  // namespace wendrix

int main(int argc, char** argv) {
  using namespace wendrix;
  // --version is answered without a display; every other argument is ignored, and the toolkit
  // gets none.
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("wendrix %s\n", WENDRIX_VERSION);
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
  }
  InstallShutdownSignals();
  int toolkit_argc = 1;
  QApplication application(toolkit_argc, argv);
  // Lets the desktop match the window to its menu entry (and its icon, on Wayland).
  QGuiApplication::setDesktopFileName(QStringLiteral(WENDRIX_APP_ID));

  const std::string default_settings_path = DefaultSettingsPath();
  const int main_window = OpenMainWindow(0, 0, 630, 400);
  MainWindowSettings window;
  LoadSettingsAtStart(window, default_settings_path);

  auto console = std::make_unique<TerminalConsole>();
  JobHooks hooks{console.get(), [] { ProcessWindowWithoutInput(); }};
  ConsoleWatch watch(*console);

  while (!g_end_requested) {
    const int event = WaitWindowEvent();
    if (g_end_requested || event == kEventCloseWindow) break;
    if (EventWindow() != main_window) continue;
    const HandlerOutcome outcome = HandleMainWindowEvent(event, hooks);
    if (outcome == HandlerOutcome::kEndProgram) break;
    watch.Rearm();
  }

  // Shutdown: the Settings are read from the fields while the window still exists.
  SaveSettingsAtExit(window, default_settings_path);
  // Release: the window, then the console (its terminal window closes with our descriptors).
  CloseMainWindow();
  console.reset();
  return 0;
}
