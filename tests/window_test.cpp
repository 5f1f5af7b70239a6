// The desktop window on a real X server: its title, place and menus, the events that reach the
// window object, the GL context and the bitmap font, the busy screen, message boxes and the
// open-file dialog, a whole run from opening a model to its hulls, and how a run ends.

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QMouseEvent>
#include <QOpenGLContext>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <QWheelEvent>

#include <GL/gl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/app.h"
#include "decomposition/decomposition.h"
#include "desktop/fit_dialog.h"
#include "desktop/glyphs.h"
#include "desktop/main_window.h"
#include "desktop/options_dialog.h"
#include "desktop/qt_platform.h"
#include "formats/engines.h"
#include "formats/export.h"
#include "geometry/mesh.h"
#include "geometry/surface.h"
#include "hull/hull.h"
#include "io/mesh_reading.h"
#include "state/state.h"
#include "tests/support/qt_application.h"

// Sends the window manager's close request (WM_DELETE_WINDOW) to the top-level window of the
// process pid with the given title, once it is there. Returns the window's geometry through the
// out parameters; false when no such window appeared within the time.
// With coloured, it first counts the window's pixels whose channels differ by more than 20 (the
// model's colour: the background, the menu bar and the frame are grey), counting again for up to
// timeoutMs while fewer than awaitColoured are (a loaded machine may draw the model late).
bool SendCloseRequest(const char* title, qint64 pid, int timeoutMs, int& x, int& y, int& width,
                      int& height, int* coloured = nullptr, int awaitColoured = 0);

// The title the window system shows for a native window: its _NET_WM_NAME and its WM_NAME, joined
// by a '|'.
std::string NativeTitles(unsigned long window);

namespace {

const char* const kTitle = "Convex Decomposition (Render Device OpenGL)";

// A window object that records what reaches it; commands and mouse events go no further.
class cRecordingWnd : public cGlWnd {
 public:
  struct cMouse {
    char kind;  // 'm' move, 'l' left button down, 'r' right button down
    std::uint32_t flags;
    int x, y;
    bool operator==(const cMouse&) const = default;
  };

  void OnCommand(std::uint32_t id) override { commands.push_back(id); }
  void OnMouseMove(std::uint32_t flags, int x, int y) override {
    mouse.push_back({'m', flags, x, y});
  }
  void OnLeftButtonDown(std::uint32_t flags, int x, int y) override {
    mouse.push_back({'l', flags, x, y});
  }
  void OnRightButtonDown(std::uint32_t flags, int x, int y) override {
    mouse.push_back({'r', flags, x, y});
  }
  void OnSize(int w, int h) override {
    sizes.emplace_back(w, h);
    cGlWnd::OnSize(w, h);
  }

  std::vector<std::uint32_t> commands;
  std::vector<cMouse> mouse;
  std::vector<QSize> sizes;
};

// The Qt platform with quit requests recorded instead of ending the event loop.
class cQuitRecordingPlatform : public cQtPlatform {
 public:
  void RequestQuit(int exitValue) override { quitRequests.push_back(exitValue); }
  std::vector<int> quitRequests;
};

// Closes every message box as soon as it is shown, remembering caption and text.
class cBoxCloser {
 public:
  struct cBox {
    std::string caption;
    std::string text;
    std::string nativeTitles;  // see NativeTitles
  };

  cBoxCloser() {
    timer.setInterval(20);
    QObject::connect(&timer, &QTimer::timeout, [this] { Poll(); });
    timer.start();
  }

  std::vector<cBox> boxes;

 private:
  void Poll() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(widget);
      if (box == nullptr || !box->isVisible()) continue;
      boxes.push_back({box->windowTitle().toStdString(), box->text().toStdString(),
                       NativeTitles(box->winId())});
      box->button(QMessageBox::Ok)->click();
    }
  }

  QTimer timer;
};

// The last visible message box among the top-level widgets, or nullptr.
QMessageBox* ShownMessageBox() {
  QMessageBox* shown = nullptr;
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* candidate = qobject_cast<QMessageBox*>(widget);
    if (candidate != nullptr && candidate->isVisible()) shown = candidate;
  }
  return shown;
}

QAction* FindAction(QMainWindow& window, const char* menu, const char* item) {
  for (QAction* title : window.menuBar()->actions()) {
    if (title->text() != QLatin1String(menu) || title->menu() == nullptr) continue;
    for (QAction* action : title->menu()->actions()) {
      if (action->text() == QLatin1String(item)) return action;
    }
  }
  return nullptr;
}

void Choose(QMainWindow& window, const char* menu, const char* item) {
  QAction* action = FindAction(window, menu, item);
  ASSERT_NE(action, nullptr) << menu << " > " << item;
  action->trigger();
}

bool Near(QRgb pixel, int r, int g, int b, int tolerance) {
  return std::abs(qRed(pixel) - r) <= tolerance && std::abs(qGreen(pixel) - g) <= tolerance &&
         std::abs(qBlue(pixel) - b) <= tolerance;
}

int CountPixels(const QImage& image, int r, int g, int b, int tolerance) {
  int count = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (Near(image.pixel(x, y), r, g, b, tolerance)) ++count;
    }
  }
  return count;
}

// True when the pixel can be the colour c lit by the scene's lights: the global ambient 0.2,
// two ambient 0.5 lights and one white diffuse light make every channel c times the same k,
// 1.2 <= k <= 2.2, clamped at 255.
bool LitShadeOf(QRgb pixel, const cColor& c) {
  const int shown[3] = {qRed(pixel), qGreen(pixel), qBlue(pixel)};
  const int base[3] = {c.red, c.green, c.blue};
  if (Near(pixel, 128, 128, 128, 2)) return false;  // the background
  double low = 1.15;
  double high = 2.25;
  for (int i = 0; i < 3; ++i) {
    if (base[i] == 0) {
      if (shown[i] > 1) return false;
    } else if (shown[i] >= 254) {
      low = std::max(low, 252.0 / base[i]);
    } else {
      low = std::max(low, (shown[i] - 1.5) / base[i]);
      high = std::min(high, (shown[i] + 1.5) / base[i]);
    }
  }
  return low <= high;
}

int CountShades(const QImage& image, const cColor& c) {
  int count = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (LitShadeOf(image.pixel(x, y), c)) ++count;
    }
  }
  return count;
}

void ExpectEyeDistance(float distance) {
  EXPECT_NEAR(
      std::sqrt(CameraEye.x * CameraEye.x + CameraEye.y * CameraEye.y + CameraEye.z * CameraEye.z),
      distance, distance * 1e-5);
}

// A move of the pointer without a button, as the window system reports it.
void MovePointer(QWidget& widget, QPoint at) {
  QMouseEvent event(QEvent::MouseMove, QPointF(at), QPointF(widget.mapToGlobal(at)), Qt::NoButton,
                    Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(&widget, &event);
}

// The busy screen's text colour (0.7, 0.9, 0.8) in bytes.
int CountTextPixels(const QImage& image) {
  return CountPixels(image, 178, 229, 204, 2);
}

// Starts a worker that keeps Busy raised until release is set, as a computation does.
void StartBusyWorker(cPlatform& platform, const std::atomic<bool>& release,
                     std::atomic<cThreadHandle>& handle) {
  Busy.fetch_add(1);
  platform.StartThread(
      [&release] {
        while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        Busy.fetch_sub(1);
      },
      handle);
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetProcessState();
    SetPlatform(&platform);
  }

  void TearDown() override {
    platform.StopWorkers();
    window.reset();
    delete CurrentMesh;
    CurrentMesh = nullptr;
    SetPlatform(nullptr);
  }

  // Shows the window and waits for its first frame.
  cMainWindow& Show(std::unique_ptr<cGlWnd> wnd = std::make_unique<cGlWnd>()) {
    window = std::make_unique<cMainWindow>(platform, std::move(wnd));
    QObject::connect(window->View(), &QOpenGLWidget::frameSwapped, [this] { ++frames; });
    window->ShowAtTopLeft();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    EXPECT_TRUE(QTest::qWaitFor([this] { return frames > 1; }, 10000));
    return *window;
  }

  cGlView& View() { return *window->View(); }

  cQuitRecordingPlatform platform;
  std::unique_ptr<cMainWindow> window;
  int frames = 0;
};

