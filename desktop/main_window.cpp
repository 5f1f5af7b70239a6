#include "desktop/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QKeySequence>
#include <QLabel>
#include <QMenuBar>
#include <QMimeData>
#include <QMouseEvent>
#include <QOpenGLContext>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>
#include <QWheelEvent>

#include <GL/gl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "desktop/glyphs.h"
#include "desktop/qt_platform.h"
#include "geometry/mesh.h"
#include "io/mesh_reading.h"
#include "render/render.h"
#include "state/state.h"

namespace {

struct cMenuItem {
  const char* label;  // nullptr: a separator
  std::uint32_t id;
  const char* shortcut = nullptr;  // a key sequence beside the label, or none
};

struct cMenu {
  const char* title;
  std::vector<cMenuItem> items;
};

const std::vector<cMenu>& MenuTable() {
  static const std::vector<cMenu> table = {
      {"File",
       {{"Open", kCmdOpen, "Ctrl+O"},
        {"Save", kCmdSave},
        {"Export...", kCmdExport, "Ctrl+E"},
        {"Reset", kCmdReset},
        {nullptr, 0},
        {"Quit", kCmdQuit, "Ctrl+Q"}}},
      {"View",
       {{"Bound Box", kCmdBoundBox},
        {"Normals", kCmdNormals},
        {"Fill", kCmdFill},
        {"Lines", kCmdLines},
        {"Points", kCmdPoints},
        {"Axis", kCmdAxis},
        {nullptr, 0},
        {"Options...", kCmdOptions},
        {nullptr, 0},
        {"Fit", kCmdFit, "Home"}}},
      {"Tools",
       {{"Decompose", kCmdDecompose},
        {"Convex Hull", kCmdConvexHull},
        {nullptr, 0},
        {"Fit Hulls...", kCmdFitHulls, "Ctrl+F"}}},
  };
  return table;
}

std::uint32_t KeyFlags(const QMouseEvent& event) {
  std::uint32_t flags = 0;
  if (event.buttons() & Qt::LeftButton) flags |= kMouseLeft;
  if (event.buttons() & Qt::RightButton) flags |= kMouseRight;
  if (event.buttons() & Qt::MiddleButton) flags |= kMouseMiddle;
  if (event.modifiers() & Qt::ShiftModifier) flags |= kMouseShift;
  if (event.modifiers() & Qt::ControlModifier) flags |= kMouseControl;
  return flags;
}

// x in the low and y in the high word, each as an unsigned 16-bit number.
std::uint32_t PackWords(int low, int high) {
  return (static_cast<std::uint32_t>(static_cast<std::uint16_t>(high)) << 16) |
         static_cast<std::uint16_t>(low);
}

std::uint32_t PackPosition(const QMouseEvent& event) {
  const QPoint p = event.position().toPoint();
  return PackWords(p.x(), p.y());
}

}  // namespace

QSurfaceFormat WindowSurfaceFormat() {
  QSurfaceFormat format;
  format.setRenderableType(QSurfaceFormat::OpenGL);
  format.setVersion(2, 1);
  format.setProfile(QSurfaceFormat::CompatibilityProfile);
  format.setSwapBehavior(QSurfaceFormat::DoubleBuffer);
  format.setRedBufferSize(8);
  format.setGreenBufferSize(8);
  format.setBlueBufferSize(8);
  format.setDepthBufferSize(16);
  format.setStencilBufferSize(8);
  return format;
}

// --- cGlView -------------------------------------------------------------------------------

cGlView::cGlView(std::unique_ptr<cGlWnd> windowObject, QWidget* parent)
    : QOpenGLWidget(parent), wnd(std::move(windowObject)) {
  setFormat(WindowSurfaceFormat());
  setMouseTracking(true);  // moves without a button count too
  setAcceptDrops(true);    // a mesh file dropped on the view opens
  checkGlErrors = !qEnvironmentVariableIsEmpty("CD_CHECK_GL_ERRORS");
  InstallDrawHooks();
  // Frame after frame: the next one is asked for as soon as the last is on screen.
  connect(this, &QOpenGLWidget::frameSwapped, this, [this] { update(); });
}

cGlView::~cGlView() {
  makeCurrent();
  ReleaseFont();
  ReleaseDrawCache();
  doneCurrent();
  // The base class destroys the context after this object is gone: no call back into it.
  if (context() != nullptr) disconnect(context(), nullptr, this, nullptr);
}

QSize cGlView::FramebufferSize() const {
  const qreal ratio = devicePixelRatioF();
  return QSize(static_cast<int>(std::lround(width() * ratio)),
               static_cast<int>(std::lround(height() * ratio)));
}

