#include "modal_answers.h"

#include <QTest>

#include "ui/requesters.h"

namespace wendrix::testing {

namespace {

std::string Joined(const std::vector<std::string>& names) {
  std::string joined;
  for (const std::string& name : names) joined += (joined.empty() ? "" : " ") + name;
  return joined;
}

}  // namespace

ModalAnswers::ModalAnswers() {
  SetModalObserver([this](OpenRequester& open) {
    owner = open.Owner();
    if (open.kind() == OpenRequester::Kind::kMessage) {
      message = open.Title() + ": " + open.Text();
      open.Accept();
      return;
    }
    std::string names;
    (void)QTest::qWaitFor([&] {
      names = Joined(open.Listed());
      return listed.empty() || names == listed;
    });
    requester = open.Title() + "|" + open.Folder() + "|" + open.Name() + "|" + open.Filter() + "|" +
                (listed.empty() ? "" : names);
    // A refused name leaves the requester open: then it is cancelled.
    if (!answer || !open.Accept(*answer)) open.Cancel();
  });
}

ModalAnswers::~ModalAnswers() { SetModalObserver({}); }

}  // namespace wendrix::testing
