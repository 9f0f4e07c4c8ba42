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

// The widget class of each control kind.
constexpr const char* L = "QLabel";
constexpr const char* F = "QLineEdit";
constexpr const char* B = "QPushButton";
constexpr const char* C = "QCheckBox";
constexpr const char* G = "QGroupBox";

struct Expected {
  Gadget gadget;
  const char* kind;
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
    EXPECT_STREQ(widget->metaObject()->className(), row.kind);
    // Labels and frames never take the focus.
    EXPECT_EQ(widget->focusPolicy() == Qt::NoFocus, row.kind == L || row.kind == G);
    if (row.gadget != TextTitle && row.gadget != ButtonStart) {
      EXPECT_EQ(widget->font(), gui_font);
    }
  }
  EXPECT_EQ(GetGadgetState(CheckboxProcessFiles), 1);
  EXPECT_EQ(GetGadgetState(CheckboxProcessFolders), 0);
}

TEST_F(MainWindowTest, BannerAndStartAreBoldAtTheirPointSizesAndEveryCaptionFits) {
  const double dpi = QGuiApplication::primaryScreen()->logicalDotsPerInchY();
  auto* title = static_cast<QLabel*>(GadgetWidget(TextTitle));
  EXPECT_TRUE(title->font().bold() && GadgetWidget(ButtonStart)->font().bold());
  EXPECT_EQ(title->font().pixelSize(), std::lround(12 * dpi / 72));  // 16 at 96 DPI
  EXPECT_EQ(GadgetWidget(ButtonStart)->font().pixelSize(), std::lround(10 * dpi / 72));
  EXPECT_EQ(title->palette().color(QPalette::WindowText), QColor(255, 255, 255));
  EXPECT_EQ(title->palette().color(QPalette::Window), QColor(0, 128, 255));
  EXPECT_EQ(title->frameShadow(), QFrame::Sunken);
  for (const Expected& row : kTable) {
    if (row.kind == F || row.text[0] == '\0') continue;
    QWidget* widget = GadgetWidget(row.gadget);
    const QFontMetrics metrics(widget->font());
    int room = row.w - 6;  // frame or margin
    if (row.kind == C) room -= widget->style()->pixelMetric(QStyle::PM_IndicatorWidth);
    if (row.kind == G) room -= 10;  // the caption's inset
    EXPECT_LE(metrics.horizontalAdvance(QString::fromUtf8(row.text)), room) << row.text;
    EXPECT_LE(metrics.height(), row.h) << row.text;
  }
}

TEST_F(MainWindowTest, WindowIsFixedSizeWithTitleBarOnlyCentredAndHasTheIcon) {
  EXPECT_EQ(window_->windowTitle(), "Wendrix");
  EXPECT_EQ(window_->minimumSize(), QSize(630, 400));
  EXPECT_EQ(window_->maximumSize(), QSize(630, 400));
  const Qt::WindowFlags flags = window_->windowFlags();
  EXPECT_TRUE(flags & Qt::WindowSystemMenuHint && flags & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
  EXPECT_EQ(
      window_->frameGeometry().topLeft(),
      CentredPosition(window_->screen()->availableGeometry(), window_->frameGeometry().size()));
  for (int size : {16, 24, 32, 48}) {
    const QImage image = window_->windowIcon().pixmap(size).toImage();
    EXPECT_EQ(image.size(), QSize(size, size));
    EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);  // transparent corner
  }
}

TEST(CentredPositionTest, CentresAndNeverGoesAboveOrLeftOfTheScreen) {
  EXPECT_EQ(CentredPosition(QRect(0, 0, 1281, 1025), QSize(630, 400)), QPoint(325, 312));
  EXPECT_EQ(CentredPosition(QRect(0, 0, 500, 300), QSize(636, 429)), QPoint(0, 0));
  EXPECT_EQ(CentredPosition(QRect(0, 0, 800, 300), QSize(636, 429)), QPoint(82, 0));
  EXPECT_EQ(CentredPosition(QRect(100, 30, 1280, 994), QSize(630, 400)), QPoint(425, 327));
}

TEST_F(MainWindowTest, TabAndShiftTabFollowCreationOrderFromAFreshWindowAndWrap) {
  EXPECT_EQ(QApplication::focusWidget(), window_);  // no control has the focus
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
  CloseMainWindow();
  OpenMainWindow(0, 0, 630, 400);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(MainWindowWidget()));
  QTest::keyClick(MainWindowWidget()->windowHandle(), Qt::Key_Backtab, Qt::ShiftModifier);
  EXPECT_EQ(QApplication::focusWidget(), GadgetWidget(ButtonSaveConfig));
}

