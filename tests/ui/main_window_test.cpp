#include "ui/main_window.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTest>
#include <QTimer>

#include "test_support.h"
#include "ui/ui_test_support.h"

namespace wendrix {
namespace {

enum Kind { L, F, B, C, G };  // label, field, button, check box, frame

struct Expected {
  Gadget gadget;
  Kind kind;
  int x, y, w, h;
  const char* text;
  const char* tooltip;
};

const Expected kTable[] = {
    {TextTitle, L, 10, 10, 610, 24, "Wendrix", ""},
    {ButtonSelectPath, B, 20, 60, 140, 20, "Select path to process", ""},
    {StringPath, F, 170, 60, 440, 20, "", "Path to explore"},
    {StringSearchText, F, 170, 90, 440, 20, "",
     "File or folder name to search (eg doc, Windows, temp...), can be filtered with jokers (eg "
     "*.jpg). Blank for all (or *.*)"},
    {ButtonSelectCommand, B, 20, 240, 140, 20, "Select a command", ""},
    {StringCommand, F, 170, 240, 440, 20, "",
     "Command to execute on each file found. %APPDIR% is replaced by the Wendrix path."},
    {StringParameters, F, 170, 270, 440, 20, "\"%f\"",
     "Parameters to give to the command. Special strings will automatically be replaced with the "
     "result of the search"},
    {ButtonPathFilename, B, 170, 300, 110, 20, "%f : Path+Filename",
     "Special string replaced by the full path to found entries"},
    {ButtonPath, B, 290, 300, 60, 20, "%p : Path", "Special string replaced by path only"},
    {ButtonFilename, B, 360, 300, 80, 20, "%n : Filename",
     "Special string replaced by file name without path and without extension"},
    {ButtonStart, B, 270, 370, 350, 20, "Start !", "Launch the processing"},
    {TextParameters, L, 30, 270, 130, 20, "Parameters ", ""},
    {TextFilter, L, 30, 90, 130, 20, "Filter (what to find)", ""},
    {CheckboxProcessFiles, C, 170, 120, 100, 25, "Process files", ""},
    {CheckboxProcessFolders, C, 280, 120, 100, 25, "Process folders", ""},
    {ButtonExtension, B, 450, 300, 90, 20, "%e : Extension",
     "Special string replaced by file extension, like jpg, mp3, exe (no dot)"},
    {FrameFiles, G, 10, 40, 610, 110, "Files and folders to process", ""},
    {FrameCommand, G, 10, 220, 610, 140, "Command to execute on each files and folders", ""},
    {ButtonHome, B, 170, 330, 70, 20, "%h : Home",
     "Special string replaced by the user's home directory"},
    {ButtonTemp, B, 250, 330, 70, 20, "%t : Temp", "Special string replaced by the temp directory"},
    {FrameDuplication, G, 10, 160, 610, 50, "Duplication of the source path (optional)", ""},
    {ButtonSelectDestination, B, 20, 180, 140, 20, "Select destination", ""},
    {StringDestination, F, 170, 180, 440, 20, "", "If empty, no duplication is made."},
    {ButtonDuplicationDestination, B, 330, 330, 160, 20, "%d : Duplication Destination",
     "Special string replaced by the duplication path"},
    {ButtonLoadConfig, B, 10, 370, 100, 20, "Load Config", ""},
    {ButtonSaveConfig, B, 120, 370, 100, 20, "Save Config", ""},
};

const Gadget kButtons[] = {ButtonSelectPath,
                           ButtonSelectCommand,
                           ButtonPathFilename,
                           ButtonPath,
                           ButtonFilename,
                           ButtonStart,
                           ButtonExtension,
                           ButtonHome,
                           ButtonTemp,
                           ButtonSelectDestination,
                           ButtonDuplicationDestination,
                           ButtonLoadConfig,
                           ButtonSaveConfig};

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::EnsureApplication();
    ASSERT_EQ(OpenMainWindow(0, 0, 630, 400), kMainWindowId);
    window_ = MainWindowWidget();
    ASSERT_NE(window_, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_));
  }
  void TearDown() override { CloseMainWindow(); }

  // A click through the window's own hit-testing, at a point given in client coordinates.
  void ClickAt(QPoint point) {
    QTest::mouseClick(window_->windowHandle(), Qt::LeftButton, {}, point);
  }
  void ClickGadget(int gadget) { ClickAt(GadgetWidget(gadget)->geometry().center()); }

  std::vector<int> DrainGadgetEvents() {
    std::vector<int> gadgets;
    while (WindowEventPending()) {
      EXPECT_EQ(WaitWindowEvent(), kEventGadget);
      gadgets.push_back(EventGadget());
    }
    return gadgets;
  }

  QWidget* window_ = nullptr;
};

