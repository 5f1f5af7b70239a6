// Command dispatch, the guards around running computations, the orbit camera and the routing of
// window events, driven through a recording platform. No window and no GL context: the GL calls
// of SetupView go to no context and have no effect.
#include <gtest/gtest.h>

#include <unistd.h>
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "decomposition/decomposition.h"
#include "geometry/mesh.h"
#include "hull/hull.h"
#include "platform/platform.h"
#include "state/state.h"
#include "tests/support/platform_test.h"

namespace {

using namespace std::chrono_literals;

// Counts SetupView calls and keeps the eye each one computed.
class cCountingWnd : public cGlWnd {
 public:
  void SetupView() override {
    cGlWnd::SetupView();
    ++setupViews;
    lastEye = CameraEye;
  }
  int setupViews = 0;
  cVec3 lastEye;
};

// Records the routed events without acting on them.
class cRoutingWnd : public cGlWnd {
 public:
  void OnMouseMove(std::uint32_t flags, int x, int y) override { Record("move", flags, x, y); }
  void OnLeftButtonDown(std::uint32_t flags, int x, int y) override { Record("left", flags, x, y); }
  void OnRightButtonDown(std::uint32_t flags, int x, int y) override {
    Record("right", flags, x, y);
  }
  void OnSize(int w, int h) override { Record("size", 0, w, h); }
  void OnMouseWheel(int delta) override { Record("wheel", 0, delta, 0); }
  void OnCommand(std::uint32_t id) override { Record("command", id, 0, 0); }
  void DrawScene() override { Record("paint", 0, 0, 0); }

  std::vector<std::string> calls;

 private:
  void Record(const char* what, std::uint32_t a, int b, int c) {
    calls.push_back(std::string(what) + " " + std::to_string(a) + " " + std::to_string(b) + " " +
                    std::to_string(c));
  }
};

// A hull-list entry that reports its destruction.
class cTrackedComponent : public cHullResult {
 public:
  explicit cTrackedComponent(std::shared_ptr<bool> destroyed) : destroyed(std::move(destroyed)) {}
  ~cTrackedComponent() override { *destroyed = true; }
  std::uint32_t GetTypeId() override { return 0; }
  void Apply(cMesh*) override {}
  void Draw() override {}

 private:
  std::shared_ptr<bool> destroyed;
};

void AddCube(cTriangleList& list, float ox, float oy, float oz) {
  const cVec3 centre(ox + 0.5f, oy + 0.5f, oz + 0.5f);
  auto corner = [&](int i) {
    return cVec3(ox + static_cast<float>(i & 1), oy + static_cast<float>((i >> 1) & 1),
                 oz + static_cast<float>((i >> 2) & 1));
  };
  // The six faces by their corner numbers (bit 0 = x, bit 1 = y, bit 2 = z), each split in two.
  const int faces[6][4] = {{0, 1, 3, 2}, {4, 5, 7, 6}, {0, 1, 5, 4},
                           {2, 3, 7, 6}, {0, 2, 6, 4}, {1, 3, 7, 5}};
  for (const auto& f : faces) {
    for (const auto& tri : {std::array<int, 3>{f[0], f[1], f[2]}, {f[0], f[2], f[3]}}) {
      cTriangle t(corner(tri[0]), corner(tri[1]), corner(tri[2]));
      const cVec3 n = Normal(t);
      const cVec3 out = t.vertex[0] - centre;
      if (n.x * out.x + n.y * out.y + n.z * out.z < 0.0f) std::swap(t.vertex[1], t.vertex[2]);
      list.push_back(t);
    }
  }
}

// Writes an ASCII STL file into the test's temporary folder and returns its path.
std::string WriteStl(const std::string& name, const cTriangleList& triangles) {
  const std::string path =
      testing::TempDir() + "/app_test_" + std::to_string(getpid()) + "_" + name + ".stl";
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) return path;
  std::fprintf(file, "solid %s\n", name.c_str());
  for (const cTriangle& t : triangles) {
    std::fprintf(file, "  facet normal 0 0 0\n    outer loop\n");
    for (const cVec3& v : t.vertex)
      std::fprintf(file, "      vertex %.9g %.9g %.9g\n", v.x, v.y, v.z);
    std::fprintf(file, "    endloop\n  endfacet\n");
  }
  std::fprintf(file, "endsolid %s\n", name.c_str());
  std::fclose(file);
  return path;
}

std::string TwoCubesFile() {
  cTriangleList list;
  AddCube(list, 0.0f, 0.0f, 0.0f);
  AddCube(list, 3.0f, 0.0f, 0.0f);
  return WriteStl("two_cubes", list);
}

void ExpectVec(const cVec3& v, float x, float y, float z) {
  EXPECT_FLOAT_EQ(v.x, x);
  EXPECT_FLOAT_EQ(v.y, y);
  EXPECT_FLOAT_EQ(v.z, z);
}

class AppTest : public cFakePlatformTest {
 protected:
  // Where an Export issued during a computation would write, were it not ignored.
  static std::string DuringExport() {
    return testing::TempDir() + "/app_test_" + std::to_string(getpid()) + "_during.obj";
  }

  // Opens path and waits until the first decomposition (on its worker) is done.
  void OpenAndDecompose(const std::string& path) {
    platform.nextFile = path;
    wnd.OnCommand(kCmdOpen);
    ASSERT_NE(CurrentMesh, nullptr);
    wnd.OnCommand(kCmdDecompose);
    platform.threads.JoinAll();
    ASSERT_NE(CurrentMesh->decomposition, nullptr);
    ASSERT_EQ(Busy.load(), 0);
  }

  void BuildHulls() {
    wnd.OnCommand(kCmdConvexHull);
    platform.threads.JoinAll();
    ASSERT_EQ(Busy.load(), 0);
  }