void cGlView::Forward(cWindowMessage message, std::uint32_t wParam, std::uint32_t lParam) {
  try {
    makeCurrent();
    WindowProc(wnd.get(), message, wParam, lParam);
  } catch (...) {
    // The system reports nothing; an event that failed is passed over.
  }
}

void cGlView::initializeGL() {
  try {
    // A context made again (the widget moved to another window) gets its font again.
    connect(
        context(), &QOpenGLContext::aboutToBeDestroyed, this,
        [this] {
          makeCurrent();
          ReleaseFont();
          ReleaseDrawCache();
          doneCurrent();
        },
        Qt::DirectConnection);
    ReleaseFont();
    ReleaseDrawCache();
    drawCache = std::make_unique<cDrawCache>();
    wnd->drawCache = drawCache.get();
    wnd->fontListBase = BuildFontLists(RenderGlyphs(BitmapFont()));
    const QSize size = FramebufferSize();
    wnd->OnSize(size.width(), size.height());
  } catch (...) {
  }
  if (!pendingFile.isEmpty()) {
    const QString path = pendingFile;
    const bool report = pendingReport;
    pendingFile.clear();
    pendingReport = false;
    OpenFile(path, report);
  }
}

void cGlView::resizeGL(int, int) {
  const QSize size = FramebufferSize();
  Forward(cWindowMessage::Size, 0, PackWords(size.width(), size.height()));
}

void cGlView::paintGL() {
  try {
    wnd->OnIdle();
    if (Busy.load() != 0) {
      wnd->DrawBusyScreen();
      busyScreenShown = true;
    } else {
      // The busy screen left its own projection: the camera's comes back before the scene.
      if (busyScreenShown) wnd->SetupView();
      busyScreenShown = false;
      wnd->DrawScene();
    }
  } catch (...) {
  }
  if (checkGlErrors) {
    for (GLenum error = glGetError(); error != GL_NO_ERROR; error = glGetError())
      std::fprintf(stderr, "GL error 0x%04x\n", static_cast<unsigned>(error));
  }
}

void cGlView::mouseMoveEvent(QMouseEvent* event) {
  // Moves are delivered only over the view: a drag that leaves it sends no position off the
  // view, which the unsigned message words would turn into a jump of the camera.
  if (!rect().contains(event->position().toPoint())) return;
  Forward(cWindowMessage::MouseMove, KeyFlags(*event), PackPosition(*event));
}

void cGlView::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    Forward(cWindowMessage::LeftButtonDown, KeyFlags(*event), PackPosition(*event));
  } else if (event->button() == Qt::RightButton) {
    Forward(cWindowMessage::RightButtonDown, KeyFlags(*event), PackPosition(*event));
  }
}

void cGlView::wheelEvent(QWheelEvent* event) {
  const int delta = std::clamp(event->angleDelta().y(), -32768, 32767);
  std::uint32_t flags = 0;
  if (event->buttons() & Qt::LeftButton) flags |= kMouseLeft;
  if (event->buttons() & Qt::RightButton) flags |= kMouseRight;
  Forward(cWindowMessage::MouseWheel, PackWords(static_cast<int>(flags), delta), 0);
  event->accept();
}

QString cGlView::DroppedMeshFile(const QMimeData* data) {
  if (data == nullptr || !data->hasUrls()) return QString();
  for (const QUrl& url : data->urls()) {
    if (!url.isLocalFile()) continue;
    const QString path = url.toLocalFile();
    if (!QFileInfo(path).suffix().isEmpty() &&
        MeshFormatOfName(QFile::encodeName(path).toStdString()) != cMeshFormat::Unknown)
      return path;
  }
  return QString();
}

