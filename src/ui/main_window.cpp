#include "ui/main_window.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTextDocument>
#include <array>
#include <climits>
#include <cmath>
#include <deque>

#include "ui/byte_text.h"  // texts go in and come back byte for byte

namespace wendrix {
namespace {

enum class Kind { kLabel, kField, kButton, kCheckBox, kFrame };

struct ControlRow {
  Gadget gadget;
  Kind kind;
  int x, y, w, h;
  const char* text;
  const char* tooltip;  // nullptr: none
};

// The controls in creation order; the Tab order follows it.
constexpr ControlRow kControls[] = {
    {TextTitle, Kind::kLabel, 10, 10, 610, 24, "Wendrix", nullptr},
    {ButtonSelectPath, Kind::kButton, 20, 60, 140, 20, "Select path to process", nullptr},
    {StringPath, Kind::kField, 170, 60, 440, 20, "", "Path to explore"},
    {StringSearchText, Kind::kField, 170, 90, 440, 20, "",
     "File or folder name to search (eg doc, Windows, temp...), can be filtered with jokers (eg "
     "*.jpg). Blank for all (or *.*)"},
    {ButtonSelectCommand, Kind::kButton, 20, 240, 140, 20, "Select a command", nullptr},
    {StringCommand, Kind::kField, 170, 240, 440, 20, "",
     "Command to execute on each file found. %APPDIR% is replaced by the Wendrix path."},
    {StringParameters, Kind::kField, 170, 270, 440, 20, "\"%f\"",
     "Parameters to give to the command. Special strings will automatically be replaced with the "
     "result of the search"},
    {ButtonPathFilename, Kind::kButton, 170, 300, 110, 20, "%f : Path+Filename",
     "Special string replaced by the full path to found entries"},
    {ButtonPath, Kind::kButton, 290, 300, 60, 20, "%p : Path",
     "Special string replaced by path only"},
    {ButtonFilename, Kind::kButton, 360, 300, 80, 20, "%n : Filename",
     "Special string replaced by file name without path and without extension"},
    {ButtonStart, Kind::kButton, 270, 370, 350, 20, "Start !", "Launch the processing"},
    {TextParameters, Kind::kLabel, 30, 270, 130, 20, "Parameters ", nullptr},
    {TextFilter, Kind::kLabel, 30, 90, 130, 20, "Filter (what to find)", nullptr},
    {CheckboxProcessFiles, Kind::kCheckBox, 170, 120, 100, 25, "Process files", nullptr},
    {CheckboxProcessFolders, Kind::kCheckBox, 280, 120, 100, 25, "Process folders", nullptr},
    {ButtonExtension, Kind::kButton, 450, 300, 90, 20, "%e : Extension",
     "Special string replaced by file extension, like jpg, mp3, exe (no dot)"},
    {FrameFiles, Kind::kFrame, 10, 40, 610, 110, "Files and folders to process", nullptr},
    {FrameCommand, Kind::kFrame, 10, 220, 610, 140, "Command to execute on each files and folders",
     nullptr},
    {ButtonHome, Kind::kButton, 170, 330, 70, 20, "%h : Home",
     "Special string replaced by the user's home directory"},
    {ButtonTemp, Kind::kButton, 250, 330, 70, 20, "%t : Temp",
     "Special string replaced by the temp directory"},
    {FrameDuplication, Kind::kFrame, 10, 160, 610, 50, "Duplication of the source path (optional)",
     nullptr},
    {ButtonSelectDestination, Kind::kButton, 20, 180, 140, 20, "Select destination", nullptr},
    {StringDestination, Kind::kField, 170, 180, 440, 20, "", "If empty, no duplication is made."},
    {ButtonDuplicationDestination, Kind::kButton, 330, 330, 160, 20, "%d : Duplication Destination",
     "Special string replaced by the duplication path"},
    {ButtonLoadConfig, Kind::kButton, 10, 370, 100, 20, "Load Config", nullptr},
    {ButtonSaveConfig, Kind::kButton, 120, 370, 100, 20, "Save Config", nullptr},
};
static_assert(std::size(kControls) == GadgetCount);

constexpr int kTitlePoints = 12;
constexpr int kStartPoints = 10;
constexpr int kControlPoints = 8;
constexpr int kSmallestPixels = 8;

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

// Buttons, check boxes and frame titles read "&" as a mnemonic mark; doubling shows it as is.
QString EscapeMnemonic(QString text) { return text.replace(u'&', QStringLiteral("&&")); }
QString UnescapeMnemonic(QString text) {
  return text.replace(QStringLiteral("&&"), QStringLiteral("&"));
}

// Tooltips guess between plain and rich text; a text that could pass for markup is converted so
// that it shows literally.
QString PlainToolTip(const QString& text) {
  return Qt::mightBeRichText(text) ? Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal) : text;
}

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

// A click anywhere on the control's area toggles it, not only on the box and its caption.
class CheckBox : public QCheckBox {
 public:
  using QCheckBox::QCheckBox;