  // The commands that would destroy or change the mesh, Export, which reads what a computation
  // changes, and both ways of quitting.
  void IssueDestructiveCommands() {
    platform.nextExportFile = DuringExport();
    wnd.OnCommand(kCmdExport);
    wnd.OnCommand(kCmdOpen);
    wnd.OnCommand(kCmdReset);
    wnd.OnCommand(kCmdDecompose);
    wnd.OnCommand(kCmdConvexHull);
    wnd.OpenFile(TwoCubesFile());
    wnd.OnCommand(kCmdQuit);
    WindowProc(&wnd, cWindowMessage::Close, 0, 0);
  }

  cCountingWnd wnd;
};

// --- Open and Reset ------------------------------------------------------------------------------

TEST_F(AppTest, OpenCentresTheViewOnTheBoxAndBacksOffByItsDiagonal) {
  cTriangleList list = {cTriangle(cVec3(-1, -2, -3), cVec3(1, -2, -3), cVec3(1, 2, 3)),
                        cTriangle(cVec3(-1, 2, 3), cVec3(-1, -2, 3), cVec3(1, 2, -3))};
  platform.nextFile = WriteStl("box", list);
  SceneOffset = cVec3(5, 5, 5);
  CameraRotation = cVec3(0.4f, 1.2f, 0);
  wnd.OnCommand(kCmdOpen);

  ASSERT_NE(CurrentMesh, nullptr);
  EXPECT_EQ(CurrentMesh->triangles.size(), 2u);
  ExpectVec(SceneOffset, 0, 0, 0);
  EXPECT_FLOAT_EQ(CameraDistance, static_cast<float>(std::sqrt(56.0)));
  ExpectVec(CameraRotation, 0, 0, 0);
  ExpectVec(CameraEye, 0, 0, static_cast<float>(std::sqrt(56.0)));
}

TEST_F(AppTest, OpenCentresAnOffCentreBoxAndRemembersTheChosenName) {
  cTriangleList list = {cTriangle(cVec3(1, 2, 3), cVec3(3, 2, 3), cVec3(3, 6, 9))};
  const std::string path = WriteStl("offset", list);
  platform.nextFile = path;
  wnd.OnCommand(kCmdOpen);
  ExpectVec(SceneOffset, 2, 4, 6);
  EXPECT_FLOAT_EQ(CameraDistance, static_cast<float>(std::sqrt(56.0)));

  // The next dialog starts from the previous name; a second Open replaces the mesh.
  platform.nextFile = std::nullopt;
  wnd.OnCommand(kCmdOpen);
  const std::vector<std::string> dialogs = platform.FileDialogs();
  ASSERT_EQ(dialogs.size(), 2u);
  EXPECT_EQ(dialogs[0], "");
  EXPECT_EQ(dialogs[1], path);
  ASSERT_NE(CurrentMesh, nullptr);
  EXPECT_TRUE(CurrentMesh->triangles.empty());
}

TEST_F(AppTest, CancelledOrFailedOpenLeavesAnEmptyMeshAndTheEyeAtTheCentre) {
  for (const std::optional<std::string>& answer :
       {std::optional<std::string>(), std::optional(testing::TempDir() + "/app_test_none.stl")}) {
    SCOPED_TRACE(answer.value_or("cancelled"));
    SceneOffset = cVec3(1, 2, 3);
    CameraDistance = 9.0f;
    CameraRotation = cVec3(0.5f, 0.5f, 0);
    platform.nextFile = answer;
    wnd.OnCommand(kCmdOpen);

    ASSERT_NE(CurrentMesh, nullptr);
    EXPECT_TRUE(CurrentMesh->triangles.empty());
    ExpectVec(SceneOffset, 0, 0, 0);
    EXPECT_EQ(CameraDistance, 0.0f);
    ExpectVec(CameraRotation, 0, 0, 0);
    ExpectVec(CameraEye, 0, 0, 0);
  }
}

TEST_F(AppTest, AFileNamedWithoutTheDialogOpensAsOpenWouldWithThatNameChosen) {
  const cTriangleList list = {cTriangle(cVec3(1, 2, 3), cVec3(3, 2, 3), cVec3(3, 6, 9))};
  const std::string path = WriteStl("named", list);
  CameraRotation = cVec3(0.5f, 0.5f, 0);
  const int views = wnd.setupViews;
  wnd.OpenFile(path);
  ASSERT_NE(CurrentMesh, nullptr);
  EXPECT_EQ(CurrentMesh->triangles.size(), 1u);
  ExpectVec(SceneOffset, 2, 4, 6);
  EXPECT_FLOAT_EQ(CameraDistance, static_cast<float>(std::sqrt(56.0)));
  ExpectVec(CameraRotation, 0, 0, 0);
  EXPECT_EQ(wnd.setupViews, views + 1);
  EXPECT_EQ(wnd.lastFileName, path);
  EXPECT_TRUE(platform.FileDialogs().empty());

  // The next File > Open starts from it; a name that cannot be read gives an empty mesh.
  platform.nextFile = std::nullopt;
  wnd.OnCommand(kCmdOpen);
  EXPECT_EQ(platform.FileDialogs(), std::vector<std::string>{path});
  for (const std::string& bad :
       {testing::TempDir() + "/app_test_none.stl", testing::TempDir(), std::string()}) {
    SCOPED_TRACE(bad);
    wnd.OpenFile(path);
    wnd.OpenFile(bad);
    ASSERT_NE(CurrentMesh, nullptr);
    EXPECT_TRUE(CurrentMesh->triangles.empty());
    EXPECT_EQ(CameraDistance, 0.0f);
  }
}

TEST_F(AppTest, ResetDropsTheMeshAndTurnsBackButKeepsDistanceAndCentre) {
  cTriangleList list = {cTriangle(cVec3(1, 2, 3), cVec3(3, 2, 3), cVec3(3, 6, 9))};
  platform.nextFile = WriteStl("reset", list);
  wnd.OnCommand(kCmdOpen);
  wnd.OnMouseMove(0, 10, 10);
  wnd.OnMouseMove(kMouseLeft, 60, 40);  // turn the view
  ASSERT_NE(CameraRotation.y, 0.0f);
  const float distance = CameraDistance;

  wnd.OnCommand(kCmdReset);
  EXPECT_EQ(CurrentMesh, nullptr);
  ExpectVec(CameraRotation, 0, 0, 0);
  EXPECT_EQ(CameraDistance, distance);
  ExpectVec(SceneOffset, 2, 4, 6);
  ExpectVec(CameraEye, 0, 0, distance);
}