// --- Window, menus, events ---------------------------------------------------------------------

TEST_F(WindowTest, OpensTitledAtTheTopLeftWithItsOuterSizeShowingGrey) {
  Show();
  EXPECT_EQ(window->windowTitle(), QString::fromLatin1(kTitle));
  // The status line is added below: the view keeps the size it has in an 800 x 600 window.
  EXPECT_EQ(window->frameGeometry(),
            QRect(0, 0, kWindowOuterWidth, kWindowOuterHeight + kStatusLineHeight));
  EXPECT_EQ(View().height(),
            window->geometry().height() - window->menuBar()->height() - kStatusLineHeight);
  EXPECT_EQ(View().width(), window->geometry().width());
  EXPECT_EQ(window->centralWidget(), window->View());
  EXPECT_EQ(window->StatusLine()->text(), QStringLiteral("No model"));
  EXPECT_EQ(View().Wnd().width, View().width());
  EXPECT_EQ(View().Wnd().height, View().height());

  const QImage frame = View().grabFramebuffer();
  ASSERT_FALSE(frame.isNull());
  EXPECT_EQ(CountPixels(frame, 128, 128, 128, 1), frame.width() * frame.height());
}

TEST_F(WindowTest, MenusHaveTheTabledItemsEachSendingItsCommandId) {
  auto* wnd = new cRecordingWnd;
  Show(std::unique_ptr<cGlWnd>(wnd));
  struct cItem {
    const char* label;  // nullptr: a separator
    std::uint32_t id;
  };
  const std::vector<std::pair<const char*, std::vector<cItem>>> expected = {
      {"File",
       {{"Open", 1}, {"Save", 2}, {"Export...", 4}, {"Reset", 3}, {nullptr, 0}, {"Quit", 0}}},
      {"View",
       {{"Bound Box", 10},
        {"Normals", 11},
        {"Fill", 12},
        {"Lines", 13},
        {"Points", 14},
        {"Axis", 15},
        {nullptr, 0},
        {"Options...", 16},
        {nullptr, 0},
        {"Fit", 17}}},
      {"Tools", {{"Decompose", 30}, {"Convex Hull", 31}, {nullptr, 0}, {"Fit Hulls...", 32}}},
  };
  const QList<QAction*> titles = window->menuBar()->actions();
  ASSERT_EQ(titles.size(), static_cast<qsizetype>(expected.size()));
  for (std::size_t m = 0; m < expected.size(); ++m) {
    const auto& [title, items] = expected[m];
    EXPECT_EQ(titles[m]->text(), QLatin1String(title));
    ASSERT_NE(titles[m]->menu(), nullptr) << title;
    const QList<QAction*> actions = titles[m]->menu()->actions();
    ASSERT_EQ(actions.size(), static_cast<qsizetype>(items.size())) << title;
    for (std::size_t i = 0; i < items.size(); ++i) {
      QAction* action = actions[i];
      if (items[i].label == nullptr) {
        EXPECT_TRUE(action->isSeparator()) << title << " item " << i;
        continue;
      }
      EXPECT_EQ(action->text(), QLatin1String(items[i].label));
      EXPECT_FALSE(action->isCheckable()) << items[i].label;
      EXPECT_TRUE(action->isEnabled()) << items[i].label;
      wnd->commands.clear();
      action->trigger();
      EXPECT_EQ(wnd->commands, std::vector<std::uint32_t>{items[i].id}) << items[i].label;
    }
  }
}

TEST_F(WindowTest, MouseEventsArriveWithKeyFlagsAndUnsignedWords) {
  auto* wnd = new cRecordingWnd;
  Show(std::unique_ptr<cGlWnd>(wnd));
  auto send = [this](QEvent::Type type, QPoint at, Qt::MouseButton button, Qt::MouseButtons held) {
    QMouseEvent event(type, QPointF(at), QPointF(View().mapToGlobal(at)), button, held,
                      Qt::NoModifier);
    QApplication::sendEvent(&View(), &event);
  };
  wnd->mouse.clear();
  send(QEvent::MouseMove, {30, 40}, Qt::NoButton, Qt::NoButton);
  send(QEvent::MouseButtonPress, {5, 6}, Qt::LeftButton, Qt::LeftButton);
  send(QEvent::MouseMove, {7, 9}, Qt::NoButton, Qt::LeftButton);
  send(QEvent::MouseButtonPress, {7, 9}, Qt::RightButton, Qt::LeftButton | Qt::RightButton);
  send(QEvent::MouseMove, {8, 12}, Qt::NoButton, Qt::LeftButton | Qt::RightButton);
  send(QEvent::MouseButtonRelease, {8, 12}, Qt::LeftButton, Qt::RightButton);
  // Dragged out to the left and above, and past the right and bottom edges: moves off the view
  // are not delivered, as the window system delivers moves only over the window.
  send(QEvent::MouseMove, {-1, -2}, Qt::NoButton, Qt::RightButton);
  send(QEvent::MouseMove, {View().width(), 12}, Qt::NoButton, Qt::RightButton);
  send(QEvent::MouseMove, {8, View().height()}, Qt::NoButton, Qt::RightButton);
  send(QEvent::MouseMove, {View().width() - 1, View().height() - 1}, Qt::NoButton, Qt::RightButton);
  const std::vector<cRecordingWnd::cMouse> expected = {
      {'m', 0, 30, 40}, {'l', 1, 5, 6},  {'m', 1, 7, 9},
      {'r', 3, 7, 9},   {'m', 3, 8, 12}, {'m', 2, View().width() - 1, View().height() - 1},
  };
  EXPECT_EQ(wnd->mouse, expected);

  // A real pointer moving over the widget is seen without any button held.
  wnd->mouse.clear();
  QTest::mouseMove(&View(), QPoint(100, 120));
  (void)QTest::qWaitFor([&] { return !wnd->mouse.empty(); }, 2000);
  ASSERT_FALSE(wnd->mouse.empty());
  EXPECT_EQ(wnd->mouse.back(), (cRecordingWnd::cMouse{'m', 0, 100, 120}));
}

TEST_F(WindowTest, SizeChangesReachTheWindowObjectAsTheWidgetsSize) {
  auto* wnd = new cRecordingWnd;
  Show(std::unique_ptr<cGlWnd>(wnd));
  ASSERT_FALSE(wnd->sizes.empty());
  EXPECT_EQ(wnd->sizes.back(), View().size());
  window->resize(640, 480);
  (void)QTest::qWaitFor([&] { return View().width() < 700 && wnd->sizes.back() == View().size(); },
                        5000);
  EXPECT_EQ(wnd->sizes.back(), View().size());
  EXPECT_LT(View().width(), 700);
  EXPECT_EQ(wnd->width, View().width());
  EXPECT_EQ(wnd->height, View().height());
}

