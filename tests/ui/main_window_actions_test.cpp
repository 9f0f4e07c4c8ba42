// The buttons' actions on the real window, offscreen: placeholders, browse requesters, loading
// and saving settings through the requesters, and "Start !" on a real tree.
#include "ui/main_window_actions.h"

#include <gtest/gtest.h>

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <filesystem>

#include "services/path_helpers.h"
#include "test_support.h"
#include "ui/main_window.h"
#include "ui/ui_test_support.h"

namespace wendrix {
namespace {

using testing::AnswerNext;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

// Keeps what the commands write.
class RecordingConsole final : public Console {
 public:
  int Open() override { return 1; }
  std::int64_t Write(const char* data, std::size_t length) override {
    text.append(data, length);
    return static_cast<std::int64_t>(length);
  }
  std::string text;
};

// Types a name into a file requester and confirms it, as a user would.
void ChooseName(QFileDialog* dialog, const std::string& name) {
  dialog->findChild<QLineEdit*>("fileNameEdit")->setText(QString::fromStdString(name));
  auto* box = dialog->findChild<QDialogButtonBox*>("buttonBox");
  QTest::mouseClick(
      box->button(dialog->acceptMode() == QFileDialog::AcceptSave ? QDialogButtonBox::Save
                                                                  : QDialogButtonBox::Open),
      Qt::LeftButton);
}

void CancelDialog(QFileDialog* dialog) { dialog->reject(); }

struct Message {
  std::string title, text;
};

// Answers the next message box and tells what it said.
void RecordNextMessage(Message& message) {
  AnswerNext<QMessageBox>([&message](QMessageBox* box) {
    message = {box->windowTitle().toStdString(), box->text().toStdString()};
    box->accept();
  });
}

class ActionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::EnsureApplication();
    ASSERT_EQ(OpenMainWindow(0, 0, 630, 400), kMainWindowId);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(MainWindowWidget()));
    hooks_.console = &console_;
    hooks_.idle = [] { ProcessWindowWithoutInput(); };
  }
  void TearDown() override { CloseMainWindow(); }

  // Presses a button and hands the event the loop receives to the handler.
  HandlerOutcome Press(Gadget button) {
    QTest::mouseClick(static_cast<QPushButton*>(GadgetWidget(button)), Qt::LeftButton);
    EXPECT_TRUE(WindowEventPending());
    return HandleMainWindowEvent(WaitWindowEvent(), hooks_);
  }

  TempDir dir_;
  RecordingConsole console_;
  JobHooks hooks_;
};

TEST_F(ActionsTest, PlaceholderButtonsAppendAtTheEndWithoutMovingTheFocus) {
  Press(ButtonPathFilename);
  EXPECT_EQ(GetGadgetText(StringParameters), "\"%f\" %f ");
  Press(ButtonPathFilename);
  EXPECT_EQ(GetGadgetText(StringParameters), "\"%f\" %f  %f ");

  SetGadgetText(StringParameters, "");
  Press(ButtonHome);
  EXPECT_EQ(GetGadgetText(StringParameters), " %h ");

  // Caret at the start and a selection: neither decides where the text goes.
  auto* field = static_cast<QLineEdit*>(GadgetWidget(StringParameters));
  SetGadgetText(StringParameters, "-o out");
  field->setSelection(0, 2);
  GadgetWidget(StringCommand)->setFocus();
  const std::pair<Gadget, const char*> buttons[] = {{ButtonPath, " %p "},
                                                    {ButtonFilename, " %n "},
                                                    {ButtonExtension, " %e "},
                                                    {ButtonTemp, " %t "},
                                                    {ButtonDuplicationDestination, " %d "}};
  std::string expected = "-o out";
  for (const auto& [button, text] : buttons) {
    Press(button);
    expected += text;
  }
  EXPECT_EQ(GetGadgetText(StringParameters), expected);
  EXPECT_FALSE(field->hasFocus());
}