TEST_F(AppTest, ResetWithoutAMeshOnlyResetsTheRotation) {
  CameraRotation = cVec3(0.3f, -0.2f, 0);
  CameraDistance = 3.0f;
  SceneOffset = cVec3(1, 1, 1);
  wnd.OnCommand(kCmdReset);
  EXPECT_EQ(CurrentMesh, nullptr);
  ExpectVec(CameraRotation, 0, 0, 0);
  EXPECT_EQ(CameraDistance, 3.0f);
  ExpectVec(SceneOffset, 1, 1, 1);
  ExpectVec(CameraEye, 0, 0, 3);
  EXPECT_TRUE(platform.Events().empty());
}

// --- View commands and the final SetupView
// ---------------------------------------------------------

TEST_F(AppTest, EachToggleFlipsOnlyItsOwnFlagAndTwiceRestoresIt) {
  struct cToggle {
    std::uint32_t id;
    bool* flag;
  };
  const cToggle toggles[] = {
      {kCmdBoundBox, &ShowBoundBox}, {kCmdNormals, &ShowNormals}, {kCmdAxis, &ShowAxis}};
  for (int start = 0; start < 8; ++start) {
    for (const cToggle& toggle : toggles) {
      for (int i = 0; i < 3; ++i) *toggles[i].flag = (start >> i & 1) != 0;
      wnd.OnCommand(toggle.id);
      for (int i = 0; i < 3; ++i) {
        const bool initial = (start >> i & 1) != 0;
        EXPECT_EQ(*toggles[i].flag, toggles[i].flag == toggle.flag ? !initial : initial)
            << "start " << start << ", command " << toggle.id;
      }
      wnd.OnCommand(toggle.id);
      for (int i = 0; i < 3; ++i) EXPECT_EQ(*toggles[i].flag, (start >> i & 1) != 0);
    }
  }
}

TEST_F(AppTest, SaveAndUnknownIdsOnlySetUpTheView) {
  CameraRotation = cVec3(0.25f, 0.5f, 0);
  CameraDistance = 2.0f;
  SceneOffset = cVec3(1, 2, 3);
  LightAngle = 1.5f;
  const std::uint32_t ids[] = {kCmdSave, 4, 9, 17, 29, 32, 0xffff, 0x12345};
  for (std::uint32_t id : ids) {
    CameraEye = cVec3(7, 7, 7);
    const int before = wnd.setupViews;
    wnd.OnCommand(id);
    EXPECT_EQ(wnd.setupViews, before + 1) << id;
    const cVec3 eye = ComputeEye(0.25f, 0.5f, 2.0f);
    ExpectVec(CameraEye, eye.x, eye.y, eye.z);
  }
  ExpectVec(CameraRotation, 0.25f, 0.5f, 0);
  EXPECT_EQ(CameraDistance, 2.0f);
  ExpectVec(SceneOffset, 1, 2, 3);
  EXPECT_EQ(LightAngle, 1.5f);
  EXPECT_FALSE(ShowBoundBox || ShowNormals || ShowAxis);
  EXPECT_EQ(CurrentMesh, nullptr);
  EXPECT_TRUE(platform.Events().empty());
}

TEST_F(AppTest, EveryCommandEndsWithSetupView) {
  const std::uint32_t ids[] = {kCmdQuit,    kCmdSave,      kCmdBoundBox,   kCmdNormals,
                               kCmdFill,    kCmdLines,     kCmdPoints,     kCmdAxis,
                               kCmdOptions, kCmdDecompose, kCmdConvexHull, 77};
  for (std::uint32_t id : ids) {
    CameraRotation = cVec3(-0.5f, 2.0f, 0);
    CameraDistance = 5.0f;
    CameraEye = cVec3();
    wnd.lastEye = cVec3();
    wnd.OnCommand(id);
    const cVec3 eye = ComputeEye(-0.5f, 2.0f, 5.0f);
    ExpectVec(wnd.lastEye, eye.x, eye.y, eye.z);
    ExpectVec(CameraEye, eye.x, eye.y, eye.z);
  }
  EXPECT_EQ(platform.OptionsDialogs(), 1);
  EXPECT_EQ(platform.QuitRequests(), std::vector<int>{0});
  EXPECT_EQ(platform.ThreadsStarted(), 0);  // Decompose and Convex Hull without a mesh
}

TEST_F(AppTest, TheEyeLiesOnItsSphereAtTheGivenAngles) {
  const cVec3 front = ComputeEye(0.0f, 0.0f, 4.0f);
  ExpectVec(front, 0, 0, 4);
  const double el = 0.5, az = -1.2, d = 3.0;
  const cVec3 eye = ComputeEye(static_cast<float>(el), static_cast<float>(az), 3.0f);
  EXPECT_NEAR(eye.x, std::sin(az) * d * std::cos(el), 1e-6);
  EXPECT_NEAR(eye.y, std::sin(el) * d, 1e-6);
  EXPECT_NEAR(eye.z, std::cos(az) * d * std::cos(el), 1e-6);
}

// --- Convex Hull
// -------------------------------------------------------------------------------------