TEST_F(WindowTest, DragsLeavingTheViewLeaveTheCameraWhereItWas) {
  Show();
  auto send = [this](QPoint at, Qt::MouseButtons held) {
    QMouseEvent event(QEvent::MouseMove, QPointF(at), QPointF(View().mapToGlobal(at)), Qt::NoButton,
                      held, Qt::NoModifier);
    QApplication::sendEvent(&View(), &event);
  };
  const int w = View().width();
  const int h = View().height();
  CameraDistance = 10.0f;
  CameraRotation = cVec3(0.5f, 1.0f, 0.0f);
  send({100, 100}, Qt::NoButton);
  // Both buttons up onto the menu bar, then out of every edge with one and with both buttons.
  const std::vector<std::pair<QPoint, Qt::MouseButtons>> outside = {
      {{100, -14}, Qt::LeftButton | Qt::RightButton},
      {{100, -1}, Qt::LeftButton},
      {{-3, 100}, Qt::LeftButton},
      {{w + 40, 100}, Qt::LeftButton},
      {{100, h + 30}, Qt::LeftButton | Qt::RightButton},
      {{-200, -300}, Qt::LeftButton | Qt::RightButton},
  };
  for (const auto& [at, held] : outside) {
    send(at, held);
    EXPECT_EQ(CameraDistance, 10.0f) << at.x() << " " << at.y();
    EXPECT_EQ(CameraRotation.x, 0.5f) << at.x() << " " << at.y();
    EXPECT_EQ(CameraRotation.y, 1.0f) << at.x() << " " << at.y();
  }
  // Back over the view the drag goes on from the last place seen on it.
  send({110, 104}, Qt::LeftButton);
  EXPECT_FLOAT_EQ(CameraRotation.y, 1.0f + 10 * kRotationStep);
  EXPECT_FLOAT_EQ(CameraRotation.x, 0.5f + 4 * kRotationStep);
  send({110, 101}, Qt::LeftButton | Qt::RightButton);
  EXPECT_EQ(CameraDistance, 7.0f);
}

TEST_F(WindowTest, CloseButtonAsksToQuitOnlyOnceNoComputationRuns) {
  Show();
  // A computation in progress: the close waits for it.
  std::atomic<bool> release{false};
  std::atomic<cThreadHandle> handle{0};
  StartBusyWorker(platform, release, handle);
  EXPECT_FALSE(window->close());  // the window stays
  EXPECT_TRUE(window->isVisible());
  const int before = frames;
  (void)QTest::qWaitFor([&] { return frames > before + 3; }, 5000);
  EXPECT_TRUE(platform.quitRequests.empty());

  release.store(true);
  (void)QTest::qWaitFor([&] { return !platform.quitRequests.empty(); }, 5000);
  EXPECT_EQ(platform.quitRequests, std::vector<int>{0});

  EXPECT_FALSE(window->close());
  EXPECT_EQ(platform.quitRequests, (std::vector<int>{0, 0}));
}

// --- GL context, font and frames ---------------------------------------------------------------

TEST_F(WindowTest, ContextIsCompatibilityWithDepthAndStencilBuffers) {
  Show();
  QOpenGLContext* context = View().context();
  ASSERT_NE(context, nullptr);
  const QSurfaceFormat format = context->format();
  EXPECT_TRUE(format.profile() == QSurfaceFormat::CompatibilityProfile ||
              format.version() < qMakePair(3, 2))
      << format.majorVersion() << "." << format.minorVersion();
  View().makeCurrent();
  GLint depth = 0;
  GLint stencil = 0;
  glGetIntegerv(GL_DEPTH_BITS, &depth);
  glGetIntegerv(GL_STENCIL_BITS, &stencil);
  EXPECT_GE(depth, 16);
  EXPECT_GE(stencil, 8);
  EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));  // fixed-function calls are there
  View().doneCurrent();
}

TEST_F(WindowTest, FontListsExistWhileTheWindowRunsAndGoWithTheScene) {
  Show();
  const unsigned base = View().Wnd().fontListBase;
  ASSERT_NE(base, 0u);
  View().makeCurrent();
  EXPECT_TRUE(glIsList(base));
  EXPECT_TRUE(glIsList(base + kFontGlyphCount - 1));
  View().doneCurrent();

  CurrentMesh = new cMesh();
  View().ReleaseScene();
  EXPECT_EQ(CurrentMesh, nullptr);
  EXPECT_EQ(View().Wnd().fontListBase, 0u);
  View().makeCurrent();
  EXPECT_FALSE(glIsList(base));
  View().doneCurrent();
}

TEST_F(WindowTest, DrawsFrameAfterFrameOnItsOwn) {
  Show();
  const int before = frames;
  const float angle = LightAngle;
  QTest::qWait(500);
  EXPECT_GE(frames, before + 5);
  EXPECT_NE(LightAngle, angle);  // every scene frame moves the circling light
}

TEST_F(WindowTest, BusyScreenSaysPleaseWaitWhileAWorkerRuns) {
  Show();
  std::atomic<bool> release{false};
  std::atomic<cThreadHandle> handle{0};
  StartBusyWorker(platform, release, handle);
  const QImage busy = View().grabFramebuffer();
  const int textPixels = CountTextPixels(busy);
  EXPECT_GT(textPixels, 2000);
  // Grey around the text.
  EXPECT_GT(CountPixels(busy, 128, 128, 128, 1), busy.width() * busy.height() / 2);
  // The text starts left of the centre, its baseline below it.
  int left = busy.width();
  int lowest = 0;
  for (int y = 0; y < busy.height(); ++y) {
    for (int x = 0; x < busy.width(); ++x) {
      if (Near(busy.pixel(x, y), 178, 229, 204, 2)) {
        left = std::min(left, x);
        lowest = std::max(lowest, y);
      }
    }
  }
  EXPECT_LT(left, busy.width() / 2);
  EXPECT_GT(lowest, busy.height() / 2);

  release.store(true);
  ASSERT_TRUE(QTest::qWaitFor([] { return Busy.load() == 0; }, 5000));
  const QImage scene = View().grabFramebuffer();
  EXPECT_EQ(CountTextPixels(scene), 0);
}

TEST_F(WindowTest, SceneReturnsInTheCamerasViewAfterTheBusyScreenWithoutAMove) {
  platform.fileChooserOverride = [](const std::string&) {
    return std::optional<std::string>(CD_FIXTURES "/window_cube.stl");
  };
  Show();
  Choose(*window, "File", "Open");
  ASSERT_NE(CurrentMesh, nullptr);
  const cColor color = CurrentMesh->color;
  EXPECT_GT(CountShades(View().grabFramebuffer(), color), 500);

  std::atomic<bool> release{false};
  std::atomic<cThreadHandle> handle{0};
  StartBusyWorker(platform, release, handle);
  int before = frames;
  ASSERT_TRUE(QTest::qWaitFor([&] { return frames > before + 2; }, 5000));
  EXPECT_GT(CountTextPixels(View().grabFramebuffer()), 2000);
  release.store(true);
  ASSERT_TRUE(QTest::qWaitFor([] { return Busy.load() == 0; }, 5000));
  before = frames;
  ASSERT_TRUE(QTest::qWaitFor([&] { return frames > before + 2; }, 5000));
  EXPECT_GT(CountShades(View().grabFramebuffer(), color), 500);
}

TEST(Glyphs, PackedBottomRowFirstMostSignificantBitLeftmost) {
  QImage image(10, 2, QImage::Format_Grayscale8);
  image.fill(0);
  image.setPixel(0, 0, qRgb(255, 255, 255));  // top row, leftmost
  image.setPixel(9, 1, qRgb(255, 255, 255));  // bottom row, rightmost
  image.setPixel(3, 1, qRgb(127, 127, 127));  // darker than mid-grey: not set
  const cGlyphBitmap glyph = PackGlyph(image, 1.0f, 2.0f, 11.0f);
  EXPECT_EQ(glyph.width, 10);
  EXPECT_EQ(glyph.height, 2);
  EXPECT_EQ(glyph.originX, 1.0f);
  EXPECT_EQ(glyph.originY, 2.0f);
  EXPECT_EQ(glyph.advance, 11.0f);
  EXPECT_EQ(glyph.bits, (std::vector<std::uint8_t>{0x00, 0x40, 0x80, 0x00}));
}

