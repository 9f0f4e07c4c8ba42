#include "ui/requesters.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <filesystem>

#include "test_support.h"
#include "ui/ui_test_support.h"

namespace wendrix {
namespace {

using testing::AnswerNext;
using testing::TempDir;

std::string WithoutSlash(const std::string& folder) { return folder.substr(0, folder.size() - 1); }

QLineEdit* NameField(QFileDialog* dialog) { return dialog->findChild<QLineEdit*>("fileNameEdit"); }

void Confirm(QFileDialog* dialog) {
  auto* box = dialog->findChild<QDialogButtonBox*>("buttonBox");
  QPushButton* button =
      box->button(dialog->acceptMode() == QFileDialog::AcceptSave ? QDialogButtonBox::Save
                                                                  : QDialogButtonBox::Open);
  QTest::mouseClick(button, Qt::LeftButton);
}

void Cancel(QFileDialog* dialog) {
  QTest::mouseClick(
      dialog->findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Cancel),
      Qt::LeftButton);
}

// The names the dialog's file list shows once it has loaded `expected`.
QStringList ListedNames(QFileDialog* dialog, const QString& expected) {
  auto* list = dialog->findChild<QListView*>("listView");
  QStringList names;
  const bool listed = QTest::qWaitFor([&] {
    names.clear();
    const QModelIndex root = list->rootIndex();
    for (int row = 0; row < list->model()->rowCount(root); ++row)
      names << list->model()->index(row, 0, root).data().toString();
    return names.contains(expected);
  });
  EXPECT_TRUE(listed) << expected.toStdString() << " not in " << names.join(' ').toStdString();
  return names;
}

class RequesterTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::EnsureApplication(); }
  TempDir dir_;
};

TEST(FilterListTest, PairsBecomeDialogFiltersWithEveryFileAndProgramsMapped) {
  auto show = [](const std::string& list) {
    std::string shown;
    for (const NameFilter& f : ParseFilterList(list))
      shown += f.description + " (" + f.patterns + (f.executables ? ") exe;" : ");");
    return shown;
  };
  EXPECT_EQ(show("Exe files|*.exe|All files|*.*"), "Exe files (*) exe;All files (*);");
  EXPECT_EQ(show("Config files (*.ini)|*.ini|Pictures|*.jpg;*.png|Dangling"),
            "Config files (*.ini) (*.ini);Pictures (*.jpg *.png);");
  EXPECT_EQ(show(""), "");
}

TEST(InitialFileTest, SplitsAtTheLastSlashAndKeepsOnlyAValidName) {
  struct Case {
    const char* initial;
    const char* folder;
    const char* name;
  } cases[] = {
      {"/opt/wendrix/Config/default.ini", "/opt/wendrix/Config", "default.ini"},
      {"/opt/wendrix/", "/opt/wendrix", ""},
      {"/data/*.ini", "/data", ""},
      {"default.ini", "", "default.ini"},
      {"/default.ini", "/", "default.ini"},
      {"/", "/", ""},
      {"", "", ""},
      {"/data/my file (1).ini", "/data", "my file (1).ini"},
  };
  for (const Case& c : cases) {
    const InitialFileParts parts = SplitInitialFile(c.initial);
    EXPECT_EQ(parts.folder, c.folder) << c.initial;
    EXPECT_EQ(parts.name, c.name) << c.initial;
  }
  EXPECT_FALSE(IsValidFileName("a:b") || IsValidFileName("a\\b") || IsValidFileName("tab\t"));
}

TEST_F(RequesterTest, FolderRequesterOpensAtTheInitialFolderAndAlwaysEndsWithASlash) {
  std::filesystem::create_directory(dir_ / "Photos");
  QString title, opened_in;
  AnswerNext<QFileDialog>([&](QFileDialog* dialog) {
    title = dialog->windowTitle();
    opened_in = dialog->directory().absolutePath();
    EXPECT_EQ(dialog->windowModality(), Qt::ApplicationModal);
    NameField(dialog)->setText("Photos");
    Confirm(dialog);
  });
  EXPECT_EQ(ChooseFolder("Please select a path", dir_.Path()), dir_ / "Photos/");
  EXPECT_EQ(title, "Please select a path");
  EXPECT_EQ(opened_in.toStdString(), WithoutSlash(dir_.Path()));

  // Confirmed at once: the folder it opened in.
  AnswerNext<QFileDialog>([](QFileDialog* dialog) { Confirm(dialog); });
  EXPECT_EQ(ChooseFolder("t", dir_ / "Photos"), dir_ / "Photos/");

  AnswerNext<QFileDialog>([](QFileDialog* dialog) { Confirm(dialog); });
  EXPECT_EQ(ChooseFolder("t", "/"), "/");

  AnswerNext<QFileDialog>([](QFileDialog* dialog) { Cancel(dialog); });
  EXPECT_EQ(ChooseFolder("t", dir_.Path()), "");
}

