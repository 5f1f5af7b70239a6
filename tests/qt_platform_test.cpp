// The Qt platform's message boxes handed from worker threads to the UI thread, on Qt's offscreen
// platform (no window system) so that it also runs in the ThreadSanitizer build (label
// "tsan-qt"): workers ask for boxes while the UI thread shows boxes of its own, a timer on the UI
// thread closes every box it finds, and shutdown meets workers whose boxes are open or on their
// way. The window tests check the same boxes' looks and behaviour on a real X server.

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "desktop/qt_platform.h"
#include "state/state.h"
#include "tests/support/qt_application.h"

namespace {

// Closes the message boxes shown, every few milliseconds, from a timer of the UI thread;
// remembers each box's text.
class cBoxCloser {
 public:
  cBoxCloser() {
    timer.setInterval(5);
    QObject::connect(&timer, &QTimer::timeout, [this] { Poll(); });
    timer.start();
  }

  std::vector<std::string> texts;

 private:
  void Poll() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(widget);
      if (box == nullptr || !box->isVisible()) continue;
      texts.push_back(box->text().toStdString());
      box->button(QMessageBox::Ok)->click();
    }
  }

  QTimer timer;
};

class QtPlatformHandover : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetProcessState();
    SetPlatform(&platform);
  }
  void TearDown() override {
    platform.StopWorkers();
    SetPlatform(nullptr);
  }

  cQtPlatform platform;
};

constexpr int kWorkers = 4;
constexpr int kBoxesPerWorker = 6;

std::string Text(int worker, int box) {
  return "worker " + std::to_string(worker) + " box " + std::to_string(box);
}

TEST_F(QtPlatformHandover, WorkersBoxesReachTheUiThreadAndEachReturnsWhenItsBoxIsClosed) {
  cBoxCloser closer;
  // Plain values written by each worker after each box: the UI thread reads them once the
  // workers are joined.
  std::vector<std::vector<std::string>> returned(kWorkers);
  std::atomic<int> done{0};
  std::vector<std::atomic<cThreadHandle>> handles(kWorkers);
  for (int w = 0; w < kWorkers; ++w) {
    platform.StartThread(
        [w, &returned, &done] {
          for (int b = 0; b < kBoxesPerWorker; ++b) {
            Platform().ShowMessage(Text(w, b), "message");
            returned[w].push_back(Text(w, b));
          }
          done.fetch_add(1);
        },
        handles[w]);
  }
  // Boxes of the UI thread's own, each in an event loop of its own, while the workers' boxes
  // come and go.
  for (int b = 0; b < 3; ++b) Platform().ShowMessage("ui box " + std::to_string(b), "");
  ASSERT_TRUE(QTest::qWaitFor([&] { return done.load() == kWorkers; }, 60000));
  platform.StopWorkers();

  std::map<std::string, int> shown;
  for (const std::string& text : closer.texts) ++shown[text];
  for (int w = 0; w < kWorkers; ++w) {
    std::vector<std::string> expected;
    for (int b = 0; b < kBoxesPerWorker; ++b) {
      expected.push_back(Text(w, b));
      EXPECT_EQ(shown[Text(w, b)], 1) << Text(w, b);
    }
    EXPECT_EQ(returned[w], expected);
  }
  for (int b = 0; b < 3; ++b) EXPECT_EQ(shown["ui box " + std::to_string(b)], 1);
  EXPECT_EQ(closer.texts.size(), static_cast<std::size_t>(kWorkers * kBoxesPerWorker + 3));
}

TEST_F(QtPlatformHandover, ShutdownFreesWorkersWithOpenBoxesAndThoseStillAskingForOne) {
  // Nobody closes the boxes: StopWorkers must, and must let the boxes still on their way pass.
  std::atomic<int> asked{0};
  std::atomic<int> returned{0};
  std::vector<std::atomic<cThreadHandle>> handles(kWorkers);
  for (int w = 0; w < kWorkers; ++w) {
    platform.StartThread(
        [w, &asked, &returned] {
          for (int b = 0; b < kBoxesPerWorker; ++b) {
            asked.fetch_add(1);
            Platform().ShowMessage(Text(w, b), "");
            returned.fetch_add(1);
          }
        },
        handles[w]);
  }
  // Some boxes are open, others are queued for the UI thread or being asked for.
  ASSERT_TRUE(QTest::qWaitFor([&] { return asked.load() >= kWorkers; }, 60000));
  platform.StopWorkers();
  EXPECT_EQ(returned.load(), kWorkers * kBoxesPerWorker);
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<QMessageBox*>(widget);
    EXPECT_TRUE(box == nullptr || !box->isVisible());
  }
  // After the stop a box is not shown and the call returns at once, on either thread.
  Platform().ShowMessage("after the stop", "");
  std::atomic<bool> lateReturned{false};
  std::thread worker([&] {
    Platform().ShowMessage("after the stop, from a worker", "");
    lateReturned.store(true);
  });
  worker.join();
  EXPECT_TRUE(lateReturned.load());
}

}  // namespace