TEST(Glyphs, FontIsTheArialStandInAboutOneHundredTwentyPixelsHigh) {
  const QFont font = BitmapFont();
  EXPECT_EQ(QFontInfo(font).family(), QStringLiteral("Liberation Sans"));
  const std::vector<cGlyphBitmap> glyphs = RenderGlyphs(font);
  ASSERT_EQ(glyphs.size(), static_cast<std::size_t>(kFontGlyphCount));
  auto glyphOf = [&](char c) { return glyphs[static_cast<std::size_t>(c - kFontFirstChar)]; };
  auto inkRows = [](const cGlyphBitmap& g, int& lowest, int& highest) {
    const int rowBytes = (g.width + 7) / 8;
    lowest = g.height;
    highest = -1;
    for (int row = 0; row < g.height; ++row) {
      for (int b = 0; b < rowBytes; ++b) {
        if (g.bits[static_cast<std::size_t>(row * rowBytes + b)] != 0) {
          lowest = std::min(lowest, row);
          highest = std::max(highest, row);
        }
      }
    }
  };
  int lowest = 0;
  int highest = 0;
  const cGlyphBitmap h = glyphOf('H');
  inkRows(h, lowest, highest);
  // A capital stands on the baseline and is about 0.72 of the 120-pixel em high.
  EXPECT_NEAR(lowest, h.originY, 1.0);
  EXPECT_NEAR(highest - lowest + 1, 86, 6);
  const cGlyphBitmap p = glyphOf('p');
  inkRows(p, lowest, highest);
  EXPECT_LT(lowest, p.originY - 15);  // the descender reaches below the baseline

  const cGlyphBitmap space = glyphOf(' ');
  inkRows(space, lowest, highest);
  EXPECT_EQ(highest, -1);
  EXPECT_GT(space.advance, 20.0f);
  EXPECT_GT(glyphOf('W').advance, 2.0f * glyphOf('i').advance);
}

// --- Message boxes and the open-file dialog ----------------------------------------------------

TEST_F(WindowTest, WorkersBoxBlocksOnlyTheWorkerWhileTheWindowDrawsAndListens) {
  auto* wnd = new cRecordingWnd;
  Show(std::unique_ptr<cGlWnd>(wnd));
  std::atomic<bool> returned{false};
  std::atomic<cThreadHandle> handle{0};
  platform.StartThread(
      [&] {
        Platform().ShowMessage("objects: 3", "message");
        returned.store(true);
      },
      handle);
  // The box runs in an event loop of its own, under whatever waits here: it is looked at and
  // closed from a timer.
  QMessageBox* box = nullptr;
  int ticks = 0;
  int framesAtBox = 0;
  int framesDuringBox = 0;
  bool modalWidget = true;
  bool clickSeen = false;
  bool returnedWhileOpen = true;
  QTimer driver;
  driver.setInterval(20);
  QObject::connect(&driver, &QTimer::timeout, [&] {
    if (box == nullptr) {
      box = ShownMessageBox();
      if (box == nullptr) return;
      EXPECT_EQ(box->text(), QStringLiteral("objects: 3"));
      EXPECT_EQ(box->windowTitle(), QStringLiteral("message"));
      EXPECT_EQ(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
      EXPECT_EQ(box->icon(), QMessageBox::NoIcon);
      EXPECT_EQ(box->parentWidget(), nullptr);
      framesAtBox = frames;
      modalWidget = QApplication::activeModalWidget() != nullptr;
      // A real click on the window reaches the window object: the window is not blocked.
      wnd->mouse.clear();
      QTest::mouseClick(&View(), Qt::LeftButton, Qt::NoModifier, QPoint(50, 60));
      clickSeen = !wnd->mouse.empty();
      return;
    }
    if (++ticks < 25) return;  // half a second with the box open
    framesDuringBox = frames - framesAtBox;
    returnedWhileOpen = returned.load();
    box->button(QMessageBox::Ok)->click();
    driver.stop();
  });
  driver.start();
  EXPECT_TRUE(QTest::qWaitFor([&] { return returned.load(); }, 20000));
  EXPECT_NE(box, nullptr);
  EXPECT_FALSE(modalWidget);
  EXPECT_TRUE(clickSeen);
  EXPECT_GT(framesDuringBox, 3);  // the window kept drawing
  EXPECT_FALSE(returnedWhileOpen);
}

TEST_F(WindowTest, BoxOnTheUiThreadReturnsWhenClosed) {
  Show();
  cBoxCloser closer;
  Platform().ShowMessage("triangles: 12", "");
  ASSERT_EQ(closer.boxes.size(), 1u);
  EXPECT_EQ(closer.boxes[0].text, "triangles: 12");
}

TEST_F(WindowTest, BoxTitlesAreTheirCaptionsEvenWhenEmpty) {
  Show();
  cBoxCloser closer;
  Platform().ShowMessage("triangles: 12", "");
  Platform().ShowMessage("Convex hull completed...", "message");
  std::atomic<bool> returned{false};
  std::atomic<cThreadHandle> handle{0};
  platform.StartThread(
      [&] {
        Platform().ShowMessage("objects: 2", "");
        Platform().ShowMessage("Convex hull completed...", "message");
        returned.store(true);
      },
      handle);
  ASSERT_TRUE(QTest::qWaitFor([&] { return returned.load(); }, 20000));
  ASSERT_EQ(closer.boxes.size(), 4u);
  EXPECT_EQ(closer.boxes[0].nativeTitles, "|");
  EXPECT_EQ(closer.boxes[1].nativeTitles, "message|message");
  EXPECT_EQ(closer.boxes[2].text, "objects: 2");
  EXPECT_EQ(closer.boxes[2].nativeTitles, "|");
  EXPECT_EQ(closer.boxes[3].nativeTitles, "message|message");
}

// A worker's box is closed while a dialog opened after it is still up: the worker goes on at
// once, and the dialog stays until it is ended itself.
void CheckWorkerBoxFreedUnderDialog(cMainWindow& window, cQtPlatform& platform,
                                    const char* dialogName, std::function<void()> openDialog) {
  std::atomic<bool> returned{false};
  std::atomic<cThreadHandle> handle{0};
  Busy.fetch_add(1);
  platform.StartThread(
      [&] {
        Platform().ShowMessage("objects: 3", "");
        returned.store(true);
        Busy.fetch_sub(1);
      },
      handle);
  QMessageBox* box = nullptr;
  QWidget* dialog = nullptr;
  bool dialogRequested = false;
  bool boxClosed = false;
  int ticksAfterClose = 0;
  bool returnedUnderDialog = false;
  bool busyEndedUnderDialog = false;
  QTimer driver;
  driver.setInterval(20);
  QObject::connect(&driver, &QTimer::timeout, [&] {
    if (box == nullptr) {
      box = ShownMessageBox();
      return;
    }
    if (!dialogRequested) {
      // The command runs from the event queue, as a menu click does, not inside this timer.
      dialogRequested = true;
      QMetaObject::invokeMethod(&window, openDialog, Qt::QueuedConnection);
      return;
    }
    if (dialog == nullptr) {
      for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget != box && qobject_cast<QDialog*>(widget) != nullptr && widget->isVisible())
          dialog = widget;
      }
      return;
    }
    if (!boxClosed) {
      boxClosed = true;
      box->button(QMessageBox::Ok)->click();
      return;
    }
    if (++ticksAfterClose < 25 && !(returned.load() && Busy.load() == 0)) return;
    returnedUnderDialog = returned.load() && dialog->isVisible();
    busyEndedUnderDialog = Busy.load() == 0 && dialog->isVisible();
    if (auto* options = qobject_cast<cOptionsDialog*>(dialog)) {
      options->OkButton()->click();
    } else {
      qobject_cast<QDialog*>(dialog)->reject();
    }
    driver.stop();
  });
  driver.start();
  EXPECT_TRUE(QTest::qWaitFor([&] { return returned.load() && !driver.isActive(); }, 30000));
  EXPECT_TRUE(boxClosed) << dialogName;
  EXPECT_TRUE(returnedUnderDialog) << dialogName;
  EXPECT_TRUE(busyEndedUnderDialog) << dialogName;
}