TEST_F(AppTest, ConvexHullDestroysOldResultsBeforeTheNewWorkerStarts) {
  OpenAndDecompose(TwoCubesFile());
  cDecomposition& decomposition = *CurrentMesh->decomposition;
  ASSERT_EQ(decomposition.pieces.size(), 2u);
  BuildHulls();
  ASSERT_EQ(decomposition.hulls.size(), 2u);

  auto oldDestroyed = std::make_shared<bool>(false);
  decomposition.hulls.push_back(OwnHull(new cTrackedComponent(oldDestroyed)));
  std::size_t hullsAtStart = 99;
  bool destroyedAtStart = false;
  platform.beforeThreadStarts = [&] {
    hullsAtStart = decomposition.hulls.size();
    destroyedAtStart = *oldDestroyed;
  };
  BuildHulls();
  EXPECT_TRUE(destroyedAtStart);
  EXPECT_EQ(hullsAtStart, 0u);
  EXPECT_EQ(decomposition.hulls.size(), 2u);
  EXPECT_EQ(decomposition.worker.load(), 0u);
  EXPECT_EQ(platform.ThreadsStarted(), 3);

  const std::vector<cFakePlatform::cMessage> messages = platform.Messages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back().text, "Convex hull completed...");
  EXPECT_EQ(messages.back().caption, "message");
  EXPECT_FALSE(messages.back().onTestThread);
}

TEST_F(AppTest, ConvexHullWithoutPiecesDestroysOldResultsAndStartsNothing) {
  OpenAndDecompose(testing::TempDir() + "/app_test_missing.stl");  // an empty mesh
  cDecomposition& decomposition = *CurrentMesh->decomposition;
  ASSERT_TRUE(decomposition.pieces.empty());
  const int threads = platform.ThreadsStarted();
  auto destroyed = std::make_shared<bool>(false);
  decomposition.hulls.push_back(OwnHull(new cTrackedComponent(destroyed)));

  wnd.OnCommand(kCmdConvexHull);
  EXPECT_TRUE(*destroyed);
  EXPECT_TRUE(decomposition.hulls.empty());
  EXPECT_EQ(platform.ThreadsStarted(), threads);
  EXPECT_EQ(Busy.load(), 0);
  EXPECT_EQ(decomposition.worker.load(), 0u);
}

TEST_F(AppTest, ConvexHullWithoutMeshOrDecompositionDoesNothing) {
  wnd.OnCommand(kCmdConvexHull);
  platform.nextFile = TwoCubesFile();
  wnd.OnCommand(kCmdOpen);
  wnd.OnCommand(kCmdConvexHull);
  EXPECT_EQ(platform.ThreadsStarted(), 0);
  EXPECT_EQ(Busy.load(), 0);
  EXPECT_TRUE(CurrentMesh->components.empty());
}

// --- Mouse and size
// --------------------------------------------------------------------------------

TEST_F(AppTest, LeftDragTurnsByTheRotationStepPerPixel) {
  wnd.OnMouseMove(0, 10, 10);
  ExpectVec(CameraRotation, 0, 0, 0);
  EXPECT_EQ(LastMouseX, 10);
  EXPECT_EQ(LastMouseY, 10);

  wnd.OnMouseMove(kMouseLeft, 110, 10);  // 100 px right
  EXPECT_NEAR(CameraRotation.y, 0.7, 1e-6);
  EXPECT_EQ(CameraRotation.x, 0.0f);
  wnd.OnMouseMove(kMouseLeft, 110, 110);  // 100 px down
  EXPECT_NEAR(CameraRotation.x, 0.7, 1e-6);
  EXPECT_NEAR(CameraRotation.y, 0.7, 1e-6);
  wnd.OnMouseMove(kMouseLeft, 60, 60);  // back up and left
  EXPECT_NEAR(CameraRotation.x, 0.35, 1e-6);
  EXPECT_NEAR(CameraRotation.y, 0.35, 1e-6);
  EXPECT_EQ(CameraRotation.z, 0.0f);

  // Every move recomputes the eye.
  const cVec3 eye = ComputeEye(CameraRotation.x, CameraRotation.y, CameraDistance);
  ExpectVec(CameraEye, eye.x, eye.y, eye.z);
  EXPECT_EQ(wnd.setupViews, 4);
}

TEST_F(AppTest, MovesWithoutLeftButtonOnlyTrackThePointer) {
  CameraDistance = 5.0f;
  wnd.OnMouseMove(0, 100, 100);
  wnd.OnMouseMove(kMouseRight, 150, 170);
  wnd.OnMouseMove(0x10, 20, 30);  // another key bit
  ExpectVec(CameraRotation, 0, 0, 0);
  EXPECT_EQ(CameraDistance, 5.0f);
  EXPECT_EQ(LastMouseX, 20);
  EXPECT_EQ(LastMouseY, 30);
  EXPECT_EQ(wnd.setupViews, 3);
}

TEST_F(AppTest, ElevationIsClampedOnlyPastTheThreshold) {
  CameraRotation.x = 1.5f;
  wnd.OnMouseMove(kMouseLeft, 0, 20);  // +0.14
  EXPECT_EQ(CameraRotation.x, 1.5697999f);
  wnd.OnMouseMove(kMouseLeft, 0, 40);  // 1.7098 again past the threshold
  EXPECT_EQ(CameraRotation.x, 1.5697999f);

  // Values between the clamp and the threshold, and the threshold itself, stay.
  for (float between : {1.5703f, 1.5708f, -1.5703f, -1.5708f}) {
    CameraRotation.x = between;
    wnd.OnMouseMove(0, 0, 40);
    EXPECT_EQ(CameraRotation.x, between);
  }
  CameraRotation.x = std::nextafter(1.5708f, 2.0f);
  wnd.OnMouseMove(0, 0, 40);
  EXPECT_EQ(CameraRotation.x, 1.5697999f);

  CameraRotation.x = -1.5f;
  wnd.OnMouseMove(kMouseLeft, 0, 20);  // 20 px up: -1.64
  EXPECT_EQ(CameraRotation.x, -1.5697999f);
  const cVec3 eye = CameraEye;
  EXPECT_LT(eye.y, 0.0f);  // almost straight below the centre
  EXPECT_NEAR(eye.y, -CameraDistance, 1e-5);
}

