// The desktop program: start-up, the event loop until the window's close, and ending in order,
// also when the console is closed or interrupted, a signal asks the program to end, the session
// ends or the display goes away.
#include <unistd.h>

#include <QApplication>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "console_title.h"
#include "services/clock.h"
#include "services/display_probe.h"
#include "services/shutdown_signals.h"
#include "services/terminal_console.h"
#include "services/terminal_launchers.h"
#include "settings/settings_flows.h"
#include "ui/main_window.h"
#include "ui/main_window_actions.h"
#include "ui/requesters.h"
#include "wendrix/version.h"

namespace wendrix {
namespace {

// Set once the console or a signal asked the program to end. The event loop then ends as it does
// for the close box: the Settings are saved first.
bool g_end_requested = false;

// The default settings file, known once the window is open.
std::string g_settings_path;
bool g_saved = false;

// The Settings written at the end, once, by whichever end comes first: the event loop's, or the
// toolkit leaving the process when the display went away, possibly from a thread of its own. A
// second end waits until the first one has written them.
void SaveSettingsOnce() {
  static std::recursive_mutex saving;
  const std::lock_guard<std::recursive_mutex> lock(saving);
  if (g_settings_path.empty() || MainWindowWidget() == nullptr || g_saved) return;
  g_saved = true;
  MainWindowSettings window;
  SaveSettingsAtExit(window, g_settings_path);
}

// The toolkit's own handler, to which ours pass the messages on.
QtMessageHandler g_toolkit_messages = nullptr;

// Messages while the toolkit starts are held: when it cannot open the display they give way to
// one line of ours, and the process ends with 1 instead of an abort.
std::vector<std::string>& HeldMessages() {
  static std::vector<std::string> held;
  return held;
}

void StartingMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (type != QtFatalMsg) {
    HeldMessages().push_back(qFormatLogMessage(type, context, text).toStdString());
    return;
  }
  std::string reason = text.toStdString();
  reason = reason.substr(0, reason.find('\n'));
  // The toolkit's own warning tells more than its last word.
  for (const std::string& held : HeldMessages())
    if (held.find("connect") != std::string::npos) reason = held;
  std::fprintf(stderr, "wendrix: cannot open the window: %s\n", reason.c_str());
  _exit(1);
}

// When the display connection breaks the toolkit ends the process itself: with exit() for X,
// whose handlers then meet objects already destroyed, and with _exit() for Wayland, from a thread
// of its own, which runs nothing at all. Its warning comes just before, while everything still
// stands: the Settings are saved then.
bool TellsTheDisplayIsGone(QtMsgType type, const QString& text) {
  if (type != QtWarningMsg && type != QtCriticalMsg && type != QtFatalMsg) return false;
  return text.startsWith(QLatin1String("The X11 connection")) ||
         text.startsWith(QLatin1String("The Wayland connection"));
}

void RunningMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (TellsTheDisplayIsGone(type, text)) SaveSettingsOnce();
  g_toolkit_messages(type, context, text);
}

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

// The console of the desktop program: while a console window is awaited the window repaints, as
// during a run, and the user is told once when output has nowhere to show.
std::unique_ptr<TerminalConsole> MakeConsole() {
  TerminalConsoleOptions options;
  options.idle = [] { ProcessWindowWithoutInput(); };
  options.no_console_window = [] {
    ShowMessageBox("Alert", NoConsoleWindowText(DefaultTerminalLaunchers()), kMbOk);
  };
  return std::make_unique<TerminalConsole>(std::move(options));
}

}  // namespace
}  // namespace wendrix

int main(int argc, char** argv) {
  using namespace wendrix;
  // --version is answered without a display; every other argument is ignored, and the toolkit
  // gets none but the platform chosen here.
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("wendrix %s\n", WENDRIX_VERSION);
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
  }
  const DisplayChoice display = ChooseDisplay(CurrentDisplayEnvironment());
  if (!display.error.empty()) {
    std::fprintf(stderr, "%s\n", display.error.c_str());
    return 1;
  }
  InstallShutdownSignals();
  std::string platform_option = "-platform", platform = display.platform;
  std::vector<char*> toolkit_argv{argv[0]};
  if (!platform.empty()) {
    toolkit_argv.push_back(platform_option.data());
    toolkit_argv.push_back(platform.data());
  }
  int toolkit_argc = static_cast<int>(toolkit_argv.size());
  toolkit_argv.push_back(nullptr);
  g_toolkit_messages = qInstallMessageHandler(StartingMessage);
  QApplication application(toolkit_argc, toolkit_argv.data());
  qInstallMessageHandler(RunningMessage);
  for (const std::string& held : HeldMessages()) std::fprintf(stderr, "%s\n", held.c_str());
  HeldMessages().clear();
  // Lets the desktop match the window to its menu entry (and its icon, on Wayland).
  QGuiApplication::setDesktopFileName(QStringLiteral(WENDRIX_APP_ID));

  const std::string default_settings_path = DefaultSettingsPath();
  const int main_window = OpenMainWindow(0, 0, 630, 400);
  MainWindowSettings window;
  g_settings_path = default_settings_path;
  // The session manager asks before the session ends; the values typed so far are kept then,
  // and again at the end should the session go on.
  QObject::connect(&application, &QGuiApplication::commitDataRequest, [&](QSessionManager&) {
    MainWindowSettings fields;
    SaveSettingsAtExit(fields, default_settings_path);
  });

  std::unique_ptr<TerminalConsole> console = MakeConsole();
  ConsoleTitle title([&console](const std::string& text) { console->SetTitle(text); });
  JobHooks hooks{console.get(), [&title] {
                   title.Idle(NowMs());
                   ProcessWindowWithoutInput();
                 }};
  hooks.command_starting = [&title](const std::string& full_path, const std::vector<std::string>&) {
    title.Starting(full_path, NowMs());
  };
  hooks.command_ended = [&title](const std::string&, const CommandOutcome& outcome) {
    title.Ended(outcome);
  };
  // Watching from before the load: a signal while its message box is shown ends the program.
  ConsoleWatch watch(*console);
  LoadSettingsAtStart(window, default_settings_path);

  while (!g_end_requested) {
    const int event = WaitWindowEvent();
    if (g_end_requested || event == kEventCloseWindow) break;
    if (EventWindow() != main_window) continue;
    const HandlerOutcome outcome = HandleMainWindowEvent(event, hooks);
    if (outcome == HandlerOutcome::kEndProgram) break;
    if (event == kEventGadget && EventGadget() == ButtonStart) title.RunEnded();
    watch.Rearm();
  }

  // Shutdown: the Settings are read from the fields while the window still exists.
  SaveSettingsOnce();
  // Release: the window, then the console (its terminal window closes with our descriptors).
  CloseMainWindow();
  console.reset();
  return 0;
}
