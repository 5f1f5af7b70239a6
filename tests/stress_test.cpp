// Random command sequences through the window procedure while workers run: Open of good, bad and
// missing files, Reset, Decompose, Convex Hull, the toggles, Options changes, mouse moves,
// frames, Quit and the close request, with the workers' message boxes answered after random
// delays and commands dispatched from inside the boxes of runs on the UI thread. Meant for the
// sanitizer builds: nothing may crash, race or leak, no sequence may hang, and every quit is
// honoured exactly once, when no computation is left.
//
// CD_STRESS_SEQUENCES sets the number of sequences (default 600: about 15 s of CPU under
// ThreadSanitizer); CD_STRESS_SEED the seed of the first one. A longer run, e.g. 20000
// sequences: CD_STRESS_SEQUENCES=20000 build-tsan/tests/stress_test
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "decomposition/decomposition.h"
#include "geometry/mesh.h"
#include "state/state.h"
#include "tests/support/platform_test.h"

namespace {

using namespace std::chrono_literals;

long EnvNumber(const char* name, long fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  return std::strtol(text, nullptr, 10);
}

// What the Open command's dialog answers: files that read well, files that read badly, a file
// that is not there, a folder, and a cancelled dialog.
const std::vector<std::optional<std::string>>& FileAnswers() {
  static const std::vector<std::optional<std::string>> answers = {
      CD_FIXTURES "/window_two_cubes.stl",
      CD_FIXTURES "/cube.stl",
      CD_FIXTURES "/tetrahedron.stl",
      CD_SAMPLES "/gear.stl",
      CD_SAMPLES "/torus.stl",
      CD_FIXTURES "/truncated_facet_at_end.stl",
      CD_FIXTURES "/no_outer_loop.stl",
      CD_FIXTURES "/empty.stl",
      CD_FIXTURES "/cli_non_finite.stl",
      CD_FIXTURES "/does_not_exist.stl",
      CD_FIXTURES,
      std::nullopt,
  };
  return answers;
}

class cStress : public cFakePlatformTest {
 protected:
  // One sequence of count random steps, then the main loop idles until every computation is
  // over. Returns false when that did not happen in time.
  bool RunSequence(std::uint32_t seed, int count) {
    random.seed(seed);
    for (int i = 0; i < count; ++i) Step();
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (cGlWnd::ComputationInProgress() || wnd.QuitPending()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      Idle();
      std::this_thread::sleep_for(100us);
    }
    Idle();
    return true;
  }