TEST_F(MainWindowTest, EveryControlMatchesTheTable) {
  ASSERT_EQ(std::size(kTable), static_cast<size_t>(GadgetCount));
  const QFont gui_font = window_->font();
  for (const Expected& row : kTable) {
    SCOPED_TRACE(row.text);
    QWidget* widget = GadgetWidget(row.gadget);
    ASSERT_NE(widget, nullptr);
    EXPECT_EQ(widget->parentWidget(), window_);
    EXPECT_EQ(widget->geometry(), QRect(row.x, row.y, row.w, row.h));
    EXPECT_EQ(GetGadgetText(row.gadget), row.text);
    EXPECT_EQ(widget->toolTip().toStdString(), row.tooltip);
    EXPECT_TRUE(widget->isVisible() && widget->isEnabled());
    switch (row.kind) {
      case L:
        EXPECT_NE(qobject_cast<QLabel*>(widget), nullptr);
        EXPECT_EQ(widget->focusPolicy(), Qt::NoFocus);
        break;
      case F:
        EXPECT_NE(qobject_cast<QLineEdit*>(widget), nullptr);
        EXPECT_FALSE(static_cast<QLineEdit*>(widget)->isReadOnly());
        break;
      case B:
        EXPECT_NE(qobject_cast<QPushButton*>(widget), nullptr);
        break;
      case C:
        EXPECT_NE(qobject_cast<QCheckBox*>(widget), nullptr);
        break;
      case G:
        EXPECT_NE(qobject_cast<QGroupBox*>(widget), nullptr);
        EXPECT_EQ(widget->focusPolicy(), Qt::NoFocus);
        break;
    }
    if (row.gadget != TextTitle && row.gadget != ButtonStart) {
      EXPECT_EQ(widget->font(), gui_font);
    }
  }
  EXPECT_EQ(GetGadgetState(CheckboxProcessFiles), 1);
  EXPECT_EQ(GetGadgetState(CheckboxProcessFolders), 0);
}

TEST_F(MainWindowTest, BannerAndStartUseTheBoldFontsAndTheBannerColours) {
  const double dpi = QGuiApplication::primaryScreen()->logicalDotsPerInchY();
  auto* title = static_cast<QLabel*>(GadgetWidget(TextTitle));
  EXPECT_TRUE(title->font().bold());
  EXPECT_EQ(title->font().pixelSize(), std::lround(12 * dpi / 72));
  EXPECT_TRUE(GadgetWidget(ButtonStart)->font().bold());
  EXPECT_EQ(GadgetWidget(ButtonStart)->font().pixelSize(), std::lround(10 * dpi / 72));
  if (dpi == 96) {
    EXPECT_EQ(title->font().pixelSize(), 16);
    EXPECT_EQ(GadgetWidget(ButtonStart)->font().pixelSize(), 13);
  }
  EXPECT_EQ(title->palette().color(QPalette::WindowText), QColor(255, 255, 255));
  EXPECT_EQ(title->palette().color(QPalette::Window), QColor(0, 128, 255));
  EXPECT_TRUE(title->alignment() & Qt::AlignHCenter);
  EXPECT_EQ(title->frameShadow(), QFrame::Sunken);
  EXPECT_EQ(static_cast<QLabel*>(GadgetWidget(TextFilter))->alignment() & Qt::AlignRight,
            Qt::AlignRight);
}