TEST_F(MainWindowTest, EveryButtonTakesAHitTestedClickAndPostsOneEventNamingIt) {
  for (Gadget button : kButtons) {
    ClickGadget(button);
    EXPECT_EQ(DrainGadgetEvents(), std::vector<int>{button});
    EXPECT_EQ(EventWindow(), kMainWindowId);
  }
  // Queued events come out oldest first; with none queued the wait blocks for the next.
  ClickGadget(ButtonHome);
  ClickGadget(ButtonTemp);
  EXPECT_EQ(DrainGadgetEvents(), (std::vector<int>{ButtonHome, ButtonTemp}));
  QTimer::singleShot(30, [this] { ClickGadget(ButtonStart); });
  EXPECT_EQ(WaitWindowEvent(), kEventGadget);
  EXPECT_EQ(EventGadget(), ButtonStart);
}

TEST_F(MainWindowTest, TypingAndCheckBoxClicksPostOnlyTheirOwnControlAndSettingPostsNothing) {
  ClickGadget(StringPath);  // through the frame that surrounds it
  QTest::keyClicks(GadgetWidget(StringPath), "/tm");
  EXPECT_EQ(GetGadgetText(StringPath), "/tm");
  ClickGadget(CheckboxProcessFolders);
  ClickGadget(CheckboxProcessFiles);
  EXPECT_EQ(GetGadgetState(CheckboxProcessFolders), 1);
  EXPECT_EQ(GetGadgetState(CheckboxProcessFiles), 0);
  EXPECT_EQ(DrainGadgetEvents(), (std::vector<int>{StringPath, StringPath, StringPath,
                                                   CheckboxProcessFolders, CheckboxProcessFiles}));
  SetGadgetText(StringCommand, "/bin/echo");
  SetGadgetState(CheckboxProcessFiles, 5);
  EXPECT_EQ(GetGadgetText(StringCommand), "/bin/echo");
  EXPECT_EQ(GetGadgetState(CheckboxProcessFiles), 1);
  EXPECT_FALSE(WindowEventPending());
}

TEST_F(MainWindowTest, TextsComeBackWholeWithAmpersandsShownLiterally) {
  const std::string long_text = std::string(100000, 'x') + " \xc3\xa9t\xc3\xa9 \xe2\x82\xac";
  SetGadgetText(StringParameters, long_text);
  EXPECT_EQ(GetGadgetText(StringParameters), long_text);
  SetGadgetText(ButtonStart, "Save & Go");
  EXPECT_EQ(GetGadgetText(ButtonStart), "Save & Go");
  QTest::keyClick(window_->windowHandle(), Qt::Key_G, Qt::AltModifier);  // no mnemonic
  EXPECT_FALSE(WindowEventPending());
  SetGadgetText(TextFilter, "A & B");
  EXPECT_EQ(static_cast<QLabel*>(GadgetWidget(TextFilter))->text(), "A & B");
  SetGadgetText(FrameFiles, "Files & folders");
  EXPECT_EQ(GetGadgetText(FrameFiles), "Files & folders");
}

TEST_F(MainWindowTest, CloseRequestPostsTheCloseEventAndLeavesTheWindowAlive) {
  window_->close();
  EXPECT_EQ(WaitWindowEvent(), kEventCloseWindow);
  EXPECT_EQ(EventGadget(), -1);
  EXPECT_TRUE(window_->isVisible());
  EXPECT_EQ(GetGadgetText(StringParameters), "\"%f\"");  // still there for the save
  // During a run the window is only repainted; a close request then waits for the loop.
  QTimer::singleShot(0, window_, [this] { window_->close(); });
  for (int i = 0; i < 5; ++i) ProcessWindowWithoutInput();
  EXPECT_EQ(WaitWindowEvent(), kEventCloseWindow);
  CloseMainWindow();
  EXPECT_EQ(WaitWindowEvent(), kEventCloseWindow);  // no window: nothing to wait for
}

TEST_F(MainWindowTest, WritesAScreenshotOfTheFreshWindow) {
  const QImage image = window_->grab().toImage();
  ASSERT_TRUE(image.save(QStringLiteral(WENDRIX_BINARY_DIR "/main_window.png"), "PNG"));
  EXPECT_EQ(QColor(image.pixel(30, 22)), QColor(0, 128, 255));  // the banner, left of its text
}

}  // namespace
}  // namespace wendrix
