// What the window tests share: a fresh Main window per test, clicks through the window's own
// hit-testing, and modal dialogs answered as a user would.
#pragma once

#include <gtest/gtest.h>

#include <QTest>
#include <QtWidgets>
#include <optional>

#include "ui/main_window.h"

namespace wendrix::testing {

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static int argc = 1;
    static char* argv[] = {const_cast<char*>("wendrix-ui-test"), nullptr};
    if (QApplication::instance() == nullptr) new QApplication(argc, argv);
    ASSERT_EQ(OpenMainWindow(0, 0, 630, 400), kMainWindowId);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(MainWindowWidget()));
    // Every message box is answered with OK; message_ notes what it said.
    boxes_.callOnTimeout([this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr || !box->isVisible()) return;
      message_ = box->windowTitle().toStdString() + ": " + box->text().toStdString();
      box->accept();
    });
    // Every file requester gets answer_ typed in and confirmed, or is cancelled without one;
    // requester_ notes what it showed.
    requesters_.callOnTimeout([this] {
      auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      if (dialog == nullptr || !dialog->isVisible()) return;
      requester_ = Shown(dialog);
      if (answer_ && !answer_->empty())
        dialog->findChild<QLineEdit*>("fileNameEdit")->setText(QString::fromStdString(*answer_));
      using Box = QDialogButtonBox;
      auto* buttons = dialog->findChild<Box*>("buttonBox");
      const bool save = dialog->acceptMode() == QFileDialog::AcceptSave;
      QTest::mouseClick(buttons->button(!answer_ ? Box::Cancel
                                        : save   ? Box::Save
                                                 : Box::Open),
                        Qt::LeftButton);
      if (dialog->isVisible()) buttons->button(Box::Cancel)->click();  // a question held it open
    });
    boxes_.start(10);
    requesters_.start(10);
  }
  void TearDown() override { CloseMainWindow(); }

  static void Click(int gadget) {
    QTest::mouseClick(MainWindowWidget()->windowHandle(), Qt::LeftButton, {},
                      GadgetWidget(gadget)->geometry().center());
  }
  // Title, folder, proposed name and chosen filter; with listed_ set, also the names listed, once
  // they match it (the list fills in the background).
  std::string Shown(QFileDialog* dialog) const {
    auto* list = dialog->findChild<QListView*>("listView");
    const QString folder = dialog->directory().absolutePath();
    QStringList names;
    (void)QTest::qWaitFor([&] {
      names.clear();
      for (int row = 0; row < list->model()->rowCount(list->rootIndex()); ++row)
        names << list->model()->index(row, 0, list->rootIndex()).data().toString();
      names.sort();
      return listed_.empty() || names.join(' ').toStdString() == listed_;
    });
    return QStringList{dialog->windowTitle(), folder.endsWith('/') ? folder : folder + "/",
                       dialog->findChild<QLineEdit*>("fileNameEdit")->text(),
                       dialog->findChild<QComboBox*>("fileTypeCombo")->currentText(),
                       listed_.empty() ? "" : names.join(' ')}
        .join('|')
        .toStdString();
  }

  QTimer boxes_, requesters_;
  std::optional<std::string> answer_;
  std::string listed_, message_, requester_;
};

}  // namespace wendrix::testing
