#include "ui/main_window.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QScreen>
#include <array>
#include <deque>

#include "engine/settings.h"
#include "ui/byte_text.h"  // texts go in and come back byte for byte
#include "ui/main_window_controls.h"

namespace wendrix {
using detail::Kind;

namespace {

struct WindowEvent {
  int code;
  int window;
  int gadget;
};

class MainWindow;

struct WindowState {
  QPointer<MainWindow> window;
  std::array<QPointer<QWidget>, GadgetCount> gadgets;
  std::array<Kind, GadgetCount> kinds{};
  std::deque<WindowEvent> queue;
  int event_window = 0;
  int event_gadget = -1;
  bool input_held = false;  // ProcessWindowWithoutInput left user input waiting
};

WindowState& State() {
  static WindowState state;
  return state;
}

void PostEvent(int code, int gadget) { State().queue.push_back({code, kMainWindowId, gadget}); }

// Never destroyed by a close request: it only posts the close event. CloseMainWindow lifts that.
class MainWindow : public QWidget {
 public:
  MainWindow()
      : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                             Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {}

  void AllowClose() { close_allowed_ = true; }

 protected:
  void closeEvent(QCloseEvent* event) override {
    if (close_allowed_) {
      event->accept();
      return;
    }
    event->ignore();
    PostEvent(kEventCloseWindow, -1);
  }

  bool event(QEvent* event) override {
    const bool result = QWidget::event(event);
    // The window manager's frame is known only once the window is mapped; centre again then, once,
    // so that the frame does not push the window off centre.
    if (!recentred_ && isVisible() &&
        (event->type() == QEvent::Move || event->type() == QEvent::Resize ||
         event->type() == QEvent::Show)) {
      const QRect frame = frameGeometry();
      if (frame.size() != size()) {
        recentred_ = true;
        if (QScreen* screen = this->screen())
          move(CentredPosition(screen->availableGeometry(), frame.size()));
      }
    }
    return result;
  }

 private:
  bool close_allowed_ = false;
  bool recentred_ = false;
};

}  // namespace

void detail::PostGadgetEvent(int gadget) { PostEvent(kEventGadget, gadget); }

QPoint CentredPosition(const QRect& available, const QSize& outer) {
  const int width = available.width();
  const int height = available.height();
  return {available.x() + (width - std::min(width, outer.width())) / 2,
          available.y() + (height - std::min(height, outer.height())) / 2};
}

int OpenMainWindow(int x, int y, int width, int height) {
  WindowState& state = State();
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) return 0;
  if (state.window) return kMainWindowId;

  auto* window = new MainWindow;
  window->setWindowTitle(QStringLiteral("Wendrix"));
  window->setWindowIcon(detail::ApplicationIcon());
  window->setCursor(Qt::ArrowCursor);
  window->setAttribute(Qt::WA_AlwaysShowToolTips);
  window->setFont(detail::ControlFont(window->style()));
  window->setFixedSize(width, height);
  window->move(x, y);
  state.window = window;
  state.queue.clear();
  state.event_window = 0;
  state.event_gadget = -1;

  for (int gadget = 0; gadget < GadgetCount; ++gadget) {
    state.gadgets[gadget] = detail::CreateControl(static_cast<Gadget>(gadget), window);
    state.kinds[gadget] = detail::ControlKind(static_cast<Gadget>(gadget));
  }
  // Frames come after the controls they surround; below them they never take their clicks.
  for (int gadget = 0; gadget < GadgetCount; ++gadget)
    if (state.kinds[gadget] == Kind::kFrame) state.gadgets[gadget]->lower();
  const Settings initial;
  SetGadgetText(StringParameters, initial.parameters);
  SetGadgetState(CheckboxProcessFiles, initial.process_files);
  SetGadgetState(CheckboxProcessFolders, initial.process_folders);

