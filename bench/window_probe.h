// Shared by the window start-up measurement and its peer: reports when the window has first been
// painted (wall clock, ns) and the resident memory once the window has sat idle for a second.
#pragma once

#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace wendrix_bench {

inline long ResidentKilobytes() {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  char line[256];
  long kilobytes = -1;
  while (std::fgets(line, sizeof line, status) != nullptr)
    if (std::strncmp(line, "VmRSS:", 6) == 0) std::sscanf(line + 6, "%ld", &kilobytes);
  std::fclose(status);
  return kilobytes;
}

class ShownProbe : public QObject {
 public:
  explicit ShownProbe(QWidget* window) { window->installEventFilter(this); }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint && !painted_) {
      painted_ = true;
      // The frame reaches the screen once the paint has been flushed: take the time right after.
      QTimer::singleShot(0, this, [] {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        std::printf("shown_ns %lld\n",
                    static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
        QTimer::singleShot(1000, [] {
          std::printf("rss_kb %ld\n", ResidentKilobytes());
          std::fflush(stdout);
          QApplication::exit(0);  // quit() would first ask the windows to close
        });
      });
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  bool painted_ = false;
};

}  // namespace wendrix_bench
