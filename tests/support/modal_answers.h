// Answers the requesters and message boxes the window opens, as a user would, and notes what
// each showed. Lives for one test.
#pragma once

#include <optional>
#include <string>

class QWidget;

namespace wendrix::testing {

class ModalAnswers {
 public:
  ModalAnswers();   // puts itself in as the modal observer
  ~ModalAnswers();  // and takes itself out
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
