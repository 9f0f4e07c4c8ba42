// What the window tests share: one QApplication for the process, and a way to answer the modal
// dialogs a requester opens, as a user would.
#pragma once

#include <QApplication>
#include <QTimer>
#include <functional>

namespace wendrix::testing {

inline void EnsureApplication() {
  if (QApplication::instance() != nullptr) return;
  static int argc = 1;
  static char name[] = "wendrix-ui-test";
  static char* argv[] = {name, nullptr};
  new QApplication(argc, argv);
}

// Calls `answer` with the next visible modal dialog of type T (other than `skip`) once it is open.
// Deleting the returned timer stops the watch.
template <typename T>
QTimer* AnswerNext(std::function<void(T*)> answer, QWidget* skip = nullptr) {
  auto* timer = new QTimer;
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, [timer, answer, skip] {
    auto* modal = qobject_cast<T*>(QApplication::activeModalWidget());
    if (modal == nullptr || modal == skip || !modal->isVisible()) return;
    timer->stop();
    timer->deleteLater();
    answer(modal);
  });
  timer->start();
  return timer;
}

}  // namespace wendrix::testing
