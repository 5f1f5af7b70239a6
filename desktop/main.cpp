// The desktop program: one window with the model, the menus and the computations.
// `convexdecomp FILE` opens FILE at start, as File > Open would.

#include <QApplication>
#include <QStringList>

#include "desktop/main_window.h"
#include "desktop/qt_platform.h"
#include "geometry/huge_pages.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  KeepFreedMemoryForReuse();  // before Qt starts its threads
  QApplication application(argc, argv);
  cQtPlatform qtPlatform;
  SetPlatform(&qtPlatform);
  // Qt has taken its own options out of the arguments; the first one left names the file.
  const QStringList arguments = QApplication::arguments();
  RunDesktop(qtPlatform, arguments.size() > 1 ? arguments[1] : QString());
  SetPlatform(nullptr);
  return 1;
}
