// The desktop window: a main window with the menu bar and an OpenGL widget that hands every
// event to the window object (cGlWnd) and draws a frame whenever the last one is on screen.
#pragma once

#include <QMainWindow>
#include <QOpenGLWidget>
#include <QString>

#include <cstdint>
#include <memory>

#include "app/app.h"

class cQtPlatform;
class QLabel;
class QMimeData;

constexpr int kWindowOuterWidth = 800;
constexpr int kWindowOuterHeight = 600;
// The status line under the view adds its height to the window, so the view keeps its size.
constexpr int kStatusLineHeight = 22;

// Mouse-key flags as the window object reads them.
constexpr std::uint32_t kMouseShift = 4;
constexpr std::uint32_t kMouseControl = 8;
constexpr std::uint32_t kMouseMiddle = 0x10;

// The GL context the window asks for: compatibility profile, double-buffered, depth and stencil.
QSurfaceFormat WindowSurfaceFormat();

class cGlView : public QOpenGLWidget {
  Q_OBJECT

 public:
  cGlView(std::unique_ptr<cGlWnd> wnd, QWidget* parent);
  ~cGlView() override;

  cGlWnd& Wnd() { return *wnd; }

  // Routes an event to the window object with this widget's context current; nothing thrown
  // gets past it.
  void Forward(cWindowMessage message, std::uint32_t wParam, std::uint32_t lParam);

  // The end of the run: the current mesh goes, then the frames' cache and the font lists, with
  // the context current.
  void ReleaseScene();

  // File > Open with path chosen, with the context current; before the context exists, as
  // soon as it does. With reportFailure, a file that cannot be opened is named on standard
  // error with the reason, in one line (the mesh is left empty, as Open leaves it).
  void OpenFile(const QString& path, bool reportFailure = false);

  // The first local file with one of the suffixes the reader takes (kMeshExtensions, any case)
  // among what a drop carries; empty when there is none.
  static QString DroppedMeshFile(const QMimeData* data);

 protected:
  void initializeGL() override;
  void resizeGL(int w, int h) override;
  void paintGL() override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  QSize FramebufferSize() const;
  void ReleaseFont();       // context current
  void ReleaseDrawCache();  // context current

  std::unique_ptr<cGlWnd> wnd;
  // Made with each context (initializeGL), gone with it; the window object draws through it.
  std::unique_ptr<cDrawCache> drawCache;
  QString pendingFile;           // to open once the context exists
  bool pendingReport = false;    // and whether to report a failure to open it
  bool busyScreenShown = false;  // the busy screen's projection is in place
  bool checkGlErrors = false;    // CD_CHECK_GL_ERRORS set: report GL errors after every frame
};

class cMainWindow : public QMainWindow {
  Q_OBJECT

 public:
  explicit cMainWindow(cQtPlatform& platform,
                       std::unique_ptr<cGlWnd> wnd = std::make_unique<cGlWnd>());
  ~cMainWindow() override;

  cGlView* View() const { return view; }
  QLabel* StatusLine() const { return status; }

  // Shows the window at the top left of the screen with its outer size, frame included,
  // 800 x 600 and the status line's height below (as near as the window system allows).
  void ShowAtTopLeft();

  // After the main loop: joins the workers, then releases the scene.
  void Teardown();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildMenus();
  void FitOuterSize();

  cQtPlatform& platform;
  cGlView* view;
  QLabel* status;  // the status line's text
  bool fitted = false;
};

// The whole run of the desktop program with the platform installed: the window, the main loop
// and the teardown; startFile, when not empty, is opened as File > Open would open it. Returns
// 1, the exit value of the process in every case.
int RunDesktop(cQtPlatform& platform, const QString& startFile = QString());