TEST_F(AppTest, AzimuthRestartsAtZeroPastAFullTurn) {
  CameraRotation.y = 6.28f;
  wnd.OnMouseMove(kMouseLeft, 1, 0);  // 6.287
  EXPECT_EQ(CameraRotation.y, 0.0f);

  CameraRotation.y = -6.28f;
  wnd.OnMouseMove(kMouseLeft, 0, 0);  // 1 px left: -6.287
  EXPECT_EQ(CameraRotation.y, 0.0f);

  CameraRotation.y = 6.2832f;  // at the limit: stays
  wnd.OnMouseMove(0, 0, 0);
  EXPECT_EQ(CameraRotation.y, 6.2832f);
  CameraRotation.y = std::nextafter(6.2832f, 7.0f);
  wnd.OnMouseMove(0, 0, 0);
  EXPECT_EQ(CameraRotation.y, 0.0f);
}

TEST_F(AppTest, TwoButtonDragMovesTheEyeAndStopsAtTheCentre) {
  const std::uint32_t both = kMouseLeft | kMouseRight;
  CameraDistance = 5.0f;
  wnd.OnMouseMove(0, 50, 50);
  wnd.OnMouseMove(both, 80, 47);  // 3 px up, sideways ignored
  EXPECT_EQ(CameraDistance, 2.0f);
  ExpectVec(CameraRotation, 0, 0, 0);
  wnd.OnMouseMove(both, 80, 37);  // 10 px up: stops at 0
  EXPECT_EQ(CameraDistance, 0.0f);
  ExpectVec(CameraEye, 0, 0, 0);
  wnd.OnMouseMove(both, 80, 41);  // 4 px down
  EXPECT_EQ(CameraDistance, 4.0f);
  ExpectVec(CameraEye, 0, 0, 4);
}

TEST_F(AppTest, EachWheelNotchMovesTheEyeATenthOfItsDistance) {
  struct cRow {
    int delta;
    float expected;  // distance after the turn, from 10
  };
  for (const cRow& row : {cRow{120, 9.0f}, cRow{-120, 10.0f / 0.9f}, cRow{240, 8.1f},
                          cRow{60, static_cast<float>(10.0 * std::sqrt(0.9))}, cRow{0, 10.0f}}) {
    SCOPED_TRACE(row.delta);
    CameraDistance = 10.0f;
    CameraRotation = cVec3(0.0f, 0.0f, 0.0f);
    const int views = wnd.setupViews;
    wnd.OnMouseWheel(row.delta);
    EXPECT_FLOAT_EQ(CameraDistance, row.expected);
    ExpectVec(CameraEye, 0, 0, row.expected);
    EXPECT_EQ(wnd.setupViews, views + 1);
  }
  // In and out again comes back; the distance never turns negative.
  CameraDistance = 0.25f;
  for (int i = 0; i < 30; ++i) wnd.OnMouseWheel(120);
  for (int i = 0; i < 30; ++i) wnd.OnMouseWheel(-120);
  EXPECT_NEAR(CameraDistance, 0.25f, 1e-6);
  Busy.store(1);
  wnd.OnMouseWheel(120);
  EXPECT_NEAR(CameraDistance, 0.25f, 1e-6);
  Busy.store(0);
}

TEST_F(AppTest, AnEyeLostAtTheCentreComesBackByWheelOrFit) {
  wnd.OpenFile(TwoCubesFile());
  ASSERT_NE(CurrentMesh, nullptr);
  const cBoundBox box = CurrentMesh->box;
  const float diagonal = static_cast<float>(Length(box.max - box.min));
  ASSERT_GT(diagonal, 0.0f);
  struct cRow {
    float from;
    int delta;
    float expected;
  };
  for (const cRow& row : {cRow{0.0f, -120, diagonal / 10.0f}, cRow{0.0f, 120, 0.0f},
                          cRow{diagonal / 2000.0f, -240, diagonal / 10.0f},
                          cRow{diagonal / 500.0f, -120, diagonal / 500.0f / 0.9f}}) {
    SCOPED_TRACE(row.from);
    CameraDistance = row.from;
    wnd.OnMouseWheel(row.delta);
    EXPECT_FLOAT_EQ(CameraDistance, row.expected);
  }
  // View > Fit: centred and moved back by the diagonal, as Open does, the angles kept.
  CameraDistance = 0.0f;
  SceneOffset = cVec3(7.0f, 8.0f, 9.0f);
  CameraRotation = cVec3(0.5f, 1.25f, 0.0f);
  wnd.OnCommand(kCmdFit);
  EXPECT_FLOAT_EQ(CameraDistance, diagonal);
  ExpectVec(SceneOffset, GetCenter(box).x, GetCenter(box).y, GetCenter(box).z);
  ExpectVec(CameraRotation, 0.5f, 1.25f, 0.0f);
}

// Depth of every corner of box - offset from eye along the line of sight to the origin.
void CornerDepths(const cBoundBox& box, const cVec3& offset, const cVec3& eye, double& nearest,
                  double& farthest) {
  const double d = std::sqrt(double{eye.x} * eye.x + double{eye.y} * eye.y + double{eye.z} * eye.z);
  nearest = INFINITY;
  farthest = -INFINITY;
  for (int i = 0; i < 8; ++i) {
    const cVec3 c((i & 1) ? box.max.x : box.min.x, (i & 2) ? box.max.y : box.min.y,
                  (i & 4) ? box.max.z : box.min.z);
    const double along = ((double{c.x} - offset.x) * -eye.x + (double{c.y} - offset.y) * -eye.y +
                          (double{c.z} - offset.z) * -eye.z) /
                         d;
    nearest = std::min(nearest, d + along);
    farthest = std::max(farthest, d + along);
  }
}

cBoundBox Cube(float half) {
  cBoundBox box;
  box.min = cVec3(-half, -half * 0.5f, -half * 0.25f);
  box.max = cVec3(half, half * 0.5f, half * 0.25f);
  return box;
}

