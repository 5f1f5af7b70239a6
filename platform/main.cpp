// The desktop program: one window with the model, the menus and the computations.

#include <QApplication>

#include "platform/interface/platform.h"
#include "platform/main_window.h"
#include "platform/qt_platform.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  cQtPlatform qtPlatform;
  SetPlatform(&qtPlatform);
  RunDesktop(qtPlatform);
  SetPlatform(nullptr);
  return 1;
}