 protected:
  bool hitButton(const QPoint& position) const override { return rect().contains(position); }
};

QWidget* CreateControl(const ControlRow& row, QWidget* parent) {
  const QString text = QString::fromUtf8(row.text);
  QWidget* widget = nullptr;
  switch (row.kind) {
    case Kind::kLabel: {
      auto* label = new QLabel(parent);
      label->setTextFormat(Qt::PlainText);
      label->setText(text);
      label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
      widget = label;
      break;
    }
    case Kind::kField: {
      auto* field = new QLineEdit(parent);
      // No limit of our own: a longer setting must come back whole.
      field->setMaxLength(INT_MAX);
      field->setText(text);
      field->setCursorPosition(0);
      const int gadget = row.gadget;
      QObject::connect(field, &QLineEdit::textEdited, field,
                       [gadget] { PostEvent(kEventGadget, gadget); });
      widget = field;
      break;
    }
    case Kind::kButton: {
      auto* button = new QPushButton(EscapeMnemonic(text), parent);
      button->setAutoDefault(false);
      const int gadget = row.gadget;
      QObject::connect(button, &QPushButton::clicked, button,
                       [gadget] { PostEvent(kEventGadget, gadget); });
      widget = button;
      break;
    }
    case Kind::kCheckBox: {
      auto* box = new CheckBox(EscapeMnemonic(text), parent);
      const int gadget = row.gadget;
      QObject::connect(box, &QCheckBox::clicked, box,
                       [gadget] { PostEvent(kEventGadget, gadget); });
      widget = box;
      break;
    }
    case Kind::kFrame: {
      auto* frame = new QGroupBox(EscapeMnemonic(text), parent);
      frame->setFocusPolicy(Qt::NoFocus);
      // The caption sits in the top edge of the rectangle, so that the rectangle spans the
      // frame's whole height.
      frame->setStyleSheet(QStringLiteral(
          "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: 7px; }"
          "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
          " left: 8px; padding: 0px 2px; }"));
      widget = frame;
      break;
    }
  }
  widget->setGeometry(row.x, row.y, row.w, row.h);
  if (row.tooltip != nullptr) widget->setToolTip(PlainToolTip(QString::fromUtf8(row.tooltip)));
  return widget;
}

void StyleControl(Gadget gadget, QWidget* widget) {
  if (gadget == TextTitle) {
    auto* label = static_cast<QLabel*>(widget);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, QColor(255, 255, 255));
    palette.setColor(QPalette::Window, QColor(0, 128, 255));
    label->setPalette(palette);
    label->setAutoFillBackground(true);
    label->setAlignment(Qt::AlignCenter);
    label->setFrameStyle(QFrame::WinPanel | QFrame::Sunken);
    label->setFont(TahomaBoldFont(kTitlePoints));
  } else if (gadget == ButtonStart) {
    widget->setFont(TahomaBoldFont(kStartPoints));
  } else if (gadget == CheckboxProcessFiles) {
    static_cast<QCheckBox*>(widget)->setChecked(true);
  }
}