TEST_F(WindowTest, ClosingAWorkersBoxFreesItWhileALaterDialogIsOpen) {
  Show();
  CheckWorkerBoxFreedUnderDialog(*window, platform, "Options",
                                 [this] { Choose(*window, "View", "Options..."); });
  // File > Open is ignored while a computation runs; the platform's file dialog is a dialog
  // with an event loop of its own all the same.
  CheckWorkerBoxFreedUnderDialog(*window, platform, "open-file dialog",
                                 [this] { (void)platform.ChooseStlFile(""); });
}

// A command goes on drawing after its dialog: the dialog's event loop composed the window with
// the window system's own context, and the command must find its own context current again.
class cContextCheckingWnd : public cGlWnd {
 public:
  void OnCommand(std::uint32_t id) override {
    cGlWnd::OnCommand(id);
    ownContextAfterCommand = QOpenGLContext::currentContext() == view->context();
  }
  cGlView* view = nullptr;
  bool ownContextAfterCommand = false;
};

TEST_F(WindowTest, CommandsFindTheirContextCurrentAfterADialog) {
  auto* wnd = new cContextCheckingWnd;
  Show(std::unique_ptr<cGlWnd>(wnd));
  wnd->view = &View();
  int okClicks = 0;
  QTimer driver;
  driver.setInterval(20);
  QObject::connect(&driver, &QTimer::timeout, [&] {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      auto* ok = widget->findChild<QPushButton*>();
      if (widget->windowTitle() != QStringLiteral("Options") || !widget->isVisible() ||
          ok == nullptr)
        continue;
      if (++okClicks < 10) return;  // a few frames drawn while it is open
      ok->click();
    }
  });
  driver.start();
  Choose(*window, "View", "Options...");
  EXPECT_GE(okClicks, 10);
  EXPECT_TRUE(wnd->ownContextAfterCommand);
}

// A file in a folder whose path is far longer than 128 characters.
QString LongPathCopyOf(const QTemporaryDir& root, const char* fixture) {
  QString folder = root.path();
  for (int i = 0; i < 5; ++i)
    folder += QStringLiteral("/a_folder_name_of_exactly_forty_characters_");
  EXPECT_TRUE(QDir().mkpath(folder));
  const QString path = folder + QStringLiteral("/model.stl");
  EXPECT_TRUE(QFile::copy(QString::fromLatin1(CD_FIXTURES "/") + QLatin1String(fixture), path));
  EXPECT_GT(path.size(), 200);
  return path;
}

TEST_F(WindowTest, OpenDialogFiltersMeshFilesStartsFromTheLastNameAndTakesLongPaths) {
  QTemporaryDir root;
  ASSERT_TRUE(root.isValid());
  const QString path = LongPathCopyOf(root, "window_cube.stl");
  Show();

  struct cSeen {
    QStringList filters;
    QString filter;
    QStringList selected;
  };
  std::vector<cSeen> seen;
  bool acceptNext = true;
  QString next = path;
  QTimer driver;
  driver.setInterval(20);
  QObject::connect(&driver, &QTimer::timeout, [&] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr || !dialog->isVisible()) return;
    seen.push_back({dialog->nameFilters(), dialog->selectedNameFilter(), dialog->selectedFiles()});
    if (acceptNext) {
      dialog->selectFile(next);
      QMetaObject::invokeMethod(dialog, "accept");
    } else {
      dialog->reject();
    }
  });
  driver.start();

  Choose(*window, "File", "Open");
  ASSERT_EQ(seen.size(), 1u);
  const QStringList filters = {
      QStringLiteral("stl file (*.stl)"),
      QStringLiteral("mesh files (*.stl *.obj *.ply *.off *.gltf *.glb *.3mf)"),
      QStringLiteral("obj file (*.obj)"),
      QStringLiteral("ply file (*.ply)"),
      QStringLiteral("off file (*.off)"),
      QStringLiteral("gltf file (*.gltf)"),
      QStringLiteral("glb file (*.glb)"),
      QStringLiteral("3mf file (*.3mf)")};
  EXPECT_EQ(seen[0].filters, filters);
  EXPECT_EQ(seen[0].filter, filters[1]);
  ASSERT_NE(CurrentMesh, nullptr);
  EXPECT_EQ(CurrentMesh->triangles.size(), 12u);
  EXPECT_EQ(View().Wnd().lastFileName, QFile::encodeName(path).toStdString());

  acceptNext = false;
  Choose(*window, "File", "Open");
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].selected, QStringList{path});  // starts from the name chosen before
  ASSERT_NE(CurrentMesh, nullptr);
  EXPECT_TRUE(CurrentMesh->triangles.empty());  // cancelled: a new, empty mesh

  // Another kind of mesh file opens through the same dialog.
  acceptNext = true;
  next = root.path() + QStringLiteral("/pyramid.off");
  ASSERT_TRUE(QFile::copy(QStringLiteral(CD_FIXTURES "/formats_pyramid.off"), next));
  Choose(*window, "File", "Open");
  ASSERT_EQ(seen.size(), 3u);
  ASSERT_NE(CurrentMesh, nullptr);
  EXPECT_EQ(CurrentMesh->triangles.size(), 6u);
}

// --- A whole run ------------------------------------------------------------------------------

TEST_F(WindowTest, OpenDecomposeAndHullsShowPiecesThenHullsInTheirColours) {
  platform.fileChooserOverride = [](const std::string&) {
    return std::optional<std::string>(CD_FIXTURES "/window_two_cubes.stl");
  };
  Show();
  cBoxCloser closer;

  // The status line follows what is open and what the commands made of it.
  const auto statusSays = [&](const char* text) {
    return QTest::qWaitFor([&] { return window->StatusLine()->text() == QLatin1String(text); },
                           10000);
  };
  Choose(*window, "File", "Open");
  ASSERT_NE(CurrentMesh, nullptr);
  ASSERT_EQ(CurrentMesh->triangles.size(), 24u);
  const std::string opened =
      "window_two_cubes.stl | 24 triangles | box 6 x 2 x 2, diagonal 6.63325";
  EXPECT_TRUE(statusSays(opened.c_str())) << window->StatusLine()->text().toStdString();

  Choose(*window, "Tools", "Decompose");
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        return closer.boxes.size() >= 2 && Busy.load() == 0 && !cGlWnd::ComputationInProgress();
      },
      30000));
  ASSERT_EQ(closer.boxes.size(), 2u);
  EXPECT_EQ(closer.boxes[0].text, "triangles: 24");
  EXPECT_EQ(closer.boxes[1].text, "objects: 2");
  ASSERT_NE(CurrentMesh->decomposition, nullptr);
  const cDecomposition& decomposition = *CurrentMesh->decomposition;
  ASSERT_EQ(decomposition.pieces.size(), 2u);
  EXPECT_TRUE(statusSays((opened + " | 2 pieces").c_str()))
      << window->StatusLine()->text().toStdString();
  // The busy screen left its plain projection; the camera's comes back with the next move.
  MovePointer(View(), QPoint(200, 200));
  const QImage pieces = View().grabFramebuffer();
  for (const auto& piece : decomposition.pieces) EXPECT_GT(CountShades(pieces, piece->color), 500);

  Choose(*window, "Tools", "Convex Hull");
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        return closer.boxes.size() >= 3 && Busy.load() == 0 && !cGlWnd::ComputationInProgress();
      },
      30000));
  ASSERT_EQ(closer.boxes.size(), 3u);
  EXPECT_EQ(closer.boxes[2].caption, "message");
  EXPECT_EQ(closer.boxes[2].text, "Convex hull completed...");
  ASSERT_EQ(decomposition.hulls.size(), 2u);
  EXPECT_TRUE(statusSays((opened + " | 2 pieces | 2 hulls, 2 closed").c_str()))
      << window->StatusLine()->text().toStdString();
  MovePointer(View(), QPoint(200, 200));
  const QImage hulls = View().grabFramebuffer();
  for (const auto& component : decomposition.hulls) {
    const auto& hull = static_cast<const cHullResult&>(*component);
    EXPECT_FALSE(hull.faces.empty());
    EXPECT_GT(CountShades(hulls, hull.color), 200)
        << int(hull.color.red) << " " << int(hull.color.green) << " " << int(hull.color.blue);
  }
  EXPECT_EQ(CountTextPixels(hulls), 0);
}

