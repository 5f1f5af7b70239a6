// The desktop program: one window with the model, the menus and the computations.
// `convexdecomp FILE` opens FILE at start, as File > Open would; `convexdecomp --help` says so.

#include <QApplication>
#include <QStringList>

#include <cstdio>
#include <cstring>

#include "desktop/main_window.h"
#include "desktop/qt_platform.h"
#include "geometry/huge_pages.h"
#include "platform/platform.h"

namespace {

constexpr const char* kUsage =
    "Usage: convexdecomp [FILE]\n"
    "Opens FILE (a triangle mesh) in a window with an orbit camera; Tools > Decompose splits its\n"
    "surface into nearly convex pieces and Tools > Convex Hull wraps each piece in a hull.\n"
    "Without FILE the window opens empty; File > Open chooses one.\n"
    "\n"
    "  -h, --help   print this help and exit\n"
    "\n"
    "Qt's own options (for example -platform offscreen) are taken too. The batch tool\n"
    "convexdecomp-cli does the same work without a window (convexdecomp-cli --help).\n";

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
    }
  }
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