TEST_F(MainWindowTest, EveryTextFitsItsControl) {
  for (const Expected& row : kTable) {
    if (row.kind == F || row.text[0] == '\0') continue;
    SCOPED_TRACE(row.text);
    QWidget* widget = GadgetWidget(row.gadget);
    const QFontMetrics metrics(widget->font());
    const int text_width = metrics.horizontalAdvance(QString::fromUtf8(row.text));
    int room = row.w;
    if (row.kind == B) room -= 6;  // the button's frame
    if (row.kind == C) room -= widget->style()->pixelMetric(QStyle::PM_IndicatorWidth) + 4;
    if (row.kind == G) room -= 16;  // the title's inset
    EXPECT_LE(text_width, room);
    EXPECT_LE(metrics.height(), row.h);
  }
}

TEST_F(MainWindowTest, WindowHasFixedClientSizeTitleBarOnlyAndIcon) {
  EXPECT_EQ(window_->windowTitle(), "Wendrix");
  EXPECT_EQ(window_->size(), QSize(630, 400));
  EXPECT_EQ(window_->minimumSize(), QSize(630, 400));
  EXPECT_EQ(window_->maximumSize(), QSize(630, 400));
  const Qt::WindowFlags flags = window_->windowFlags();
  EXPECT_TRUE(flags & Qt::WindowTitleHint);
  EXPECT_TRUE(flags & Qt::WindowSystemMenuHint);
  EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(window_->cursor().shape(), Qt::ArrowCursor);
  const QIcon icon = window_->windowIcon();
  ASSERT_FALSE(icon.isNull());
  for (int size : {16, 24, 32, 48}) {
    const QImage image = icon.pixmap(size).toImage();
    EXPECT_EQ(image.size(), QSize(size, size));
    EXPECT_TRUE(image.hasAlphaChannel());
    EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);  // transparent corner
  }
}

TEST(CentredPositionTest, CentresAndNeverGoesAboveOrLeftOfTheScreen) {
  EXPECT_EQ(CentredPosition(QRect(0, 0, 1280, 1024), QSize(636, 429)), QPoint(322, 297));
  EXPECT_EQ(CentredPosition(QRect(0, 0, 1281, 1025), QSize(630, 400)), QPoint(325, 312));
  EXPECT_EQ(CentredPosition(QRect(0, 0, 500, 300), QSize(636, 429)), QPoint(0, 0));
  EXPECT_EQ(CentredPosition(QRect(0, 0, 800, 300), QSize(636, 429)), QPoint(82, 0));
  EXPECT_EQ(CentredPosition(QRect(100, 30, 1280, 994), QSize(630, 400)), QPoint(425, 327));
}

TEST_F(MainWindowTest, OpensCentredOnTheAvailableScreen) {
  const QRect available = window_->screen()->availableGeometry();
  EXPECT_EQ(window_->frameGeometry().topLeft(),
            CentredPosition(available, window_->frameGeometry().size()));
}

TEST_F(MainWindowTest, TabOrderFollowsCreationOrderAndWraps) {
  for (int gadget = 0; gadget < GadgetCount; ++gadget)
    EXPECT_FALSE(GadgetWidget(gadget)->hasFocus()) << gadget;
  const Gadget order[] = {ButtonSelectPath,     StringPath,
                          StringSearchText,     ButtonSelectCommand,
                          StringCommand,        StringParameters,
                          ButtonPathFilename,   ButtonPath,
                          ButtonFilename,       ButtonStart,
                          CheckboxProcessFiles, CheckboxProcessFolders,
                          ButtonExtension,      ButtonHome,
                          ButtonTemp,           ButtonSelectDestination,
                          StringDestination,    ButtonDuplicationDestination,
                          ButtonLoadConfig,     ButtonSaveConfig,
                          ButtonSelectPath};
  for (Gadget expected : order) {
    QTest::keyClick(window_->windowHandle(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), GadgetWidget(expected)) << expected;
  }
  EXPECT_FALSE(WindowEventPending());  // moving the focus is no event
}