// The whole file as bytes.
std::string FileBytes(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
}

std::string ObjBytes(const std::function<void(std::FILE*)>& write) {
  char* data = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&data, &size);
  write(out);
  std::fclose(out);
  std::string bytes(data, size);
  std::free(data);
  return bytes;
}

TEST_F(WindowTest, ExportWritesThePiecesThenTheHullsInTheFormatOfTheName) {
  platform.fileChooserOverride = [](const std::string&) {
    return std::optional<std::string>(CD_FIXTURES "/window_two_cubes.stl");
  };
  QTemporaryDir root;
  ASSERT_TRUE(root.isValid());
  std::string answer;
  std::vector<std::string> asked;
  platform.exportChooserOverride = [&](const std::string& previous) {
    asked.push_back(previous);
    return answer.empty() ? std::nullopt : std::optional<std::string>(answer);
  };
  Show();
  cBoxCloser closer;
  const auto await = [&](std::size_t boxes) {
    return QTest::qWaitFor(
        [&] {
          return closer.boxes.size() >= boxes && Busy.load() == 0 &&
                 !cGlWnd::ComputationInProgress();
        },
        30000);
  };
  const std::string folder = root.path().toStdString();

  // Nothing to write before Decompose; a cancelled dialog writes nothing either.
  Choose(*window, "File", "Open");
  answer = folder + "/early.obj";
  Choose(*window, "File", "Export...");
  ASSERT_TRUE(await(1));
  EXPECT_EQ(closer.boxes[0].text, "Nothing to export: no hulls or pieces yet");
  answer.clear();
  Choose(*window, "File", "Export...");
  EXPECT_EQ(QDir(root.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size(), 0);

  // After Decompose: the pieces, as the batch tool's pieces OBJ has them.
  Choose(*window, "Tools", "Decompose");
  ASSERT_TRUE(await(3));
  const cDecomposition& decomposition = *CurrentMesh->decomposition;
  answer = folder + "/pieces.obj";
  Choose(*window, "File", "Export...");
  EXPECT_EQ(FileBytes(QString::fromStdString(answer)),
            ObjBytes([&](std::FILE* out) { WritePiecesObj(out, decomposition.pieces); }));
  EXPECT_EQ(asked.back(), folder + "/early.obj");  // the dialog starts from the last name

  // After Convex Hull, the hulls: an MJCF whose folder holds each hull float for float, a URDF,
  // a GLB, a folder of STL files (a name without an extension) and an OBJ.
  Choose(*window, "Tools", "Convex Hull");
  ASSERT_TRUE(await(4));
  ASSERT_EQ(decomposition.hulls.size(), 2u);
  for (const char* name : {"/h.xml", "/h.URDF", "/h.glb", "/stl", "/h.obj"}) {
    answer = folder + name;
    Choose(*window, "File", "Export...");
  }
  for (const char* folderName : {"/h_meshes/", "/stl/"}) {
    for (std::size_t i = 0; i < 2; ++i) {
      const std::string path = folder + folderName + "hull_" + std::to_string(i + 1) + ".stl";
      const cMeshData read = ReadMeshFile(path);
      ASSERT_EQ(read.error, 0) << path;
      ASSERT_EQ(read.triangles.size(), decomposition.hulls[i]->faces.size()) << path;
      EXPECT_EQ(std::memcmp(read.triangles.data(), decomposition.hulls[i]->faces.data(),
                            read.triangles.size() * sizeof(cTriangle)),
                0)
          << path;
    }
  }
  const std::string mjcf = FileBytes(root.filePath("h.xml"));
  EXPECT_NE(mjcf.find("<geom name=\"hull_2\" type=\"mesh\" mesh=\"hull_2\""), std::string::npos);
  const std::string urdf = FileBytes(root.filePath("h.URDF"));
  EXPECT_NE(urdf.find("<collision name=\"hull_2\">"), std::string::npos) << urdf;
  EXPECT_TRUE(QFileInfo::exists(root.filePath("h_meshes/source.stl")));
  EXPECT_EQ(FileBytes(root.filePath("h.glb")).substr(0, 4), "glTF");
  EXPECT_EQ(FileBytes(root.filePath("h.obj")),
            ObjBytes([&](std::FILE* out) { WriteHullsObj(out, decomposition.hulls); }));

  // A name that cannot be written says so in a box.
  answer = folder + "/no/such/h.glb";
  Choose(*window, "File", "Export...");
  ASSERT_TRUE(await(5));
  EXPECT_EQ(closer.boxes[4].caption, "Export");
  EXPECT_EQ(closer.boxes[4].text, "Cannot write " + answer + ": No such file or directory");
}

TEST_F(WindowTest, MenuCommandsHaveTheirKeys) {
  Show();
  const struct {
    const char* menu;
    const char* item;
    const char* keys;
  } rows[] = {{"File", "Open", "Ctrl+O"},          {"File", "Quit", "Ctrl+Q"},
              {"File", "Export...", "Ctrl+E"},     {"View", "Fit", "Home"},
              {"Tools", "Fit Hulls...", "Ctrl+F"}, {"Tools", "Decompose", ""}};
  for (const auto& row : rows) {
    QAction* found = nullptr;
    for (QAction* title : window->menuBar()->actions()) {
      if (title->text() != QLatin1String(row.menu)) continue;
      for (QAction* action : title->menu()->actions()) {
        if (action->text() == QLatin1String(row.item)) found = action;
      }
    }
    ASSERT_NE(found, nullptr) << row.item;
    EXPECT_EQ(found->shortcut().toString(), QLatin1String(row.keys)) << row.item;
  }
}

TEST_F(WindowTest, FitHullsAsksForTheBudgetAndDrawsHullsWithinIt) {
  platform.fileChooserOverride = [](const std::string&) {
    return std::optional<std::string>(CD_FIXTURES "/window_two_cubes.stl");
  };
  Show();
  Choose(*window, "File", "Open");
  ASSERT_NE(CurrentMesh, nullptr);

  // Cancelled: nothing is made.
  QTimer::singleShot(50, [] {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      if (auto* dialog = qobject_cast<cFitDialog*>(widget)) dialog->reject();
    }
  });
  Choose(*window, "Tools", "Fit Hulls...");
  EXPECT_EQ(CurrentMesh->decomposition, nullptr);
  EXPECT_EQ(Busy.load(), 0);

  // Four hulls of at most eight vertices asked for: the two cubes are two hulls.
  QTimer answer;
  answer.setInterval(20);
  QObject::connect(&answer, &QTimer::timeout, [] {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      auto* dialog = qobject_cast<cFitDialog*>(widget);
      if (dialog == nullptr || !dialog->isVisible()) continue;
      dialog->HullsBox()->setValue(4);
      dialog->VerticesBox()->setValue(8);
      dialog->accept();
    }
  });
  answer.start();
  cBoxCloser closer;
  Choose(*window, "Tools", "Fit Hulls...");
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return !closer.boxes.empty() && Busy.load() == 0 && !cGlWnd::ComputationInProgress(); },
      30000));
  answer.stop();
  ASSERT_EQ(closer.boxes.size(), 1u);
  EXPECT_EQ(closer.boxes[0].caption, "message");
  EXPECT_EQ(closer.boxes[0].text.rfind("2 hulls from", 0), 0u) << closer.boxes[0].text;
  // How well they stand for the two cubes: the hulls are the cubes.
  EXPECT_NE(closer.boxes[0].text.find("\nIoU with the solid 1.000 (missing 0.00 %, excess 0.00 %)"),
            std::string::npos)
      << closer.boxes[0].text;
  ASSERT_NE(CurrentMesh->decomposition, nullptr);
  const cDecomposition& decomposition = *CurrentMesh->decomposition;
  ASSERT_EQ(decomposition.hulls.size(), 2u);
  EXPECT_EQ(decomposition.pieces.size(), 2u);
  EXPECT_EQ(View().Wnd().lastFit.maxHulls, 4);
  MovePointer(View(), QPoint(200, 200));
  const QImage hulls = View().grabFramebuffer();
  for (const cHullPointer& hull : decomposition.hulls) {
    EXPECT_EQ(DistinctCorners(hull->faces), 8u);
    EXPECT_GT(CountShades(hulls, hull->color), 200);
  }
}