TEST_F(RequesterTest, OpenRequesterStartsInTheFolderWithTheFilterPreselectedAndShowsPrograms) {
  testing::WriteFile(dir_ / "prog", "#!/bin/sh\n");
  chmod((dir_ / "prog").c_str(), 0755);
  testing::WriteFile(dir_ / "notes.txt", "x");
  std::filesystem::create_directory(dir_ / "sub");
  char cwd_before[4096];
  ASSERT_NE(getcwd(cwd_before, sizeof cwd_before), nullptr);

  AnswerNext<QFileDialog>([&](QFileDialog* dialog) {
    EXPECT_EQ(dialog->windowTitle(), "Please choose some exe file");
    EXPECT_EQ(dialog->directory().absolutePath().toStdString(), WithoutSlash(dir_.Path()));
    EXPECT_EQ(NameField(dialog)->text(), "");
    auto* types = dialog->findChild<QComboBox*>("fileTypeCombo");
    EXPECT_EQ(types->count(), 2);
    EXPECT_EQ(types->currentText(), "Exe files");
    QStringList names = ListedNames(dialog, "prog");
    EXPECT_TRUE(names.contains("sub"));
    EXPECT_FALSE(names.contains("notes.txt"));
    QTest::keyClick(types, Qt::Key_Down);  // the user picks "All files"
    EXPECT_EQ(types->currentText(), "All files");
    names = ListedNames(dialog, "notes.txt");
    EXPECT_TRUE(names.contains("prog"));
    // A name that does not exist yet, in an existing folder, is taken.
    NameField(dialog)->setText("new-tool");
    Confirm(dialog);
  });
  EXPECT_EQ(ChooseOpenFile("Please choose some exe file", dir_.Path(),
                           "Exe files|*.exe|All files|*.*", 0),
            dir_ / "new-tool");
  char cwd_after[4096];
  ASSERT_NE(getcwd(cwd_after, sizeof cwd_after), nullptr);
  EXPECT_STREQ(cwd_before, cwd_after);
}

TEST_F(RequesterTest, FileRequesterRefusesANameInAFolderThatDoesNotExist) {
  bool warned = false;
  bool still_open = false;
  AnswerNext<QFileDialog>([&](QFileDialog* dialog) {
    AnswerNext<QMessageBox>([&, dialog](QMessageBox* box) {
      warned = true;
      box->accept();
      QTimer::singleShot(0, dialog, [&, dialog] {
        still_open = dialog->isVisible();
        Cancel(dialog);
      });
    });
    NameField(dialog)->setText("no-such-folder/x.ini");
    Confirm(dialog);
  });
  EXPECT_EQ(ChooseOpenFile("t", dir_.Path(), "All files|*.*", 0), "");
  EXPECT_TRUE(warned);
  EXPECT_TRUE(still_open);
}

TEST_F(RequesterTest, SaveRequesterProposesTheNameAndReplacesWithoutAsking) {
  std::filesystem::create_directory(dir_ / "Config");
  testing::WriteFile(dir_ / "Config/default.ini", "StringPath = /x\n");
  const std::string filters = "Config files (*.ini)|*.ini|All files|*.*";

  bool asked = false;
  QPointer<QTimer> question;
  AnswerNext<QFileDialog>([&](QFileDialog* dialog) {
    question = AnswerNext<QMessageBox>([&, dialog](QMessageBox* box) {
      asked = true;
      box->accept();
      QTimer::singleShot(0, dialog, [dialog] { Cancel(dialog); });
    });
    EXPECT_EQ(dialog->directory().absolutePath().toStdString(), dir_ / "Config");
    EXPECT_EQ(NameField(dialog)->text(), "default.ini");
    EXPECT_EQ(dialog->findChild<QComboBox*>("fileTypeCombo")->currentText(),
              "Config files (*.ini)");
    Confirm(dialog);  // an existing file: no question follows
  });
  EXPECT_EQ(
      ChooseSaveFile("Please choose some config file", dir_ / "Config/default.ini", filters, 0),
      dir_ / "Config/default.ini");
  EXPECT_FALSE(asked);
  delete question.data();

  // Preselected second filter; a typed name gets no extension added.
  AnswerNext<QFileDialog>([&](QFileDialog* dialog) {
    EXPECT_EQ(dialog->findChild<QComboBox*>("fileTypeCombo")->currentText(), "All files");
    NameField(dialog)->setText("settings");
    Confirm(dialog);
  });
  EXPECT_EQ(ChooseSaveFile("t", dir_ / "Config/*.ini", filters, 1), dir_ / "Config/settings");

  AnswerNext<QFileDialog>([](QFileDialog* dialog) { Cancel(dialog); });
  EXPECT_EQ(ChooseSaveFile("t", dir_ / "Config/default.ini", filters, 0), "");
}

TEST_F(RequesterTest, MessageBoxShowsItsTextsLiterallyAndReturnsTheButton) {
  AnswerNext<QMessageBox>([](QMessageBox* box) {
    EXPECT_EQ(box->windowTitle(), "Info & <b>more</b>");
    EXPECT_EQ(box->text(), "Config file <i>successfully</i> saved & kept.");
    EXPECT_EQ(box->textFormat(), Qt::PlainText);
    EXPECT_EQ(box->icon(), QMessageBox::NoIcon);
    ASSERT_EQ(box->buttons().size(), 1);
    EXPECT_EQ(box->windowModality(), Qt::ApplicationModal);
    QTest::mouseClick(box->buttons().first(), Qt::LeftButton);
  });
  EXPECT_EQ(
      ShowMessageBox("Info & <b>more</b>", "Config file <i>successfully</i> saved & kept.", 0),
      kIdOk);

  AnswerNext<QMessageBox>([](QMessageBox* box) {
    EXPECT_EQ(box->icon(), QMessageBox::Question);
    QTest::mouseClick(box->button(QMessageBox::No), Qt::LeftButton);
  });
  EXPECT_EQ(ShowMessageBox("Alert", "Sure?", kMbYesNo | kMbIconQuestion), kIdNo);

  AnswerNext<QMessageBox>([](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Escape); });
  EXPECT_EQ(ShowMessageBox("Alert", "Could not open config file", 0), kIdOk);
}

}  // namespace
}  // namespace wendrix