TEST_F(MainWindowTest, FirstShiftTabFocusesTheLastControl) {
  QTest::keyClick(window_->windowHandle(), Qt::Key_Backtab, Qt::ShiftModifier);
  EXPECT_EQ(QApplication::focusWidget(), GadgetWidget(ButtonSaveConfig));
  QTest::keyClick(window_->windowHandle(), Qt::Key_Backtab, Qt::ShiftModifier);
  EXPECT_EQ(QApplication::focusWidget(), GadgetWidget(ButtonLoadConfig));
}

TEST_F(MainWindowTest, EveryButtonTakesAHitTestedClickAndPostsOneEventNamingIt) {
  for (Gadget button : kButtons) {
    ClickGadget(button);
    ASSERT_TRUE(WindowEventPending()) << button;
    EXPECT_EQ(WaitWindowEvent(), kEventGadget);
    EXPECT_EQ(EventWindow(), kMainWindowId);
    EXPECT_EQ(EventGadget(), button);
    EXPECT_FALSE(WindowEventPending()) << button;
  }
}

TEST_F(MainWindowTest, QueuedEventsComeOutOldestFirstAndTheWaitBlocksForTheNext) {
  ClickGadget(ButtonHome);
  ClickGadget(ButtonTemp);
  EXPECT_EQ(WaitWindowEvent(), kEventGadget);
  EXPECT_EQ(EventGadget(), ButtonHome);
  EXPECT_EQ(WaitWindowEvent(), kEventGadget);
  EXPECT_EQ(EventGadget(), ButtonTemp);
  QTimer::singleShot(30, [this] { ClickGadget(ButtonStart); });
  EXPECT_EQ(WaitWindowEvent(), kEventGadget);
  EXPECT_EQ(EventGadget(), ButtonStart);
}

TEST_F(MainWindowTest, TypingAndCheckBoxClicksPostOnlyTheirOwnControl) {
  ClickGadget(StringPath);  // through the frame that surrounds it
  EXPECT_EQ(QApplication::focusWidget(), GadgetWidget(StringPath));
  QTest::keyClicks(GadgetWidget(StringPath), "/tmp");
  EXPECT_EQ(GetGadgetText(StringPath), "/tmp");
  ClickGadget(CheckboxProcessFolders);
  EXPECT_EQ(GetGadgetState(CheckboxProcessFolders), 1);
  ClickGadget(CheckboxProcessFiles);
  EXPECT_EQ(GetGadgetState(CheckboxProcessFiles), 0);
  const std::vector<int> expected = {
      StringPath, StringPath, StringPath, StringPath, CheckboxProcessFolders, CheckboxProcessFiles};
  EXPECT_EQ(DrainGadgetEvents(), expected);
}

TEST_F(MainWindowTest, SettingTextsAndStatesPostsNothing) {
  SetGadgetText(StringCommand, "/bin/echo");
  SetGadgetState(CheckboxProcessFolders, 5);
  SetGadgetState(CheckboxProcessFiles, 0);
  EXPECT_EQ(GetGadgetText(StringCommand), "/bin/echo");
  EXPECT_EQ(GetGadgetState(CheckboxProcessFolders), 1);
  EXPECT_EQ(GetGadgetState(CheckboxProcessFiles), 0);
  EXPECT_EQ(GetGadgetState(StringCommand), 0);
  EXPECT_FALSE(WindowEventPending());
}

