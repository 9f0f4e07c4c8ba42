// The Main window offscreen: its controls and events, the requesters, and the buttons' actions.
#include "ui/main_window.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <QTest>
#include <QtWidgets>
#include <cerrno>
#include <optional>

#include "modal_answers.h"
#include "recording_console.h"
#include "services/path_helpers.h"
#include "test_support.h"
#include "ui/main_window_actions.h"
#include "ui/requesters.h"

// Renames fail while this is set, as on a file system that turned read-only: a save's last
// step then fails after every other has worked.
static bool fail_renames = false;
extern "C" int rename(const char* from, const char* to) {
  if (fail_renames) {
    errno = EROFS;
    return -1;
  }
  static const auto real =
      reinterpret_cast<int (*)(const char*, const char*)>(dlsym(RTLD_NEXT, "rename"));
  return real(from, to);
}

namespace wendrix {
namespace {

using testing::WriteFile;

// A fresh window per test; message boxes and requesters are answered as a user would, and the
// recording console takes what Start's commands write.
class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static int argc = 1;
    static char* argv[] = {const_cast<char*>("wendrix-ui-test"), nullptr};
    if (QApplication::instance() == nullptr) new QApplication(argc, argv);
    ASSERT_EQ(OpenMainWindow(0, 0, 630, 400), kMainWindowId);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(MainWindowWidget()));
    hooks_.console = &console_;
    hooks_.idle = [] { ProcessWindowWithoutInput(); };
  }
  void TearDown() override { CloseMainWindow(); }

  static void Click(int gadget) {
    QTest::mouseClick(MainWindowWidget()->windowHandle(), Qt::LeftButton, {},
                      GadgetWidget(gadget)->geometry().center());
  }
  // Clicks a button and hands the event the loop receives to the handler; a requester it opens
  // gets `answer`.
  HandlerOutcome Press(Gadget button, std::optional<std::string> answer = std::nullopt) {
    answers_.answer = answer;
    answers_.Forget();
    Click(button);
    return HandleMainWindowEvent(WaitWindowEvent(), hooks_);
  }

  testing::ModalAnswers answers_;
  testing::RecordingConsole console_;
  testing::TempDir dir_;
  JobHooks hooks_;
};

bool TakesFocus(int gadget) {
  return !GadgetWidget(gadget)->inherits("QLabel") && !GadgetWidget(gadget)->inherits("QGroupBox");
}