TEST_F(AppTest, ClipPlanesAreTheDesignsWhereTheyHoldTheBoxAndHoldItEverywhereElse) {
  struct cRow {
    const char* what;
    cBoundBox box;
    cVec3 eye;
    double nearPlane;  // 0: just outside the nearest corner
    double farPlane;   // 0: just outside the farthest corner
  };
  cBoundBox open;  // the box of the Open test: (-1, -2, -3) to (1, 2, 3)
  open.min = cVec3(-1, -2, -3);
  open.max = cVec3(1, 2, 3);
  cBoundBox nan = open;
  nan.max.x = NAN;
  const float diagonal = static_cast<float>(std::sqrt(56.0));
  const std::vector<cRow> rows = {
      {"opened as designed", open, cVec3(0, 0, diagonal), 1.0, 1000.0},
      {"a unit cube at 2", Cube(0.5f), cVec3(0, 0, 2), 1.0, 1000.0},
      {"nearest corner at 1.5", Cube(1.0f), cVec3(0, 0, 1.75f), 1.0, 1000.0},
      {"farthest corner at 999", Cube(2.0f), cVec3(0, 0, 998.5f), 1.0, 1000.0},
      {"a 0.2 model", Cube(0.08f), cVec3(0, 0, 0.2f), 0, 0},
      {"a 5000 model", Cube(2000.0f), cVec3(0, 3000, 4000), 0, 0},
      {"far beyond 1000", Cube(1.0f), cVec3(0, 0, 5000), 0, 0},
      {"the eye inside", Cube(10.0f), cVec3(0, 0, 1), 3.5 * 1.01 / 1000.0, 0},
      {"the eye at the centre", Cube(0.1f), cVec3(), 1.0, 1000.0},
      {"no finite box", nan, cVec3(0, 0, 0.2f), 1.0, 1000.0},
  };
  for (const cRow& row : rows) {
    SCOPED_TRACE(row.what);
    const cClipPlanes planes = ComputeClipPlanes(row.box, cVec3(), row.eye);
    double nearest = 0, farthest = 0;
    CornerDepths(row.box, cVec3(), row.eye, nearest, farthest);
    if (row.farPlane != 0) {
      EXPECT_EQ(planes.farPlane, row.farPlane);
    } else {
      EXPECT_NEAR(planes.farPlane, farthest * 1.01, farthest * 1e-9);
    }
    if (row.nearPlane != 0) {
      EXPECT_NEAR(planes.nearPlane, row.nearPlane, row.nearPlane * 1e-6);
    } else {
      EXPECT_NEAR(planes.nearPlane, nearest * 0.99, nearest * 1e-9);
    }
  }

  // Orbiting at the distance Open gives, any size: the whole box between the planes, and the
  // design's planes exactly whenever they hold it.
  for (const float size : {0.002f, 0.2f, 1.0f, 30.0f, 600.0f, 5000.0f, 1e6f}) {
    for (float el = -1.5f; el <= 1.5f; el += 0.25f) {
      for (float az = 0.0f; az < 6.28f; az += 0.4f) {
        SCOPED_TRACE(std::to_string(size) + " " + std::to_string(el) + " " + std::to_string(az));
        const cBoundBox box = Cube(size / 2.0f);
        const cVec3 offset(size * 3.0f, -size, 0.5f * size);
        cBoundBox moved = box;
        moved.min = cVec3(box.min.x + offset.x, box.min.y + offset.y, box.min.z + offset.z);
        moved.max = cVec3(box.max.x + offset.x, box.max.y + offset.y, box.max.z + offset.z);
        const float distance = static_cast<float>(Length(box.max - box.min));
        const cVec3 eye = ComputeEye(el, az, distance);
        const cClipPlanes planes = ComputeClipPlanes(moved, offset, eye);
        double nearest = 0, farthest = 0;
        CornerDepths(moved, offset, eye, nearest, farthest);
        EXPECT_LT(planes.nearPlane, nearest);
        EXPECT_GT(planes.farPlane, farthest);
        EXPECT_GT(planes.nearPlane, 0.0);
        const bool designHolds = nearest >= 1.0 + 1e-6 && farthest <= 1000.0 - 1e-3;
        if (designHolds) {
          EXPECT_EQ(planes.nearPlane, 1.0);
          EXPECT_EQ(planes.farPlane, 1000.0);
        }
      }
    }
  }
}

TEST_F(AppTest, MovesWhileBusyChangeNothing) {
  wnd.OnMouseMove(0, 10, 10);
  const int views = wnd.setupViews;
  Busy.store(1);
  wnd.OnMouseMove(kMouseLeft, 110, 60);
  wnd.OnMouseMove(kMouseLeft | kMouseRight, 10, 90);
  EXPECT_EQ(LastMouseX, 10);
  EXPECT_EQ(LastMouseY, 10);
  ExpectVec(CameraRotation, 0, 0, 0);
  EXPECT_EQ(CameraDistance, 1.0f);
  EXPECT_EQ(wnd.setupViews, views);

  // The first move afterwards measures from the last position seen before.
  Busy.store(0);
  wnd.OnMouseMove(kMouseLeft, 20, 10);
  EXPECT_NEAR(CameraRotation.y, 0.07, 1e-6);
}

TEST_F(AppTest, SizeKeepsTheFieldsAndNeverAZeroHeight) {
  wnd.OnSize(800, 600);
  EXPECT_EQ(wnd.width, 800);
  EXPECT_EQ(wnd.height, 600);
  EXPECT_NEAR(static_cast<double>(wnd.width) / wnd.height, 1.3333, 1e-4);
  wnd.OnSize(600, 800);
  EXPECT_DOUBLE_EQ(static_cast<double>(wnd.width) / wnd.height, 0.75);
  wnd.OnSize(640, 0);
  EXPECT_EQ(wnd.width, 640);
  EXPECT_EQ(wnd.height, 1);
  EXPECT_EQ(wnd.setupViews, 3);
}

// --- Routing of window events
// ------------------------------------------------------------------------