// Horizontal room for a control's caption: its width less the frame, indicator or title inset that
// the style draws around it.
int CaptionRoom(const ControlRow& row, const QStyle* style) {
  switch (row.kind) {
    case Kind::kButton:
      return row.w - 8;
    case Kind::kCheckBox:
      return row.w - style->pixelMetric(QStyle::PM_IndicatorWidth) -
             style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing) - 2;
    case Kind::kFrame:
      return row.w - 20;
    case Kind::kLabel:
    case Kind::kField:
      return row.w - 4;
  }
  return row.w;
}

// The font of every control but the banner and "Start !": the desktop's face at the classic
// dialog size of 8 points, semi-condensed, made smaller still if a caption would not fit.
QFont ControlFont(const QStyle* style) {
  QFont font = QApplication::font();
  double dpi = 96.0;
  if (QScreen* screen = QGuiApplication::primaryScreen()) dpi = screen->logicalDotsPerInchY();
  int pixels = static_cast<int>(std::lround(kControlPoints * dpi / 72.0));
  font.setStretch(QFont::SemiCondensed);
  for (;; --pixels) {
    font.setPixelSize(pixels);
    const QFontMetrics metrics(font);
    bool fits = true;
    for (const ControlRow& row : kControls) {
      if (row.gadget == TextTitle || row.gadget == ButtonStart) continue;
      if (metrics.horizontalAdvance(QString::fromUtf8(row.text)) > CaptionRoom(row, style))
        fits = false;
    }
    if (fits || pixels <= kSmallestPixels) return font;
  }
}

QIcon ApplicationIcon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48})
    icon.addFile(QStringLiteral(":/wendrix/hicolor/%1x%1/apps/wendrix.png").arg(size),
                 QSize(size, size));
  return icon;
}

}  // namespace

QPoint CentredPosition(const QRect& available, const QSize& outer) {
  const int width = available.width();
  const int height = available.height();
  return {available.x() + (width - std::min(width, outer.width())) / 2,
          available.y() + (height - std::min(height, outer.height())) / 2};
}

QFont TahomaBoldFont(int points) {
  QFont font(QStringLiteral("Tahoma"));
  font.setStyleHint(QFont::SansSerif);
  font.setBold(true);
  double dpi = 96.0;
  if (QScreen* screen = QGuiApplication::primaryScreen()) dpi = screen->logicalDotsPerInchY();
  font.setPixelSize(static_cast<int>(std::lround(points * dpi / 72.0)));
  return font;
}

int OpenMainWindow(int x, int y, int width, int height) {
  WindowState& state = State();
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) return 0;
  if (state.window) return kMainWindowId;

  auto* window = new MainWindow;
  window->setWindowTitle(QStringLiteral("Wendrix"));
  window->setWindowIcon(ApplicationIcon());
  window->setCursor(Qt::ArrowCursor);
  window->setAttribute(Qt::WA_AlwaysShowToolTips);
  window->setFont(ControlFont(window->style()));
  window->setFixedSize(width, height);
  window->move(x, y);
  state.window = window;
  state.queue.clear();
  state.event_window = 0;
  state.event_gadget = -1;

  for (const ControlRow& row : kControls) {
    QWidget* widget = CreateControl(row, window);
    StyleControl(row.gadget, widget);
    state.gadgets[row.gadget] = widget;
    state.kinds[row.gadget] = row.kind;
  }
  // Frames come after the controls they surround; below them they never take their clicks.
  for (const ControlRow& row : kControls)
    if (row.kind == Kind::kFrame) state.gadgets[row.gadget]->lower();

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
      return BytesFromQt(UnescapeMnemonic(static_cast<QAbstractButton*>(widget)->text()));
    case Kind::kFrame:
      return BytesFromQt(UnescapeMnemonic(static_cast<QGroupBox*>(widget)->title()));
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
      static_cast<QAbstractButton*>(widget)->setText(EscapeMnemonic(value));
      break;
    case Kind::kFrame:
      static_cast<QGroupBox*>(widget)->setTitle(EscapeMnemonic(value));
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
