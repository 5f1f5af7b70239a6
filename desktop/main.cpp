// The desktop program: one window with the model, the menus and the computations.

#include <QApplication>

#include "desktop/main_window.h"
#include "desktop/qt_platform.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  cQtPlatform qtPlatform;
  SetPlatform(&qtPlatform);
  RunDesktop(qtPlatform);
  SetPlatform(nullptr);
  return 1;
}