TEST_F(MainWindowTest, FieldsKeepLongAndNonAsciiTextsWhole) {
  const std::string long_text(100000, 'x');
  SetGadgetText(StringParameters, long_text + " %f ");
  EXPECT_EQ(GetGadgetText(StringParameters), long_text + " %f ");
  EXPECT_EQ(GadgetWidget(StringParameters)->width(), 440);
  const std::string accented = "/home/\xc3\xa9t\xc3\xa9/photos \xe2\x82\xac/";
  SetGadgetText(StringPath, accented);
  EXPECT_EQ(GetGadgetText(StringPath), accented);
}

TEST_F(MainWindowTest, AmpersandsShowLiterally) {
  SetGadgetText(ButtonStart, "Save & Go");
  EXPECT_EQ(GetGadgetText(ButtonStart), "Save & Go");
  // No mnemonic: the shortcut Alt+G does nothing.
  QTest::keyClick(window_->windowHandle(), Qt::Key_G, Qt::AltModifier);
  EXPECT_FALSE(WindowEventPending());
  SetGadgetText(TextFilter, "A & B");
  EXPECT_EQ(static_cast<QLabel*>(GadgetWidget(TextFilter))->text(), "A & B");
  EXPECT_EQ(static_cast<QLabel*>(GadgetWidget(TextFilter))->textFormat(), Qt::PlainText);
  SetGadgetText(FrameFiles, "Files & folders");
  EXPECT_EQ(GetGadgetText(FrameFiles), "Files & folders");
  SetGadgetText(CheckboxProcessFiles, "A&B");
  EXPECT_EQ(GetGadgetText(CheckboxProcessFiles), "A&B");
}

TEST_F(MainWindowTest, CloseRequestPostsTheCloseEventAndLeavesTheWindowAlive) {
  QPointer<QWidget> guard = window_;
  window_->close();
  QApplication::processEvents();
  ASSERT_TRUE(guard);
  EXPECT_TRUE(window_->isVisible());
  EXPECT_EQ(WaitWindowEvent(), kEventCloseWindow);
  EXPECT_EQ(EventWindow(), kMainWindowId);
  EXPECT_EQ(EventGadget(), -1);
  // The controls still hold their values for the settings save after the loop.
  EXPECT_EQ(GetGadgetText(StringParameters), "\"%f\"");
}

TEST_F(MainWindowTest, CloseRequestDuringARunWaitsForTheLoop) {
  ClickGadget(ButtonStart);
  EXPECT_EQ(WaitWindowEvent(), kEventGadget);
  // The run: the window is only repainted; a close request arrives meanwhile.
  QTimer::singleShot(0, window_, [this] { window_->close(); });
  for (int i = 0; i < 5; ++i) ProcessWindowWithoutInput();
  EXPECT_TRUE(window_->isVisible());
  EXPECT_EQ(WaitWindowEvent(), kEventCloseWindow);
}

TEST_F(MainWindowTest, WritesAScreenshotOfTheFreshWindow) {
  const QImage image = window_->grab().toImage();
  const std::string path = std::string(WENDRIX_BINARY_DIR) + "/main_window.png";
  ASSERT_TRUE(image.save(QString::fromStdString(path), "PNG"));
  EXPECT_EQ(image.size(), QSize(630, 400) * image.devicePixelRatio());
  // Inside the banner, left of its text: the banner's blue.
  EXPECT_EQ(QColor(image.pixel(30, 22)), QColor(0, 128, 255));
}

TEST(MainWindowLifetimeTest, WaitReturnsCloseWhenNoWindowIsOpen) {
  testing::EnsureApplication();
  CloseMainWindow();
  EXPECT_EQ(WaitWindowEvent(), kEventCloseWindow);
  EXPECT_EQ(GetGadgetText(StringPath), "");
  EXPECT_EQ(GadgetWidget(GadgetCount), nullptr);
}

}  // namespace
}  // namespace wendrix