TEST_F(AppTest, OnlyMenuCommandsAreDispatched) {
  cRoutingWnd routing;
  WindowProc(&routing, cWindowMessage::Command, 15, 0);
  WindowProc(&routing, cWindowMessage::Command, 0x0001000f, 0);  // accelerator
  WindowProc(&routing, cWindowMessage::Command, 0x0300001e, 0);  // control notification
  WindowProc(&routing, cWindowMessage::Command, 0x0000001f, 0x1234);
  EXPECT_EQ(routing.calls, (std::vector<std::string>{"command 15 0 0", "command 31 0 0"}));
}

TEST_F(AppTest, EventWordsAreUnsigned16BitNumbers) {
  cRoutingWnd routing;
  WindowProc(&routing, cWindowMessage::Size, 0, 0xffff8000u);
  WindowProc(&routing, cWindowMessage::MouseMove, 3, 0xfffe0005u);
  WindowProc(&routing, cWindowMessage::LeftButtonDown, 1, 0x00200010u);
  WindowProc(&routing, cWindowMessage::RightButtonDown, 2, 0x00400030u);
  // The wheel's delta is the signed high word of wParam.
  WindowProc(&routing, cWindowMessage::MouseWheel, 0xff880001u, 0);
  WindowProc(&routing, cWindowMessage::MouseWheel, 0x00f00000u, 0);
  EXPECT_EQ(routing.calls,
            (std::vector<std::string>{"size 0 32768 65535", "move 3 5 65534", "left 1 16 32",
                                      "right 2 48 64", "wheel 0 -120 0", "wheel 0 240 0"}));
}

TEST_F(AppTest, PaintDrawsOnlyWhileNotBusy) {
  cRoutingWnd routing;
  WindowProc(&routing, cWindowMessage::Paint, 0, 0);
  Busy.store(1);
  WindowProc(&routing, cWindowMessage::Paint, 0, 0);
  Busy.store(0);
  EXPECT_EQ(routing.calls, std::vector<std::string>{"paint 0 0 0"});
}

TEST_F(AppTest, CloseRequestsTheQuitAndEventsWithoutWindowAreIgnored) {
  for (cWindowMessage message : {cWindowMessage::Size, cWindowMessage::Paint, cWindowMessage::Close,
                                 cWindowMessage::Command, cWindowMessage::MouseMove,
                                 cWindowMessage::LeftButtonDown, cWindowMessage::RightButtonDown}) {
    WindowProc(nullptr, message, 0, 0);
  }
  EXPECT_TRUE(platform.Events().empty());
  WindowProc(&wnd, cWindowMessage::Close, 0, 0);
  EXPECT_EQ(platform.QuitRequests(), std::vector<int>{0});
  wnd.OnIdle();
  EXPECT_EQ(platform.QuitRequests(), std::vector<int>{0});
}

// --- Guards while a computation runs
// -----------------------------------------------------------------

TEST_F(AppTest, ComputationInProgressWhileBusyOrInAUiRunOrWithAWorker) {
  EXPECT_FALSE(cGlWnd::ComputationInProgress());
  Busy.store(1);
  EXPECT_TRUE(cGlWnd::ComputationInProgress());
  Busy.store(0);
  UiRunDepth = 1;
  EXPECT_TRUE(cGlWnd::ComputationInProgress());
  UiRunDepth = 0;
  OpenAndDecompose(TwoCubesFile());
  EXPECT_FALSE(cGlWnd::ComputationInProgress());
  CurrentMesh->decomposition->worker.store(5);
  EXPECT_TRUE(cGlWnd::ComputationInProgress());
  CurrentMesh->decomposition->worker.store(0);
}

TEST_F(AppTest, DestructiveCommandsWaitForTheDecompositionWorker) {
  const std::string path = TwoCubesFile();
  platform.nextFile = path;
  wnd.OnCommand(kCmdOpen);
  cMesh* mesh = CurrentMesh;
  platform.holdWorkerBoxes = true;
  wnd.OnCommand(kCmdDecompose);
  ASSERT_EQ(platform.WaitForHeldBox(), "triangles: 24");
  ASSERT_EQ(mesh->components.size(), 1u);
  cDecomposition* decomposition = mesh->decomposition;
  ASSERT_NE(decomposition->worker.load(), 0u);

  IssueDestructiveCommands();
  wnd.OnIdle();
  EXPECT_EQ(CurrentMesh, mesh);
  EXPECT_EQ(mesh->components.size(), 1u);
  EXPECT_EQ(mesh->decomposition, decomposition);
  EXPECT_EQ(mesh->triangles.size(), 24u);
  EXPECT_EQ(platform.FileDialogs().size(), 1u);  // only the first Open asked, and no Export
  EXPECT_NE(access(DuringExport().c_str(), F_OK), 0);
  ASSERT_EQ(platform.ThreadsStarted(), 1);  // (a second worker would stay held in its box)
  EXPECT_TRUE(platform.QuitRequests().empty());
  EXPECT_TRUE(wnd.QuitPending());

  // The view keeps working meanwhile; the mouse does not.
  wnd.OnCommand(kCmdBoundBox);
  wnd.OnCommand(kCmdLines);
  wnd.OnCommand(kCmdOptions);
  EXPECT_TRUE(ShowBoundBox);
  EXPECT_EQ(platform.OptionsDialogs(), 1);
  wnd.OnMouseMove(kMouseLeft, 100, 0);
  EXPECT_EQ(LastMouseX, 0);

  platform.ReleaseOne();
  ASSERT_EQ(platform.WaitForHeldBox(), "objects: 2");
  wnd.OnIdle();
  EXPECT_TRUE(platform.QuitRequests().empty());
  platform.ReleaseOne();
  platform.threads.JoinAll();
  EXPECT_EQ(Busy.load(), 0);
  EXPECT_EQ(decomposition->worker.load(), 0u);
  EXPECT_EQ(decomposition->pieces.size(), 2u);
  EXPECT_EQ(decomposition->pieces[0]->triangles.size(), 12u);
  EXPECT_EQ(decomposition->pieces[1]->triangles.size(), 12u);

  wnd.OnIdle();
  wnd.OnIdle();
  EXPECT_EQ(platform.QuitRequests(), std::vector<int>{0});
  EXPECT_FALSE(wnd.QuitPending());
  EXPECT_EQ(CurrentMesh, mesh);
}