// --- Opening by dropping, and the wheel -------------------------------------------------------

// A drop on the view of what data carries, as the window system delivers it: enter, then drop.
void Drop(QWidget& widget, const QMimeData& data) {
  QDragEnterEvent enter(QPoint(100, 100), Qt::CopyAction, &data, Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(&widget, &enter);
  QDropEvent drop(QPointF(100, 100), Qt::CopyAction, &data, Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(&widget, &drop);
}

QMimeData* Files(const QStringList& paths) {
  auto* data = new QMimeData;
  QList<QUrl> urls;
  for (const QString& path : paths) urls.push_back(QUrl::fromLocalFile(path));
  data->setUrls(urls);
  return data;
}

TEST_F(WindowTest, ADroppedMeshFileOpensAsOpenWouldAndNothingElseDoes) {
  Show();
  QTemporaryDir root;
  ASSERT_TRUE(root.isValid());
  const QString cube = QStringLiteral(CD_FIXTURES "/window_cube.stl");
  const QString twoCubes = QStringLiteral(CD_FIXTURES "/window_two_cubes.stl");
  const QString upper = root.path() + QStringLiteral("/MODEL.STL");
  ASSERT_TRUE(QFile::copy(twoCubes, upper));
  ASSERT_TRUE(QDir().mkpath(root.path() + QStringLiteral("/folder.stl")));

  // Not an STL file, no file at all, a remote one: nothing happens.
  auto text = std::make_unique<QMimeData>();
  text->setText(cube);
  Drop(View(), *text);
  Drop(View(), *std::unique_ptr<QMimeData>(Files({QStringLiteral(CD_FIXTURES "/cube.txt")})));
  auto remote = std::make_unique<QMimeData>();
  remote->setUrls({QUrl(QStringLiteral("https://example.org/model.stl"))});
  Drop(View(), *remote);
  EXPECT_EQ(CurrentMesh, nullptr);

  // The first STL among several files; the suffix in any case.
  Drop(View(), *std::unique_ptr<QMimeData>(Files({root.path() + "/notes.txt", cube, upper})));
  ASSERT_NE(CurrentMesh, nullptr);
  EXPECT_EQ(CurrentMesh->triangles.size(), 12u);
  EXPECT_EQ(View().Wnd().lastFileName, QFile::encodeName(cube).toStdString());
  EXPECT_FLOAT_EQ(CameraDistance,
                  static_cast<float>(Length(CurrentMesh->box.max - CurrentMesh->box.min)));
  Drop(View(), *std::unique_ptr<QMimeData>(Files({upper})));
  EXPECT_EQ(CurrentMesh->triangles.size(), 24u);
  // The other kinds of mesh file, in any case too; an unknown suffix is passed over.
  const QString objects = root.path() + QStringLiteral("/OBJECTS.OBJ");
  ASSERT_TRUE(QFile::copy(QStringLiteral(CD_FIXTURES "/formats_two_objects.obj"), objects));
  Drop(View(), *std::unique_ptr<QMimeData>(Files({root.path() + "/model.stp", objects})));
  EXPECT_EQ(CurrentMesh->triangles.size(), 3u);
  EXPECT_EQ(View().Wnd().lastFileName, QFile::encodeName(objects).toStdString());

  // Ignored while a computation runs, like Open.
  std::atomic<bool> release{false};
  std::atomic<cThreadHandle> handle{0};
  StartBusyWorker(platform, release, handle);
  Drop(View(), *std::unique_ptr<QMimeData>(Files({cube})));
  EXPECT_EQ(CurrentMesh->triangles.size(), 3u);
  release.store(true);
  ASSERT_TRUE(QTest::qWaitFor([] { return Busy.load() == 0; }, 5000));

  // What cannot be read gives an empty mesh, as Open does.
  const QString broken = root.path() + QStringLiteral("/broken.ply");
  {
    QFile file(broken);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("ply\nformat ascii 1.0\nelement vertex 3\n");  // the header never ends
  }
  for (const QString& bad : {root.path() + QStringLiteral("/missing.stl"),
                             root.path() + QStringLiteral("/folder.stl"), broken}) {
    Drop(View(), *std::unique_ptr<QMimeData>(Files({cube})));
    Drop(View(), *std::unique_ptr<QMimeData>(Files({bad})));
    ASSERT_NE(CurrentMesh, nullptr);
    EXPECT_TRUE(CurrentMesh->triangles.empty()) << bad.toStdString();
  }
  QTest::qWait(100);  // and frames go on
  EXPECT_TRUE(window->isVisible());
}

TEST_F(WindowTest, TheWheelMovesTheEyeATenthOfItsDistancePerNotch) {
  Show();
  auto turn = [this](int delta) {
    const QPointF at(100, 100);
    QWheelEvent event(at, View().mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(&View(), &event);
  };
  CameraDistance = 50.0f;
  turn(120);
  EXPECT_FLOAT_EQ(CameraDistance, 45.0f);
  ExpectEyeDistance(45.0f);
  turn(-240);
  EXPECT_FLOAT_EQ(CameraDistance, 45.0f / 0.81f);
}

// --- The end of a run -------------------------------------------------------------------------

cMainWindow* ShownMainWindow() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* window = dynamic_cast<cMainWindow*>(widget);
    if (window != nullptr && window->isVisible() && window->View()->isValid()) return window;
  }
  return nullptr;
}

TEST(Run, QuitFromTheFileMenuEndsItWithOneAndTheMeshGone) {
  ResetProcessState();
  cQtPlatform platform;
  SetPlatform(&platform);
  platform.fileChooserOverride = [](const std::string&) {
    return std::optional<std::string>(CD_FIXTURES "/window_cube.stl");
  };
  int step = 0;
  bool meshLoaded = false;
  QTimer driver;
  driver.setInterval(50);
  QObject::connect(&driver, &QTimer::timeout, [&] {
    cMainWindow* window = ShownMainWindow();
    if (window == nullptr) return;
    QMenuBar* bar = window->menuBar();
    QAction* file = bar->actions().value(0);
    if (step == 0) {
      Choose(*window, "File", "Open");
      meshLoaded = CurrentMesh != nullptr && CurrentMesh->triangles.size() == 12;
      QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier, bar->actionGeometry(file).center());
      step = 1;
    } else if (step == 1 && file->menu()->isVisible()) {
      QMenu* menu = file->menu();
      QTest::mouseClick(menu, Qt::LeftButton, Qt::NoModifier,
                        menu->actionGeometry(FindAction(*window, "File", "Quit")).center());
      step = 2;
    }
  });
  driver.start();
  EXPECT_EQ(RunDesktop(platform), 1);
  EXPECT_EQ(step, 2);
  EXPECT_TRUE(meshLoaded);
  EXPECT_EQ(CurrentMesh, nullptr);
  SetPlatform(nullptr);
}