  // One pass of the main loop: a pending quit may be honoured, and a frame is drawn.
  void Idle() {
    wnd.OnIdle();
    SyncQuitLog();
    if (Busy.load() == 0) WindowProc(&wnd, cWindowMessage::Paint, 0, 0);
  }

  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); }

  void Dispatch(cWindowMessage message, std::uint32_t wParam, std::uint32_t lParam) {
    WindowProc(&wnd, message, wParam, lParam);
    SyncQuitLog();
  }

  void Command(std::uint32_t id) { Dispatch(cWindowMessage::Command, id, 0); }

  void Step() {
    switch (Pick(16)) {
      case 0:
      case 1: {
        const auto& answers = FileAnswers();
        platform.nextFile =
            answers[static_cast<std::size_t>(Pick(static_cast<int>(answers.size())))];
        Command(kCmdOpen);
        break;
      }
      case 2:
        Command(kCmdReset);
        break;
      case 3:
      case 4:
        Command(kCmdDecompose);
        break;
      case 5:
      case 6:
        Command(kCmdConvexHull);
        break;
      case 7: {
        static const std::uint32_t toggles[] = {kCmdBoundBox, kCmdNormals, kCmdFill, kCmdLines,
                                                kCmdPoints,   kCmdAxis,    kCmdSave, 99};
        Command(toggles[Pick(8)]);
        break;
      }
      case 8: {
        // The dialog writes the settings while the user types, on the UI thread.
        static const double epsilons[] = {0.1, 0.01, 0.5, 0.0, -1.0, 1e-9, 3.0};
        static const double smooths[] = {0.1, 0.5, 1.0, 0.0, 2.0, -0.5};
        Command(kCmdOptions);
        Epsilon.store(epsilons[Pick(7)]);
        Smooth.store(smooths[Pick(6)]);
        break;
      }
      case 9:
        quitLog += 'Q';
        Command(kCmdQuit);
        break;
      case 10:
        quitLog += 'Q';
        Dispatch(cWindowMessage::Close, 0, 0);
        break;
      case 11:
      case 12: {
        static const std::uint32_t buttons[] = {0, kMouseLeft, kMouseRight,
                                                kMouseLeft | kMouseRight};
        const auto x = static_cast<std::uint32_t>(Pick(800));
        const auto y = static_cast<std::uint32_t>(Pick(600));
        Dispatch(cWindowMessage::MouseMove, buttons[Pick(4)], (y << 16) | x);
        break;
      }
      case 13:
        Dispatch(
            cWindowMessage::Size, 0,
            (static_cast<std::uint32_t>(Pick(600)) << 16) | static_cast<std::uint32_t>(Pick(800)));
        break;
      default:
        Idle();
        if (Pick(4) == 0) std::this_thread::sleep_for(std::chrono::microseconds(Pick(300)));
        break;
    }
  }

  // Quit requests reach the platform only from this thread; each is logged as 'R' after the
  // 'Q' of the commands that asked for it.
  void SyncQuitLog() {
    const std::size_t requests = platform.QuitRequests().size();
    while (requestsLogged < requests) {
      quitLog += 'R';
      ++requestsLogged;
    }
  }

  void SetUp() override {
    cFakePlatformTest::SetUp();
    platform.workerBoxDelay = [this] {
      return std::chrono::microseconds(boxDelays(delayRandom) * boxDelays(delayRandom) / 20);
    };
    // A box of a run on the UI thread: the window goes on dispatching while it is open.
    platform.whileTestBoxOpen = [this](const std::string&) {
      if (boxDepth >= 2) return;
      ++boxDepth;
      const int steps = Pick(6);
      for (int i = 0; i < steps; ++i) Step();
      --boxDepth;
    };
  }

  void TearDown() override {
    platform.whileTestBoxOpen = nullptr;
    platform.workerBoxDelay = nullptr;
    cFakePlatformTest::TearDown();
  }

  cGlWnd wnd;
  std::mt19937 random;
  std::mt19937 delayRandom{7};                          // under the platform's lock
  std::uniform_int_distribution<int> boxDelays{0, 40};  // squared / 20: up to 80 us, mostly less
  std::string quitLog;
  std::size_t requestsLogged = 0;
  int boxDepth = 0;
};

TEST_F(cStress, RandomCommandSequencesWhileWorkersRunEndCleanlyWithEveryQuitHonouredOnce) {
  const long sequences = EnvNumber("CD_STRESS_SEQUENCES", 600);
  const auto firstSeed = static_cast<std::uint32_t>(EnvNumber("CD_STRESS_SEED", 1));
  const std::regex honoured("(Q+R)*");
  int threadsBefore = 0;
  for (long s = 0; s < sequences; ++s) {
    const std::uint32_t seed = firstSeed + static_cast<std::uint32_t>(s);
    const int length = 1 + static_cast<int>(seed % 40);
    ASSERT_TRUE(RunSequence(seed, length)) << "seed " << seed << ": a computation never ended";
    // Every quit asked for was honoured once, and only then.
    ASSERT_TRUE(std::regex_match(quitLog, honoured)) << "seed " << seed << ": " << quitLog;
    ASSERT_FALSE(wnd.QuitPending()) << "seed " << seed;
    ASSERT_EQ(Busy.load(), 0) << "seed " << seed;
    ASSERT_EQ(UiRunDepth, 0) << "seed " << seed;
    if (CurrentMesh != nullptr && CurrentMesh->decomposition != nullptr) {
      ASSERT_EQ(CurrentMesh->decomposition->worker.load(), 0u) << "seed " << seed;
    }
    quitLog.clear();
    // The threads of earlier sequences are joined as new ones start; join them now and then.
    if (platform.ThreadsStarted() - threadsBefore > 200) {
      platform.threads.JoinAll();
      threadsBefore = platform.ThreadsStarted();
    }
  }
  EXPECT_GT(platform.ThreadsStarted(), 0);
}

}  // namespace
