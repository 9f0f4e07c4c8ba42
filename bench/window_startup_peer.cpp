// The peer: the smallest Qt Widgets program that shows one empty 630 x 400 window.
#include "window_probe.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QWidget window;
  window.setFixedSize(630, 400);
  wendrix_bench::ShownProbe probe(&window);
  window.show();
  return app.exec();
}