TEST_F(ActionsTest, BrowseButtonsFillTheirFieldOrLeaveItOnCancel) {
  std::filesystem::create_directory(dir_ / "photos");
  WriteFile(dir_ / "tool", "#!/bin/sh\n");
  std::filesystem::permissions(dir_ / "tool", std::filesystem::perms::owner_all);

  std::string opened_in;
  AnswerNext<QFileDialog>([&](QFileDialog* dialog) {
    opened_in = dialog->directory().absolutePath().toStdString() + "/";
    ChooseName(dialog, dir_ / "photos");
  });
  Press(ButtonSelectPath);
  EXPECT_EQ(GetGadgetText(StringPath), dir_ / "photos/");
  EXPECT_EQ(opened_in, ProgramFolder());

  AnswerNext<QFileDialog>(CancelDialog);
  Press(ButtonSelectPath);
  EXPECT_EQ(GetGadgetText(StringPath), dir_ / "photos/");

  AnswerNext<QFileDialog>([&](QFileDialog* dialog) { ChooseName(dialog, dir_.Path()); });
  Press(ButtonSelectDestination);
  EXPECT_EQ(GetGadgetText(StringDestination), dir_.Path());

  AnswerNext<QFileDialog>([&](QFileDialog* dialog) { ChooseName(dialog, dir_ / "tool"); });
  Press(ButtonSelectCommand);
  EXPECT_EQ(GetGadgetText(StringCommand), dir_ / "tool");

  AnswerNext<QFileDialog>(CancelDialog);
  Press(ButtonSelectCommand);
  EXPECT_EQ(GetGadgetText(StringCommand), dir_ / "tool");
}

TEST_F(ActionsTest, LoadConfigFillsEveryFieldAndReportsAFileThatCannotBeOpened) {
  SetGadgetText(StringPath, "/somewhere/");
  SetGadgetText(StringCommand, "cmd");
  WriteFile(dir_ / "folders.ini", "CheckboxProcessFolders = 1\n");
  AnswerNext<QFileDialog>([&](QFileDialog* dialog) { ChooseName(dialog, dir_ / "folders.ini"); });
  Press(ButtonLoadConfig);
  EXPECT_EQ(ReadWindowSettings(), (Settings{"", "", 1, 1, "", "", ""}));

  Message message;
  AnswerNext<QFileDialog>([&](QFileDialog* dialog) { ChooseName(dialog, dir_ / "missing.ini"); });
  RecordNextMessage(message);
  Press(ButtonLoadConfig);
  EXPECT_EQ(message.title, "Alert");
  EXPECT_EQ(message.text, "Could not open config file");
}

TEST_F(ActionsTest, SaveConfigReportsSuccessAndFailureAndNothingOnCancel) {
  SetGadgetText(StringSearchText, "*.jpg");
  Message message;
  AnswerNext<QFileDialog>([&](QFileDialog* dialog) { ChooseName(dialog, dir_ / "saved.ini"); });
  RecordNextMessage(message);
  Press(ButtonSaveConfig);
  EXPECT_EQ(message.title, "Info");
  EXPECT_EQ(message.text, "Config file successfully saved.");
  ASSERT_EQ(LoadSettingsFile(dir_ / "saved.ini"), ReadWindowSettings());

  // A file that exists but cannot be replaced, whoever runs the test.
  message = {};
  AnswerNext<QFileDialog>([&](QFileDialog* dialog) { ChooseName(dialog, "/proc/version"); });
  RecordNextMessage(message);
  Press(ButtonSaveConfig);
  EXPECT_EQ(message.title, "Alert");
  EXPECT_EQ(message.text, "Could not create config file");

  message = {};
  AnswerNext<QFileDialog>(CancelDialog);
  RecordNextMessage(message);
  Press(ButtonSaveConfig);
  EXPECT_EQ(message.title, "");
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST_F(ActionsTest, StartRunsTheCommandOnTheTreeInTheFields) {
  std::filesystem::create_directories(dir_ / "tree/sub");
  WriteFile(dir_ / "tree/a.txt", "");
  WriteFile(dir_ / "tree/sub/b.txt", "");
  SetGadgetText(StringPath, dir_ / "tree/");
  SetGadgetText(StringDestination, dir_ / "copy/");
  std::filesystem::create_directory(dir_ / "copy");
  SetGadgetText(StringCommand, testing::TestChild());
  SetGadgetText(StringParameters, "isdir %d args %n %d");
  EXPECT_EQ(Press(ButtonStart), HandlerOutcome::kContinue);
  EXPECT_EQ(console_.text, "yes\na\n" + dir_ / "copy/\n" + "yes\nb\n" + dir_ / "copy/sub/\n");
}

}  // namespace
}  // namespace wendrix