TEST_F(AppTest, DestructiveCommandsWaitWhileTheHullWorkerShowsItsMessage) {
  OpenAndDecompose(TwoCubesFile());
  cMesh* mesh = CurrentMesh;
  cDecomposition* decomposition = mesh->decomposition;
  platform.holdWorkerBoxes = true;
  wnd.OnCommand(kCmdConvexHull);
  ASSERT_EQ(platform.WaitForHeldBox(), "Convex hull completed...");
  // The worker has let go of the decomposition but still counts as running.
  EXPECT_EQ(decomposition->worker.load(), 0u);
  EXPECT_EQ(Busy.load(), 1);
  ASSERT_EQ(decomposition->hulls.size(), 2u);
  const cHullResult* first = decomposition->hulls[0].get();
  const cHullResult* second = decomposition->hulls[1].get();
  const int threads = platform.ThreadsStarted();

  IssueDestructiveCommands();
  wnd.OnIdle();
  EXPECT_EQ(CurrentMesh, mesh);
  EXPECT_EQ(mesh->decomposition, decomposition);
  ASSERT_EQ(decomposition->hulls.size(), 2u);
  EXPECT_EQ(decomposition->hulls[0].get(), first);
  EXPECT_EQ(decomposition->hulls[1].get(), second);
  EXPECT_EQ(decomposition->pieces.size(), 2u);
  ASSERT_EQ(platform.ThreadsStarted(), threads);
  EXPECT_TRUE(platform.QuitRequests().empty());

  platform.ReleaseOne();
  platform.threads.JoinAll();
  EXPECT_EQ(Busy.load(), 0);
  wnd.OnIdle();
  wnd.OnIdle();
  EXPECT_EQ(platform.QuitRequests(), std::vector<int>{0});
  EXPECT_EQ(CurrentMesh, mesh);
}

TEST_F(AppTest, DestructiveCommandsFromInsideAUiThreadRunWaitForItsEnd) {
  OpenAndDecompose(TwoCubesFile());
  BuildHulls();
  cMesh* mesh = CurrentMesh;
  cDecomposition* decomposition = mesh->decomposition;
  ASSERT_EQ(decomposition->hulls.size(), 2u);
  const cHullResult* hull = decomposition->hulls[0].get();
  const int threads = platform.ThreadsStarted();
  const std::size_t dialogs = platform.FileDialogs().size();

  std::vector<std::string> boxes;
  platform.whileTestBoxOpen = [&](const std::string& text) {
    boxes.push_back(text);
    IssueDestructiveCommands();
    wnd.OnIdle();
    EXPECT_EQ(CurrentMesh, mesh);
    EXPECT_EQ(mesh->components.size(), 1u);
    EXPECT_TRUE(platform.QuitRequests().empty());
    // The view keeps working inside the box.
    wnd.OnCommand(kCmdAxis);
    wnd.OnCommand(kCmdOptions);
  };
  wnd.OnCommand(kCmdDecompose);  // the second run computes on the UI thread

  EXPECT_EQ(boxes, (std::vector<std::string>{"triangles: 24", "objects: 2"}));
  EXPECT_EQ(CurrentMesh, mesh);
  EXPECT_EQ(mesh->components.size(), 1u);
  EXPECT_EQ(mesh->decomposition, decomposition);
  EXPECT_EQ(decomposition->pieces.size(), 2u);
  ASSERT_EQ(decomposition->hulls.size(), 2u);  // the refused Convex Hull kept them
  EXPECT_EQ(decomposition->hulls[0].get(), hull);
  EXPECT_EQ(platform.ThreadsStarted(), threads);
  EXPECT_EQ(platform.FileDialogs().size(), dialogs);
  EXPECT_FALSE(ShowAxis);  // toggled twice
  EXPECT_EQ(platform.OptionsDialogs(), 2);
  EXPECT_EQ(UiRunDepth, 0);

  // The quit asked for inside the boxes is made once, after the run's last box.
  const std::vector<std::string> events = platform.Events();
  ASSERT_EQ(platform.QuitRequests(), std::vector<int>{0});
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), "quit");
  EXPECT_EQ(events[events.size() - 2], "options");
  EXPECT_FALSE(wnd.QuitPending());
  wnd.OnIdle();
  EXPECT_EQ(platform.QuitRequests().size(), 1u);
  // The first run reported from its worker, the second from the UI thread.
  std::vector<bool> objectsOnUi;
  for (const cFakePlatform::cMessage& message : platform.Messages()) {
    if (message.text == "objects: 2") objectsOnUi.push_back(message.onTestThread);
  }
  EXPECT_EQ(objectsOnUi, (std::vector<bool>{false, true}));
}

TEST_F(AppTest, QuitThatWaitedAndALaterOneAfterTheComputationGiveOneRequest) {
  Busy.fetch_add(1);  // a computation in progress
  wnd.OnCommand(kCmdQuit);
  EXPECT_TRUE(wnd.QuitPending());
  Busy.fetch_sub(1);
  // Quit again before the main loop's next pass: one request answers both.
  wnd.OnCommand(kCmdQuit);
  EXPECT_EQ(platform.QuitRequests(), std::vector<int>{0});
  EXPECT_FALSE(wnd.QuitPending());
  wnd.OnIdle();
  EXPECT_EQ(platform.QuitRequests(), std::vector<int>{0});
}

TEST_F(AppTest, QuitWithoutAComputationIsRequestedAtOnce) {
  wnd.OnCommand(kCmdQuit);
  EXPECT_EQ(platform.QuitRequests(), std::vector<int>{0});
  EXPECT_FALSE(wnd.QuitPending());
  wnd.OnIdle();
  EXPECT_EQ(platform.QuitRequests(), std::vector<int>{0});
}

}  // namespace
