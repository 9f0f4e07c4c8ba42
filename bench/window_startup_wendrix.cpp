// The Main window, opened as the program opens it, for the start-up measurement.
#include "ui/main_window.h"
#include "window_probe.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  wendrix::OpenMainWindow(0, 0, 630, 400);
  wendrix_bench::ShownProbe probe(wendrix::MainWindowWidget());
  return app.exec();
}