TEST_F(MainWindowTest, FreshWindowShowsEveryControlApartIsCentredAndItsCloseBoxOnlyPostsAnEvent) {
  QWidget* window = MainWindowWidget();
  // Every control shown inside the window; none covers another, but a frame surrounds whole
  // controls.
  for (int gadget = 0; gadget < GadgetCount; ++gadget) {
    const QWidget* widget = GadgetWidget(gadget);
    SCOPED_TRACE(GetGadgetText(gadget));
    EXPECT_TRUE(widget->isVisible() && widget->parentWidget() == window);
    EXPECT_TRUE(window->rect().contains(widget->geometry()));
    for (int other = 0; other < gadget; ++other) {
      const QRect a = widget->geometry(), b = GadgetWidget(other)->geometry();
      const bool frames =
          widget->inherits("QGroupBox") || GadgetWidget(other)->inherits("QGroupBox");
      EXPECT_TRUE(!a.intersects(b) || (frames && (a.contains(b) || b.contains(a))))
          << GetGadgetText(other);
    }
  }
  // What a user reads first: the banner, the initial template and check boxes, and the button
  // that runs it all.
  EXPECT_EQ(GetGadgetText(TextTitle) + "|" + GetGadgetText(StringParameters) + "|" +
                GetGadgetText(ButtonStart) + "|" +
                GadgetWidget(ButtonStart)->toolTip().toStdString(),
            "Wendrix|\"%f\"|Start !|Launch the processing");
  EXPECT_EQ(GetGadgetState(CheckboxProcessFiles) * 10 + GetGadgetState(CheckboxProcessFolders), 10);
  const QImage image = window->grab().toImage();
  ASSERT_TRUE(image.save(QStringLiteral(WENDRIX_BINARY_DIR "/main_window.png"), "PNG"));
  EXPECT_EQ(QColor(image.pixel(30, 22)), QColor(0, 128, 255));  // the banner, left of its text
  // Fixed size, with a title bar that has only a close box.
  EXPECT_EQ(window->windowTitle(), "Wendrix");
  EXPECT_TRUE(window->minimumSize() == QSize(630, 400) && window->maximumSize() == QSize(630, 400));
  const Qt::WindowFlags flags = window->windowFlags();
  EXPECT_TRUE(flags & Qt::WindowSystemMenuHint && flags & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
  EXPECT_EQ(window->frameGeometry().topLeft(),
            CentredPosition(window->screen()->availableGeometry(), window->frameGeometry().size()));
  // Centred on the work area, but never above or left of it when the screen is smaller.
  EXPECT_EQ(CentredPosition(QRect(100, 30, 1280, 994), QSize(630, 400)), QPoint(425, 327));
  EXPECT_EQ(CentredPosition(QRect(0, 0, 800, 300), QSize(636, 429)), QPoint(82, 0));
  // A close request posts the close event and leaves the window alive.
  window->close();
  EXPECT_EQ(WaitWindowEvent(), kEventCloseWindow);
  EXPECT_TRUE(window->isVisible());
  // During a run the window is only repainted; a close request then waits for the loop.
  QTimer::singleShot(0, window, [window] { window->close(); });
  for (int i = 0; i < 5; ++i) ProcessWindowWithoutInput();
  EXPECT_EQ(WaitWindowEvent(), kEventCloseWindow);
}

TEST_F(MainWindowTest, TabFollowsCreationOrderAndEveryButtonTakesAHitTestedClickPostingOneEvent) {
  QTest::keyClick(MainWindowWidget()->windowHandle(), Qt::Key_Backtab, Qt::ShiftModifier);
  EXPECT_EQ(QApplication::focusWidget(), GadgetWidget(ButtonSaveConfig));
  // Then round again from the first; labels and frames never take the focus, and moving it is
  // no event (the next click's would not come first).
  for (int gadget = 0; gadget < GadgetCount; ++gadget) {
    if (!TakesFocus(gadget)) continue;
    QTest::keyClick(MainWindowWidget()->windowHandle(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), GadgetWidget(gadget)) << GetGadgetText(gadget);
    if (!GadgetWidget(gadget)->inherits("QPushButton")) continue;
    Click(gadget);
    EXPECT_EQ(WaitWindowEvent(), kEventGadget);
    EXPECT_EQ(EventGadget(), gadget) << GetGadgetText(gadget);
    EXPECT_FALSE(WindowEventPending());
  }
}

TEST_F(MainWindowTest, RequestersOpenAsToldReturnWhatTheUserChoseAndBelongToTheWindow) {
  std::filesystem::create_directory(dir_ / "Config");
  WriteFile(dir_ / "Config/default.ini", "");
  WriteFile(dir_ / "prog", "#!/bin/sh\n");
  std::filesystem::permissions(dir_ / "prog", std::filesystem::perms::owner_all);
  WriteFile(dir_ / "notes.txt", "");
  const struct {
    char kind;                                          // Open or Save
    std::string typed, initial, listed, shown, result;  // typed (if anything) and confirmed
  } cases[] = {
      // Programs are listed under "*.exe"; a name that does not exist yet is taken.
      {'O', "new-tool", dir_.Path(), "Config prog", "T|" + dir_.Path() + "||Exe files|Config prog",
       dir_ / "new-tool"},
      // The proposed name is replaced without a question. (The browse buttons show what a cancel
      // gives.)
      {'S', "", dir_ / "Config/default.ini", "default.ini",
       "T|" + dir_ / "Config/|default.ini|Config files (*.ini)|default.ini",
       dir_ / "Config/default.ini"},
      // A program in "/" has the root as its folder.
      {'O', "", "/", "", "T|/||Exe files|", ""},
  };
  for (const auto& c : cases) {
    answers_.answer = c.typed;
    answers_.listed = c.listed;
    const std::string result =
        c.kind == 'O'
            ? ChooseOpenFile("T", c.initial, "Exe files|*.exe|All files|*.*", 0)
            : ChooseSaveFile("T", c.initial, "Config files (*.ini)|*.ini|All files|*.*", 0);
    EXPECT_EQ(answers_.requester + " -> " + result + answers_.message, c.shown + " -> " + c.result);
  }
  // Message boxes belong to the Main window even with no window active, as right after a file
  // requester has gone and before the window is active again.
  QApplication::setActiveWindow(nullptr);
  EXPECT_EQ(RequesterOwner(), MainWindowWidget());
  ShowMessageBox("Alert", "owned", kMbOk);
  EXPECT_EQ(answers_.owner, MainWindowWidget());
}

TEST_F(MainWindowTest, PlaceholderButtonsAppendAtTheEndWithoutMovingTheFocus) {
  Press(ButtonPathFilename);
  Press(ButtonPathFilename);
  EXPECT_EQ(GetGadgetText(StringParameters), "\"%f\" %f  %f ");
  // Neither the caret nor a selection decides where the text goes. A text set comes back
  // whole, however long, and setting a text or a state posts no event.
  const std::string long_text = std::string(100000, 'x') + " \xc3\xa9t\xc3\xa9 \xe2\x82\xac";
  SetGadgetText(StringParameters, long_text);
  SetGadgetState(CheckboxProcessFolders, 1);
  EXPECT_FALSE(WindowEventPending());
  static_cast<QLineEdit*>(GadgetWidget(StringParameters))->setSelection(0, 2);
  GadgetWidget(StringCommand)->setFocus();
  for (Gadget button : {ButtonPath, ButtonFilename, ButtonExtension, ButtonHome, ButtonTemp,
                        ButtonDuplicationDestination})
    Press(button);
  EXPECT_EQ(GetGadgetText(StringParameters), long_text + " %p  %n  %e  %h  %t  %d ");
  // Each button's label begins with what it appends, and its tooltip says what that stands for.
  for (Gadget button : kPlaceholderButtons) {
    SetGadgetText(StringParameters, "");
    Press(button);
    EXPECT_EQ(" " + GetGadgetText(button).substr(0, 3), GetGadgetText(StringParameters));
    EXPECT_EQ(GadgetWidget(button)->toolTip().toStdString().rfind("Special string replaced by", 0),
              0u);
  }
  EXPECT_FALSE(GadgetWidget(StringParameters)->hasFocus());
  // A button's text shows an ampersand as it is, not as a shortcut.
  SetGadgetText(ButtonStart, "Save & Go");
  EXPECT_EQ(GetGadgetText(ButtonStart), "Save & Go");
  EXPECT_TRUE(QKeySequence::mnemonic(static_cast<QPushButton*>(GadgetWidget(ButtonStart))->text())
                  .isEmpty());
}

TEST_F(MainWindowTest, TypingAndCheckBoxClicksAnywhereOnTheirAreaRunNothingStartRunsTheFields) {
  std::filesystem::create_directories(dir_ / "tree/sub");
  std::filesystem::create_directory(dir_ / "copy");
  WriteFile(dir_ / "tree/a.txt", "");
  WriteFile(dir_ / "tree/sub/b.txt", "");
  SetGadgetText(StringPath, dir_ / "tree/");
  SetGadgetText(StringDestination, dir_ / "copy/");
  SetGadgetText(StringCommand, testing::TestChild());
  SetGadgetText(StringParameters, "isdir %d args %n %d");  // shows if anything runs
  QTest::keyClicks(GadgetWidget(StringSearchText), "*");
  // A check box toggles on its box, its caption, the empty part right of it, its far corners and
  // its middle.
  const QRect area = GadgetWidget(CheckboxProcessFolders)->geometry();
  std::vector<int> states;
  for (const QPoint point :
       {QPoint(4, 12), QPoint(40, 12), QPoint(area.width() - 2, area.height() / 2),
        QPoint(area.width() - 1, area.height() - 1), QPoint(0, 0),
        area.center() - area.topLeft()}) {
    QTest::mouseClick(MainWindowWidget()->windowHandle(), Qt::LeftButton, {},
                      area.topLeft() + point);
    states.push_back(GetGadgetState(CheckboxProcessFolders));
  }
  EXPECT_EQ(states, (std::vector<int>{1, 0, 1, 0, 1, 0}));
  Click(CheckboxProcessFiles);
  Click(CheckboxProcessFiles);
  std::vector<int> gadgets;
  while (WindowEventPending()) {
    const int event = WaitWindowEvent();
    gadgets.push_back(EventGadget());
    HandleMainWindowEvent(event, hooks_);
  }
  const int folders = CheckboxProcessFolders, files = CheckboxProcessFiles;
  EXPECT_EQ(gadgets, (std::vector<int>{StringSearchText, folders, folders, folders, folders,
                                       folders, folders, files, files}));
  EXPECT_EQ(answers_.requester + answers_.message + console_.bytes, "");
  EXPECT_EQ(ReadWindowSettings(), (Settings{dir_ / "tree/", "*", 1, 0, dir_ / "copy/",
                                            testing::TestChild(), "isdir %d args %n %d"}));
  EXPECT_EQ(Press(ButtonStart), HandlerOutcome::kContinue);
  EXPECT_EQ(console_.bytes, "yes\na\n" + dir_ / "copy/\n" + "yes\nb\n" + dir_ / "copy/sub/\n");
}

TEST_F(MainWindowTest, BrowseButtonsOpenAtTheProgramFolderAndFillTheirFieldUnlessCancelled) {
  std::filesystem::create_directory(dir_ / "photos");
  WriteFile(dir_ / "tool", "#!/bin/sh\n");
  const std::string in = "|" + testing::ThisProgramFolder() + "||";
  const struct {
    Gadget button, field;
    std::string name, result, shown;
  } cases[] = {
      {ButtonSelectPath, StringPath, dir_ / "photos", dir_ / "photos/",
       "Please select a path" + in + "Directories|"},
      {ButtonSelectDestination, StringDestination, dir_.Path(), dir_.Path(),
       "Please select a path where duplicating tree" + in + "Directories|"},
      {ButtonSelectCommand, StringCommand, dir_ / "tool", dir_ / "tool",
       "Please choose some exe file" + in + "Exe files|"},
  };
  for (const auto& c : cases) {
    Press(c.button, c.name);
    EXPECT_EQ(answers_.requester + " -> " + GetGadgetText(c.field), c.shown + " -> " + c.result);
    Press(c.button);
    EXPECT_EQ(GetGadgetText(c.field), c.result);
  }
  // Installed, the folder requesters open at the user's home; the command's stays with the
  // program.
  SetInstalledBinFolder(testing::ThisProgramFolder());
  setenv("HOME", (dir_ / "photos").c_str(), 1);
  Press(ButtonSelectDestination);
  EXPECT_EQ(answers_.requester,
            "Please select a path where duplicating tree|" + dir_ / "photos/||Directories|");
  Press(ButtonSelectCommand);
  EXPECT_EQ(answers_.requester, "Please choose some exe file" + in + "Exe files|");
  // The config requester proposes default.ini in the Config folder of the Wendrix folder of an
  // absolute XDG_CONFIG_HOME, made for it; cancelled, nothing happens and nothing is told.
  setenv("XDG_CONFIG_HOME", (dir_ / "cfg//").c_str(), 1);
  Press(ButtonLoadConfig);
  EXPECT_EQ(answers_.requester + answers_.message, "Please choose some config file|" +
                                                       dir_ / "cfg/Wendrix/Config/" +
                                                       "|default.ini|Config files (*.ini)|");
  SetInstalledBinFolder("");
  // Not installed, in the Config folder beside the program, which is not made for it.
  const std::string config = testing::ThisProgramFolder() + "Config";
  Press(ButtonSaveConfig);
  EXPECT_FALSE(std::filesystem::exists(config));
  std::filesystem::create_directory(config);
  Press(ButtonSaveConfig);
  std::filesystem::remove(config);
  EXPECT_EQ(answers_.requester.substr(0, answers_.requester.find("|Config ")),
            "Please choose some config file|" + config + "/|default.ini");
}

TEST_F(MainWindowTest, SaveAndLoadConfigGoThroughTheRequesterAndReportFailures) {
  // Loading sets every field, also those the file does not name. Bytes that are not UTF-8 come
  // back from a field as they went in: loaded from a file in a folder chosen by the name the
  // requester shows for it (U+FFFD), typed around, saved and loaded again.
  const std::string odd = "/d\xFF\xFE/\xC3\xA9\xED\xA0\x80\xF4\x90\x80\x80\xC0\xAF";
  std::filesystem::create_directory(dir_ / "ph\xFFto");
  WriteFile(dir_ / "ph\xFFto/odd.ini", "CheckboxProcessFolders = 1\nStringDestination = " + odd);
  Press(ButtonLoadConfig, dir_ / "ph\xEF\xBF\xBDto/odd.ini");
  Press(ButtonSelectPath, dir_ / "ph\xEF\xBF\xBDto");
  QTest::keyClicks(GadgetWidget(StringDestination), "x");
  while (WindowEventPending()) WaitWindowEvent();
  const Settings saved{dir_ / "ph\xFFto/", "", 1, 1, "x" + odd, "", ""};
  EXPECT_EQ(ReadWindowSettings(), saved);
  Press(ButtonSaveConfig, dir_ / "saved");
  EXPECT_EQ(answers_.message, "Info: Config file successfully saved.");
  EXPECT_NE(testing::ReadFile(dir_ / "saved").find("= x" + odd + "\r\n"), std::string::npos);
  // A file that exists but cannot be replaced, whoever runs the test; one whose replacement
  // fails at the last step, which leaves it as it was.
  Press(ButtonSaveConfig, "/proc/version");
  EXPECT_EQ(answers_.message, "Alert: Could not create config file");
  const std::string before = testing::ReadFile(dir_ / "saved");
  fail_renames = true;
  Press(ButtonSaveConfig, dir_ / "saved");
  fail_renames = false;
  EXPECT_EQ(answers_.message, "Alert: Could not create config file");
  EXPECT_EQ(testing::ReadFile(dir_ / "saved"), before);
  SetGadgetText(StringPath, "");
  Press(ButtonLoadConfig, dir_ / "saved");  // as named: no extension added
  EXPECT_EQ(ReadWindowSettings(), saved);
  Press(ButtonLoadConfig, dir_ / "missing.ini");
  EXPECT_EQ(answers_.message, "Alert: Could not open config file");
}

}  // namespace
}  // namespace wendrix
