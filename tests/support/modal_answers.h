// Answers the requesters and message boxes the window opens, as a user would, and notes what
// each showed. Lives for one test.
#pragma once

#include <QTest>
#include <optional>
#include <string>

#include "ui/requesters.h"

class QWidget;

namespace wendrix::testing {

class ModalAnswers {
 public:
  // Puts itself in as the modal observer, and takes itself out at the end.
  ModalAnswers() {
    SetModalObserver([this](OpenRequester& open) {
      owner = open.Owner();
      if (open.kind() == OpenRequester::Kind::kMessage) {
        message = open.Title() + ": " + open.Text();
        open.Accept();
        return;
      }
      std::string names;
      (void)QTest::qWaitFor([&] {
        names.clear();
        for (const std::string& name : open.Listed()) names += (names.empty() ? "" : " ") + name;
        return listed.empty() || names == listed;
      });
      requester = open.Title() + "|" + open.Folder() + "|" + open.Name() + "|" + open.Filter() +
                  "|" + (listed.empty() ? "" : names);
      // A refused name leaves the requester open: then it is cancelled.
      if (!answer || !open.Accept(*answer)) open.Cancel();
    });
  }
  ~ModalAnswers() { SetModalObserver({}); }
  ModalAnswers(const ModalAnswers&) = delete;
  ModalAnswers& operator=(const ModalAnswers&) = delete;

  void Forget() { requester = message = ""; }

  // A file or folder requester gets `answer` typed in (when not empty) and confirmed, or is
  // cancelled when there is none. A message box is confirmed.
  std::optional<std::string> answer;
  // When not empty, a requester is answered once its list shows these names (blank-separated,
  // sorted), and `requester` ends with them.
  std::string listed;
  // The last requester: "title|folder|proposed name|filter|names listed".
  std::string requester;
  // The last message box: "title: text".
  std::string message;
  // The window the last requester or message box belonged to.
  QWidget* owner = nullptr;
};

}  // namespace wendrix::testing
