#include "ui/main_window_controls.h"

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTextDocument>
#include <climits>
#include <cmath>

#include "engine/placeholders.h"

namespace wendrix {

QFont TahomaBoldFont(int points) {
  QFont font(QStringLiteral("Tahoma"));
  font.setStyleHint(QFont::SansSerif);
  font.setBold(true);
  double dpi = 96.0;
  if (QScreen* screen = QGuiApplication::primaryScreen()) dpi = screen->logicalDotsPerInchY();
  font.setPixelSize(static_cast<int>(std::lround(points * dpi / 72.0)));
  return font;
}

namespace detail {
namespace {

struct ControlRow {
  Gadget gadget;
  Kind kind;
  int x, y, w, h;
  const char* text;     // nullptr: a placeholder button's, from the placeholder table
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
    {StringParameters, Kind::kField, 170, 270, 440, 20, "",
     "Parameters to give to the command. Special strings will automatically be replaced with the "
     "result of the search"},
    {ButtonPathFilename, Kind::kButton, 170, 300, 110, 20, nullptr, nullptr},
    {ButtonPath, Kind::kButton, 290, 300, 60, 20, nullptr, nullptr},
    {ButtonFilename, Kind::kButton, 360, 300, 80, 20, nullptr, nullptr},
    {ButtonStart, Kind::kButton, 270, 370, 350, 20, "Start !", "Launch the processing"},
    {TextParameters, Kind::kLabel, 30, 270, 130, 20, "Parameters ", nullptr},
    {TextFilter, Kind::kLabel, 30, 90, 130, 20, "Filter (what to find)", nullptr},
    {CheckboxProcessFiles, Kind::kCheckBox, 170, 120, 100, 25, "Process files", nullptr},
    {CheckboxProcessFolders, Kind::kCheckBox, 280, 120, 100, 25, "Process folders", nullptr},
    {ButtonExtension, Kind::kButton, 450, 300, 90, 20, nullptr, nullptr},
    {FrameFiles, Kind::kFrame, 10, 40, 610, 110, "Files and folders to process", nullptr},
    {FrameCommand, Kind::kFrame, 10, 220, 610, 140, "Command to execute on each files and folders",
     nullptr},
    {ButtonHome, Kind::kButton, 170, 330, 70, 20, nullptr, nullptr},
    {ButtonTemp, Kind::kButton, 250, 330, 70, 20, nullptr, nullptr},
    {FrameDuplication, Kind::kFrame, 10, 160, 610, 50, "Duplication of the source path (optional)",
     nullptr},
    {ButtonSelectDestination, Kind::kButton, 20, 180, 140, 20, "Select destination", nullptr},
    {StringDestination, Kind::kField, 170, 180, 440, 20, "", "If empty, no duplication is made."},
    {ButtonDuplicationDestination, Kind::kButton, 330, 330, 160, 20, nullptr, nullptr},
    {ButtonLoadConfig, Kind::kButton, 10, 370, 100, 20, "Load Config", nullptr},
    {ButtonSaveConfig, Kind::kButton, 120, 370, 100, 20, "Save Config", nullptr},
};
static_assert(std::size(kControls) == GadgetCount);
static_assert([] {
  for (int i = 0; i < GadgetCount; ++i)
    if (kControls[i].gadget != i) return false;
  return true;
}());

// The placeholder that button appends, or nullptr.
const Placeholder* PlaceholderOf(Gadget button) {
  for (std::size_t i = 0; i < std::size(kPlaceholderButtons); ++i)
    if (kPlaceholderButtons[i] == button) return &kPlaceholders[i];
  return nullptr;
}

QString RowText(const ControlRow& row) {
  const Placeholder* placeholder = PlaceholderOf(row.gadget);
  return QString::fromUtf8(placeholder != nullptr ? placeholder->button : row.text);
}

const char* RowTooltip(const ControlRow& row) {
  const Placeholder* placeholder = PlaceholderOf(row.gadget);
  return placeholder != nullptr ? placeholder->tooltip : row.tooltip;
}

constexpr int kTitlePoints = 12;
constexpr int kStartPoints = 10;
constexpr int kControlPoints = 8;
constexpr int kSmallestPixels = 8;

// Tooltips guess between plain and rich text; a text that could pass for markup is converted so
// that it shows literally.
QString PlainToolTip(const QString& text) {
  return Qt::mightBeRichText(text) ? Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal) : text;
}

// A click anywhere on the control's area toggles it, not only on the box and its caption.
class CheckBox : public QCheckBox {
 public:
  using QCheckBox::QCheckBox;

 protected:
  bool hitButton(const QPoint& position) const override { return rect().contains(position); }
};

QWidget* MakeWidget(const ControlRow& row, QWidget* parent) {
  const QString text = RowText(row);
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
      QObject::connect(field, &QLineEdit::textEdited, field, [gadget] { PostGadgetEvent(gadget); });
      widget = field;
      break;
    }
    case Kind::kButton: {
      auto* button = new QPushButton(EscapeMnemonic(text), parent);
      button->setAutoDefault(false);
      const int gadget = row.gadget;
      QObject::connect(button, &QPushButton::clicked, button,
                       [gadget] { PostGadgetEvent(gadget); });
      widget = button;
      break;
    }
    case Kind::kCheckBox: {
      auto* box = new CheckBox(EscapeMnemonic(text), parent);
      const int gadget = row.gadget;
      QObject::connect(box, &QCheckBox::clicked, box, [gadget] { PostGadgetEvent(gadget); });
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
  if (const char* tooltip = RowTooltip(row))
    widget->setToolTip(PlainToolTip(QString::fromUtf8(tooltip)));
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

}  // namespace

QString EscapeMnemonic(QString text) { return text.replace(u'&', QStringLiteral("&&")); }
QString UnescapeMnemonic(QString text) {
  return text.replace(QStringLiteral("&&"), QStringLiteral("&"));
}

QWidget* CreateControl(Gadget gadget, QWidget* window) {
  QWidget* widget = MakeWidget(kControls[gadget], window);
  StyleControl(gadget, widget);
  return widget;
}

Kind ControlKind(Gadget gadget) { return kControls[gadget].kind; }

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
      if (metrics.horizontalAdvance(RowText(row)) > CaptionRoom(row, style)) fits = false;
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

}  // namespace detail
}  // namespace wendrix