  QScreen* screen = QGuiApplication::primaryScreen();
  if (screen != nullptr)
    window->move(CentredPosition(screen->availableGeometry(), window->frameGeometry().size()));
  // With the focus on the window itself no control has it, and the first Tab goes to the first
  // control. Set before show(): activation would otherwise hand it to the first control.
  window->setFocus();
  window->show();
  window->raise();
  window->activateWindow();
  return kMainWindowId;
}

void CloseMainWindow() {
  WindowState& state = State();
  if (state.window) {
    state.window->AllowClose();
    state.window->close();
    delete state.window.data();
  }
  state.gadgets = {};
  state.queue.clear();
}

QWidget* MainWindowWidget() { return State().window.data(); }

QWidget* GadgetWidget(int gadget) {
  if (gadget < 0 || gadget >= GadgetCount) return nullptr;
  return State().gadgets[gadget].data();
}

int WaitWindowEvent() {
  WindowState& state = State();
  while (state.queue.empty()) {
    if (!state.window) {
      state.event_window = 0;
      state.event_gadget = -1;
      return kEventCloseWindow;
    }
    // Input held back during a run sits in the window system's own queue, which the dispatcher
    // looks at only when woken: without this the wait would block until some unrelated event.
    if (state.input_held) {
      state.input_held = false;
      if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance())
        dispatcher->wakeUp();
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
  const WindowEvent event = state.queue.front();
  state.queue.pop_front();
  state.event_window = event.window;
  state.event_gadget = event.gadget;
  return event.code;
}

int EventWindow() { return State().event_window; }
int EventGadget() { return State().event_gadget; }
bool WindowEventPending() { return !State().queue.empty(); }

std::string GetGadgetText(int gadget) {
  QWidget* widget = GadgetWidget(gadget);
  if (widget == nullptr) return {};
  switch (State().kinds[gadget]) {
    case Kind::kLabel:
      return BytesFromQt(static_cast<QLabel*>(widget)->text());
    case Kind::kField:
      return BytesFromQt(static_cast<QLineEdit*>(widget)->text());
    case Kind::kButton:
    case Kind::kCheckBox:
      return BytesFromQt(detail::UnescapeMnemonic(static_cast<QAbstractButton*>(widget)->text()));
    case Kind::kFrame:
      return BytesFromQt(detail::UnescapeMnemonic(static_cast<QGroupBox*>(widget)->title()));
  }
  return {};
}

void SetGadgetText(int gadget, const std::string& text) {
  QWidget* widget = GadgetWidget(gadget);
  if (widget == nullptr) return;
  const QString value = BytesToQt(text);
  switch (State().kinds[gadget]) {
    case Kind::kLabel:
      static_cast<QLabel*>(widget)->setText(value);
      break;
    case Kind::kField: {
      auto* field = static_cast<QLineEdit*>(widget);
      field->setText(value);
      // Show the start of a long text, as a freshly set field does.
      field->setCursorPosition(0);
      break;
    }
    case Kind::kButton:
    case Kind::kCheckBox:
      static_cast<QAbstractButton*>(widget)->setText(detail::EscapeMnemonic(value));
      break;
    case Kind::kFrame:
      static_cast<QGroupBox*>(widget)->setTitle(detail::EscapeMnemonic(value));
      break;
  }
}

int GetGadgetState(int gadget) {
  QWidget* widget = GadgetWidget(gadget);
  if (widget == nullptr || State().kinds[gadget] != Kind::kCheckBox) return 0;
  return static_cast<QCheckBox*>(widget)->isChecked() ? 1 : 0;
}

void SetGadgetState(int gadget, int state) {
  QWidget* widget = GadgetWidget(gadget);
  if (widget == nullptr || State().kinds[gadget] != Kind::kCheckBox) return;
  static_cast<QCheckBox*>(widget)->setChecked(state != 0);
}

void ProcessWindowWithoutInput() {
  State().input_held = true;
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

}  // namespace wendrix