void cGlView::dragEnterEvent(QDragEnterEvent* event) {
  if (!DroppedMeshFile(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void cGlView::dragMoveEvent(QDragMoveEvent* event) {
  if (!DroppedMeshFile(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void cGlView::dropEvent(QDropEvent* event) {
  const QString path = DroppedMeshFile(event->mimeData());
  if (path.isEmpty()) return;
  event->acceptProposedAction();
  OpenFile(path);
}

void cGlView::OpenFile(const QString& path, bool reportFailure) {
  if (!isValid()) {
    pendingFile = path;
    pendingReport = reportFailure;
    return;
  }
  try {
    makeCurrent();
    const int error = wnd->OpenFileReporting(QFile::encodeName(path).toStdString());
    if (reportFailure && error > 0) {
      // The two reasons of the mesh reader's own, in its words; the system's for the others.
      const std::string reason =
          error == kUnknownFormat
              ? std::string("unknown kind of mesh file (known: ") + kMeshExtensionList + ")"
          : error == kUnreadableFile ? std::string("not a readable mesh file")
                                     : std::string(std::strerror(error));
      std::fprintf(stderr, "convexdecomp: %s: %s\n", QFile::encodeName(path).constData(),
                   reason.c_str());
      std::fflush(stderr);
    }
  } catch (...) {
    // As for every event: what failed is passed over.
  }
}

void cGlView::ReleaseFont() {
  if (wnd->fontListBase != 0 && context() != nullptr &&
      QOpenGLContext::currentContext() == context()) {
    DeleteFontLists(wnd->fontListBase);
  }
  wnd->fontListBase = 0;
}

void cGlView::ReleaseDrawCache() {
  wnd->drawCache = nullptr;
  drawCache.reset();
}

void cGlView::ReleaseScene() {
  makeCurrent();
  DestroyCurrentMesh();
  ReleaseDrawCache();
  ReleaseFont();
  doneCurrent();
}

// --- cMainWindow ---------------------------------------------------------------------------

cMainWindow::cMainWindow(cQtPlatform& qtPlatform, std::unique_ptr<cGlWnd> wnd)
    : platform(qtPlatform), view(new cGlView(std::move(wnd), this)), status(new QLabel(this)) {
  setWindowTitle(QStringLiteral("Convex Decomposition (Render Device OpenGL)"));
  setCentralWidget(view);
  BuildMenus();
  statusBar()->setSizeGripEnabled(false);
  statusBar()->setFixedHeight(kStatusLineHeight);
  status->setContentsMargins(4, 0, 4, 0);
  statusBar()->addWidget(status, 1);
  // Brought up to date after every frame; the text is made anew only when the model changed.
  connect(view, &QOpenGLWidget::frameSwapped, this, [this] {
    const std::optional<std::string> text = view->Wnd().StatusText();
    if (!text) return;
    const QString shown = QString::fromStdString(*text);
    if (status->text() != shown) status->setText(shown);
  });
  platform.SetContextRestorer([this] { view->makeCurrent(); });
  // The outer size is set once the window system has put its frame around the window.
  connect(view, &QOpenGLWidget::frameSwapped, this, [this] {
    if (!fitted) {
      fitted = true;
      FitOuterSize();
    }
  });
}

cMainWindow::~cMainWindow() {
  platform.SetContextRestorer(nullptr);
  // The view and its context go before the members of this class.
  delete view;
  view = nullptr;
}

void cMainWindow::BuildMenus() {
  QMenuBar* bar = menuBar();
  bar->setNativeMenuBar(false);  // part of the window, whatever the desktop
  for (const cMenu& menu : MenuTable()) {
    QMenu* popup = bar->addMenu(QString::fromLatin1(menu.title));
    for (const cMenuItem& item : menu.items) {
      if (item.label == nullptr) {
        popup->addSeparator();
        continue;
      }
      QAction* action = popup->addAction(QString::fromLatin1(item.label));
      action->setData(item.id);
      action->setMenuRole(QAction::NoRole);
      if (item.shortcut != nullptr)
        action->setShortcut(QKeySequence(QString::fromLatin1(item.shortcut)));
      const std::uint32_t id = item.id;
      connect(action, &QAction::triggered, this,
              [this, id] { view->Forward(cWindowMessage::Command, id, 0); });
    }
  }
}

void cMainWindow::FitOuterSize() {
  const QSize frame = frameGeometry().size() - geometry().size();
  resize(QSize(kWindowOuterWidth, kWindowOuterHeight + kStatusLineHeight) - frame);
  move(0, 0);
}

void cMainWindow::ShowAtTopLeft() {
  resize(kWindowOuterWidth, kWindowOuterHeight + kStatusLineHeight);
  move(0, 0);
  show();
  FitOuterSize();
}

void cMainWindow::closeEvent(QCloseEvent* event) {
  // The window stays; the window object decides when the run ends.
  event->ignore();
  view->Forward(cWindowMessage::Close, 0, 0);
}

void cMainWindow::Teardown() {
  platform.StopWorkers();
  view->ReleaseScene();
}

// --- The run -------------------------------------------------------------------------------

int RunDesktop(cQtPlatform& platform, const QString& startFile) {
  try {
    // Without an OpenGL context of the kind asked for, the program ends at once.
    QOpenGLContext probe;
    probe.setFormat(WindowSurfaceFormat());
    if (!probe.create()) return 1;

    QApplication::setQuitOnLastWindowClosed(false);
    cMainWindow window(platform);
    window.ShowAtTopLeft();
    if (!startFile.isEmpty()) window.View()->OpenFile(startFile, true);
    QApplication::exec();
    window.Teardown();
  } catch (...) {
  }
  return 1;
}