TEST(Run, CloseDuringAComputationEndsItWithOneWhenTheComputationIsDone) {
  ResetProcessState();
  cQtPlatform platform;
  SetPlatform(&platform);
  std::atomic<bool> release{false};
  std::atomic<cThreadHandle> handle{0};
  int step = 0;
  QTimer driver;
  driver.setInterval(50);
  QObject::connect(&driver, &QTimer::timeout, [&] {
    cMainWindow* window = ShownMainWindow();
    if (window == nullptr) return;
    if (step == 0) {
      StartBusyWorker(platform, release, handle);
      window->close();
      step = 1;
    } else if (step < 10) {
      ++step;  // half a second later the run still goes on
    } else if (step == 10) {
      release.store(true);
      step = 11;
    }
  });
  driver.start();
  EXPECT_EQ(RunDesktop(platform), 1);
  EXPECT_EQ(step, 11);
  EXPECT_EQ(Busy.load(), 0);
  SetPlatform(nullptr);
}

TEST(Program, ShowsItsWindowAndEndsWithOneAfterTheCloseButton) {
  QProcess program;
  program.start(QStringLiteral(CD_PROGRAM), QStringList());
  ASSERT_TRUE(program.waitForStarted(10000));
  int x = -1;
  int y = -1;
  int width = 0;
  int height = 0;
  const bool sent = SendCloseRequest(kTitle, program.processId(), 20000, x, y, width, height);
  EXPECT_TRUE(sent);
  if (!sent) program.kill();
  EXPECT_EQ(x, 0);
  EXPECT_EQ(y, 0);
  EXPECT_EQ(width, kWindowOuterWidth);
  EXPECT_EQ(height, kWindowOuterHeight + kStatusLineHeight);
  ASSERT_TRUE(program.waitForFinished(20000));
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(program.exitCode(), 1);
}

TEST(Program, HelpPrintsTheUsageAndEndsWithZero) {
  for (const char* option : {"--help", "-h"}) {
    QProcess program;
    program.start(QStringLiteral(CD_PROGRAM), QStringList() << QString::fromLatin1(option));
    ASSERT_TRUE(program.waitForFinished(20000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);
    EXPECT_TRUE(program.readAllStandardOutput().startsWith("Usage: convexdecomp [FILE]\n"));
    EXPECT_TRUE(program.readAllStandardError().isEmpty());
  }
}

TEST(Program, OpensTheFileNamedOnItsCommandLine) {
  // Without a file, with one, with one that cannot be read (one line on standard error names
  // it and why, and the window opens with the empty mesh Open leaves) and with a file of another
  // kind than STL.
  std::array<int, 4> coloured = {-1, -1, -1, -1};
  std::array<QByteArray, 4> errors;
  for (int withFile = 0; withFile < 4; ++withFile) {
    QProcess program;
    QStringList arguments;
    if (withFile == 1) arguments << QStringLiteral(CD_FIXTURES "/window_cube.stl");
    if (withFile == 2) arguments << QStringLiteral(CD_FIXTURES "/no_such_file.stl");
    if (withFile == 3) arguments << QStringLiteral(CD_FIXTURES "/formats_pyramid.off");
    program.start(QStringLiteral(CD_PROGRAM), arguments);
    ASSERT_TRUE(program.waitForStarted(10000));
    int x = -1, y = -1, width = 0, height = 0;
    const bool sent = SendCloseRequest(kTitle, program.processId(), 20000, x, y, width, height,
                                       &coloured[static_cast<std::size_t>(withFile)],
                                       withFile == 1 || withFile == 3 ? 10001 : 0);
    EXPECT_TRUE(sent);
    if (!sent) program.kill();
    ASSERT_TRUE(program.waitForFinished(20000));
    EXPECT_EQ(program.exitCode(), 1);
    errors[static_cast<std::size_t>(withFile)] = program.readAllStandardError();
  }
  EXPECT_EQ(coloured[0], 0);  // without a file, grey
  EXPECT_GT(coloured[1], 10000);
  EXPECT_EQ(coloured[2], 0);
  EXPECT_GT(coloured[3], 10000);
  EXPECT_FALSE(errors[1].contains("convexdecomp:"));
  EXPECT_FALSE(errors[3].contains("convexdecomp:"));
  EXPECT_TRUE(errors[2].contains("convexdecomp: " CD_FIXTURES
                                 "/no_such_file.stl: No such file or directory\n"))
      << errors[2].toStdString();
  EXPECT_EQ(errors[2].count("convexdecomp:"), 1);
}

}  // namespace

// Xlib last: its macros (None, Bool, Status...) must not meet the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

bool HasTitleAndPid(Display* display, Window window, const char* title, qint64 pid) {
  const Atom pidAtom = XInternAtom(display, "_NET_WM_PID", False);
  const Atom nameAtom = XInternAtom(display, "_NET_WM_NAME", False);
  Atom type = 0;
  int format = 0;
  unsigned long count = 0;
  unsigned long remaining = 0;
  unsigned char* data = nullptr;
  bool pidMatches = false;
  if (XGetWindowProperty(display, window, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &count,
                         &remaining, &data) == Success &&
      data != nullptr) {
    pidMatches = count == 1 && static_cast<qint64>(*reinterpret_cast<unsigned long*>(data)) == pid;
  }
  if (data != nullptr) XFree(data);
  if (!pidMatches) return false;
  data = nullptr;
  bool titleMatches = false;
  if (XGetWindowProperty(display, window, nameAtom, 0, 1024, False, AnyPropertyType, &type, &format,
                         &count, &remaining, &data) == Success &&
      data != nullptr) {
    titleMatches = std::string(reinterpret_cast<char*>(data), count) == title;
  }
  if (data != nullptr) XFree(data);
  return titleMatches;
}

}  // namespace

bool SendCloseRequest(const char* title, qint64 pid, int timeoutMs, int& x, int& y, int& width,
                      int& height, int* coloured, int awaitColoured) {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return false;
  const Window root = DefaultRootWindow(display);
  Window found = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (found == 0 && std::chrono::steady_clock::now() < deadline) {
    Window rootReturn = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(display, root, &rootReturn, &parent, &children, &count) != 0) {
      for (unsigned int i = 0; i < count && found == 0; ++i) {
        XWindowAttributes attributes;
        if (XGetWindowAttributes(display, children[i], &attributes) != 0 &&
            attributes.map_state == IsViewable &&
            HasTitleAndPid(display, children[i], title, pid)) {
          found = children[i];
          x = attributes.x;
          y = attributes.y;
          width = attributes.width;
          height = attributes.height;
        }
      }
      if (children != nullptr) XFree(children);
    }
    if (found == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (found != 0) {
    // Let the first frames be drawn before asking it to close.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (coloured != nullptr) {
      *coloured = 0;
      XImage* image = XGetImage(display, found, 0, 0, static_cast<unsigned>(width),
                                static_cast<unsigned>(height), AllPlanes, ZPixmap);
      if (image != nullptr) {
        for (int py = 0; py < height; ++py) {
          for (int px = 0; px < width; ++px) {
            const unsigned long p = XGetPixel(image, px, py);
            const int r = static_cast<int>((p >> 16) & 0xff), g = static_cast<int>((p >> 8) & 0xff),
                      b = static_cast<int>(p & 0xff);
            if (std::max({r, g, b}) - std::min({r, g, b}) > 20) ++*coloured;
          }
        }
        XDestroyImage(image);
      }
      if (*coloured >= awaitColoured || std::chrono::steady_clock::now() > until) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = found;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, found, False, NoEventMask, &event);
    XFlush(display);
  }
  XCloseDisplay(display);
  return found != 0;
}

std::string NativeTitles(unsigned long window) {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return "no display";
  auto read = [&](Atom property) {
    Atom type = 0;
    int format = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    std::string text = "(none)";
    if (XGetWindowProperty(display, window, property, 0, 1024, False, AnyPropertyType, &type,
                           &format, &count, &remaining, &data) == Success &&
        type != 0) {
      text = data != nullptr ? std::string(reinterpret_cast<char*>(data), count) : "";
    }
    if (data != nullptr) XFree(data);
    return text;
  };
  const std::string titles =
      read(XInternAtom(display, "_NET_WM_NAME", False)) + "|" + read(XA_WM_NAME);
  XCloseDisplay(display);
  return titles;
}
