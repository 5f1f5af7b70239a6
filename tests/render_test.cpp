// Drawing, checked by reading back chosen pixels of frames rendered offscreen: an EGL
// compatibility-profile context on Mesa's surfaceless platform with a pbuffer, no window system.
#include <GL/gl.h>
#include <GL/glu.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "decomposition/decomposition.h"
#include "geometry/mesh.h"
#include "hull/hull.h"
#include "platform/platform.h"
#include "render/render.h"
#include "render/render_internal.h"
#include "state/state.h"
#include "tests/support/meshes.h"
#include "tests/support/offscreen_context.h"

namespace {

constexpr int kSize = 128;

using cPixel = std::array<int, 3>;

cPixel ReadPixel(int x, int y) {
  unsigned char rgba[4] = {0, 0, 0, 0};
  glReadPixels(x, y, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, rgba);
  return {rgba[0], rgba[1], rgba[2]};
}

std::string ToString(const cPixel& p) {
  return "(" + std::to_string(p[0]) + ", " + std::to_string(p[1]) + ", " + std::to_string(p[2]) +
         ")";
}

bool IsBackground(const cPixel& p) {
  for (int c : p) {
    if (c < 127 || c > 128) return false;
  }
  return true;
}

// A grey level (all channels within 12 of each other).
bool IsGrey(const cPixel& p) {
  return std::abs(p[0] - p[1]) <= 12 && std::abs(p[1] - p[2]) <= 12 && std::abs(p[0] - p[2]) <= 12;
}

// A surface of byte colour c that faces the eye light: the ambient parts (0.2 global, 0.5 of
// each light) and the diffuse part of light 0 (N.L between 0.9 and 1 here) add up to between
// 2.1 and 2.2 times the colour.
bool IsLit(const cPixel& p, const cColor& c) {
  const int bytes[3] = {c.red, c.green, c.blue};
  for (int i = 0; i < 3; ++i) {
    const double low = std::min(255.0, bytes[i] * 2.1) - 3.0;
    const double high = std::min(255.0, bytes[i] * 2.2) + 3.0;
    if (p[i] < low || p[i] > high) return false;
  }
  return true;
}

struct cWindowPoint {
  int x = 0;
  int y = 0;
};

// Where a model point lands with the matrices left by the last frame.
cWindowPoint Project(const cVec3& v) {
  GLdouble modelview[16], projection[16];
  GLint viewport[4];
  glGetDoublev(GL_MODELVIEW_MATRIX, modelview);
  glGetDoublev(GL_PROJECTION_MATRIX, projection);
  glGetIntegerv(GL_VIEWPORT, viewport);
  GLdouble x = 0, y = 0, z = 0;
  gluProject(v.x, v.y, v.z, modelview, projection, viewport, &x, &y, &z);
  return {static_cast<int>(std::lround(x)), static_cast<int>(std::lround(y))};
}

cPixel PixelAt(const cVec3& v) {
  const cWindowPoint w = Project(v);
  return ReadPixel(w.x, w.y);
}

// Whether some pixel within radius of the point's projection satisfies test (lines are thin and
// their rasterisation may be a pixel off).
bool AnyNear(const cVec3& v, int radius, const std::function<bool(const cPixel&)>& test) {
  const cWindowPoint w = Project(v);
  for (int dy = -radius; dy <= radius; ++dy) {
    for (int dx = -radius; dx <= radius; ++dx) {
      if (test(ReadPixel(w.x + dx, w.y + dy))) return true;
    }
  }
  return false;
}

bool IsPure(const cPixel& p, int channel) {
  for (int i = 0; i < 3; ++i) {
    if (i == channel ? p[i] < 200 : p[i] > 60) return false;
  }
  return true;
}

// A triangle in the plane z, counter-clockwise seen from +z, around (cx, cy).
cTriangle FacingTriangle(float cx, float cy, float half, float z = 0.0f) {
  return cTriangle(cVec3(cx - half, cy - half, z), cVec3(cx + half, cy - half, z),
                   cVec3(cx, cy + half, z));
}

cVec3 Centroid(const cTriangle& t) {
  return cVec3((t.vertex[0].x + t.vertex[1].x + t.vertex[2].x) / 3.0f,
               (t.vertex[0].y + t.vertex[1].y + t.vertex[2].y) / 3.0f,
               (t.vertex[0].z + t.vertex[1].z + t.vertex[2].z) / 3.0f);
}

cColor Bytes(unsigned char r, unsigned char g, unsigned char b) {
  cColor c;
  c.red = r;
  c.green = g;
  c.blue = b;
  return c;
}

class RenderTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Mesa's software rasteriser gives the same pixels on every machine, with or without a GPU.
    setenv("LIBGL_ALWAYS_SOFTWARE", "1", 0);
    setenv("EGL_PLATFORM", "surfaceless", 0);
    context = std::make_unique<cOffscreenContext>();
    if (!context->Make(contextError, kSize, kSize))
      contextError = "no offscreen GL context: " + contextError;
  }
  static void TearDownTestSuite() { context.reset(); }

  void SetUp() override {
    ASSERT_TRUE(contextError.empty()) << contextError;
    ResetProcessState();
    InstallDrawHooks();
    wnd.drawCache = &drawCache;
    glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
    wnd.OnSize(kSize, kSize);
    LookFrom(0.0f, 0.0f, 5.0f);
  }

  void TearDown() override {
    drawCache.Release();
    delete CurrentMesh;
    ResetProcessState();
    DrawHooks() = cDrawHooks();
  }

  // Places the camera and sets up the projection as a command would.
  void LookFrom(float elevation, float azimuth, float distance) {
    CameraRotation = cVec3(elevation, azimuth, 0.0f);
    CameraDistance = distance;
    wnd.SetupView();
  }

  cMesh& NewMesh(const cTriangleList& triangles, const cColor& color) {
    delete CurrentMesh;
    CurrentMesh = new cMesh();
    CurrentMesh->triangles = triangles;
    CurrentMesh->color = color;
    if (!triangles.empty()) CurrentMesh->box = ComputeBoundBox(triangles);
    wnd.ModelChanged();
    return *CurrentMesh;
  }

  // The helpers below change the model as a command would, and say so.
  cDecomposition& AttachDecomposition(cMesh& mesh) {
    auto owned = std::make_unique<cDecomposition>();
    cDecomposition* decomposition = owned.get();
    decomposition->source = &mesh;
    mesh.components.push_back(std::move(owned));
    mesh.decomposition = decomposition;
    wnd.ModelChanged();
    return *decomposition;
  }

  cConvexPiece& AddPiece(cPieceList& list, const cTriangleList& triangles, const cColor& color) {
    list.push_back(std::make_unique<cConvexPiece>());
    cConvexPiece& piece = *list.back();
    piece.triangles = triangles;
    piece.color = color;
    if (!triangles.empty()) piece.box = ComputeBoundBox(triangles);
    wnd.ModelChanged();
    return piece;
  }

  cHullResult& AddHull(cDecomposition& decomposition, const cTriangleList& faces,
                       const cColor& color, const cVec3& currentPoint) {
    cHullPointer owned = OwnHull(new cHullResult());
    cHullResult& hull = *owned;
    hull.faces = faces;
    hull.color = color;
    hull.currentPoint = currentPoint;
    hull.box = ComputeBoundBox(faces);
    decomposition.hulls.push_back(std::move(owned));
    wnd.ModelChanged();
    return hull;
  }

  static std::unique_ptr<cOffscreenContext> context;
  static std::string contextError;
  cDrawCache drawCache;  // of the offscreen context; every test's frames draw through it
  cGlWnd wnd;
};

std::unique_ptr<cOffscreenContext> RenderTest::context;
std::string RenderTest::contextError;

// --- Frame, view and state
// ---------------------------------------------------------------------------

TEST_F(RenderTest, AnEmptySceneIsTheGreyBackground) {
  wnd.DrawScene();
  for (const auto& at : std::vector<std::array<int, 2>>{{0, 0}, {64, 64}, {127, 127}, {5, 100}}) {
    const cPixel p = ReadPixel(at[0], at[1]);
    EXPECT_TRUE(IsBackground(p)) << ToString(p);
  }
  EXPECT_FALSE(glIsEnabled(GL_LIGHTING));
  EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST_F(RenderTest, SetupViewLeavesTheFixedStateAndTheProjectionSelected) {
  glDisable(GL_DEPTH_TEST);
  glDisable(GL_CULL_FACE);
  glFrontFace(GL_CW);
  glMatrixMode(GL_MODELVIEW);
  wnd.SetupView();
  GLint value = 0;
  glGetIntegerv(GL_MATRIX_MODE, &value);
  EXPECT_EQ(value, GL_PROJECTION);
  glGetIntegerv(GL_SHADE_MODEL, &value);
  EXPECT_EQ(value, GL_SMOOTH);
  EXPECT_TRUE(glIsEnabled(GL_DEPTH_TEST));
  glGetIntegerv(GL_DEPTH_FUNC, &value);
  EXPECT_EQ(value, GL_LEQUAL);
  EXPECT_TRUE(glIsEnabled(GL_COLOR_MATERIAL));
  EXPECT_TRUE(glIsEnabled(GL_CULL_FACE));
  glGetIntegerv(GL_CULL_FACE_MODE, &value);
  EXPECT_EQ(value, GL_BACK);
  glGetIntegerv(GL_FRONT_FACE, &value);
  EXPECT_EQ(value, GL_CCW);
  GLfloat clear[4] = {0, 0, 0, 0};
  glGetFloatv(GL_COLOR_CLEAR_VALUE, clear);
  EXPECT_FLOAT_EQ(clear[0], 0.5f);
  EXPECT_FLOAT_EQ(clear[1], 0.5f);
  EXPECT_FLOAT_EQ(clear[2], 0.5f);
  EXPECT_FLOAT_EQ(clear[3], 1.0f);
  GLfloat depth = 0;
  glGetFloatv(GL_DEPTH_CLEAR_VALUE, &depth);
  EXPECT_FLOAT_EQ(depth, 1.0f);
}

TEST_F(RenderTest, TheProjectionHasTheWindowsAspect) {
  // With the eye on the z axis the look-at part only translates, so the ratio of the two
  // diagonal scale factors is the aspect.
  GLdouble m[16];
  wnd.OnSize(800, 600);
  glGetDoublev(GL_PROJECTION_MATRIX, m);
  EXPECT_NEAR(m[5] / m[0], 1.3333, 1e-4);
  EXPECT_NEAR(m[5], 1.0 / std::tan(22.5 * M_PI / 180.0), 1e-6);  // 45 degrees vertically
  wnd.OnSize(600, 800);
  glGetDoublev(GL_PROJECTION_MATRIX, m);
  EXPECT_NEAR(m[5] / m[0], 0.75, 1e-6);

  wnd.OnSize(300, 0);
  GLint viewport[4];
  glGetIntegerv(GL_VIEWPORT, viewport);
  EXPECT_EQ(viewport[2], 300);
  EXPECT_EQ(viewport[3], 1);
  glGetDoublev(GL_PROJECTION_MATRIX, m);
  EXPECT_NEAR(m[5] / m[0], 300.0, 1e-4);
}

TEST_F(RenderTest, TheAxisCrossIsRedGreenBlueFromTheOrbitCentre) {
  LookFrom(0.4f, 0.6f, 30.0f);
  const cVec3 arms[3] = {cVec3(5, 0, 0), cVec3(0, 5, 0), cVec3(0, 0, 5)};
  wnd.DrawScene();
  for (int axis = 0; axis < 3; ++axis) {
    EXPECT_FALSE(AnyNear(arms[axis], 2, [axis](const cPixel& p) { return IsPure(p, axis); }));
  }

  ShowAxis = true;
  SceneOffset = cVec3(3, 1, 0);  // the cross stays at the orbit centre, not at the model origin
  wnd.DrawScene();
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();  // project with the frame of the cross
  for (int axis = 0; axis < 3; ++axis) {
    EXPECT_TRUE(AnyNear(arms[axis], 2, [axis](const cPixel& p) { return IsPure(p, axis); }))
        << "axis " << axis;
    const int other = (axis + 1) % 3;
    EXPECT_FALSE(AnyNear(arms[axis], 2, [other](const cPixel& p) { return IsPure(p, other); }));
  }
  GLfloat color[4];
  glGetFloatv(GL_CURRENT_COLOR, color);
  EXPECT_EQ(color[0] + color[1] + color[2] + color[3], 4.0f);
}

TEST_F(RenderTest, ManyFramesWithTheAxisKeepTheStacksBalanced) {
  ShowAxis = true;
  NewMesh({FacingTriangle(0, 0, 1)}, Bytes(100, 40, 10));
  GLint attributes = -1, modelview = -1, projection = -1;
  for (int frame = 0; frame < 100; ++frame) wnd.DrawScene();
  glGetIntegerv(GL_ATTRIB_STACK_DEPTH, &attributes);
  glGetIntegerv(GL_MODELVIEW_STACK_DEPTH, &modelview);
  glGetIntegerv(GL_PROJECTION_STACK_DEPTH, &projection);
  EXPECT_EQ(attributes, 0);
  EXPECT_EQ(modelview, 1);
  EXPECT_EQ(projection, 1);
  EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
  EXPECT_TRUE(glIsEnabled(GL_DEPTH_TEST));  // the saved depth attributes came back
}

TEST_F(RenderTest, TheCirclingLightWrapsAt360AndTheFrameUsesTheAngleBeforeTheStep) {
  auto lightPosition = [](GLenum light) {
    std::array<GLfloat, 4> p{};
    glGetLightfv(light, GL_POSITION, p.data());
    return p;
  };
  LightAngle = 360.5f;
  wnd.DrawScene();
  EXPECT_EQ(LightAngle, 0.0f);
  std::array<GLfloat, 4> p = lightPosition(GL_LIGHT1);
  EXPECT_NEAR(p[0], 10.0f * std::cos(360.5f), 1e-4);
  EXPECT_EQ(p[1], 0.0f);
  EXPECT_NEAR(p[2], 10.0f * std::sin(360.5f), 1e-4);
  EXPECT_EQ(p[3], 1.0f);

  wnd.DrawScene();
  EXPECT_EQ(LightAngle, 0.01f);
  p = lightPosition(GL_LIGHT1);
  EXPECT_NEAR(p[0], 10.0f, 1e-5);
  EXPECT_NEAR(p[2], 0.0f, 1e-5);

  LightAngle = 360.0f;  // not past the wrap yet
  wnd.DrawScene();
  EXPECT_EQ(LightAngle, 360.0f + 0.01f);

  LookFrom(0.3f, 1.0f, 7.0f);
  wnd.DrawScene();
  p = lightPosition(GL_LIGHT0);  // the eye light sits at the eye
  EXPECT_NEAR(p[0], CameraEye.x, 1e-5);
  EXPECT_NEAR(p[1], CameraEye.y, 1e-5);
  EXPECT_NEAR(p[2], CameraEye.z, 1e-5);
  EXPECT_EQ(p[3], 1.0f);
}

// --- Triangles, points and boxes
// -----------------------------------------------------------------------

TEST_F(RenderTest, AFrontFacingTriangleIsDrawnLitAndItsReversedTwinIsCulled) {
  const cColor color = Bytes(100, 40, 10);
  const cTriangle front = FacingTriangle(0, 0, 1);
  NewMesh({front}, color);
  wnd.DrawScene();
  cPixel p = PixelAt(Centroid(front));
  EXPECT_TRUE(IsLit(p, color)) << ToString(p);
  EXPECT_TRUE(IsBackground(PixelAt(cVec3(1.5f, 1.5f, 0))));

  const cTriangle back(front.vertex[0], front.vertex[2], front.vertex[1]);
  NewMesh({back}, color);
  wnd.DrawScene();
  p = PixelAt(Centroid(back));
  EXPECT_TRUE(IsBackground(p)) << ToString(p);
}

TEST_F(RenderTest, TheModelIsMovedSoThatItsBoxCentreIsTheOrbitCentre) {
  const cColor color = Bytes(20, 90, 60);
  NewMesh({FacingTriangle(10, -4, 1)}, color);
  SceneOffset = cVec3(10, -4, 0);
  wnd.DrawScene();
  const cPixel p = ReadPixel(kSize / 2, kSize / 2);
  EXPECT_TRUE(IsLit(p, color)) << ToString(p);
}

TEST_F(RenderTest, EveryTriangleKeepsTheListColourWhenNormalsAreShown) {
  const cColor color = Bytes(100, 40, 10);
  const cTriangle left = FacingTriangle(-1, 0, 0.8f);
  const cTriangle right = FacingTriangle(1, 0, 0.8f);
  ShowNormals = true;
  NewMesh({left, right}, color);
  wnd.DrawScene();
  // Away from the normal lines, which run from the centroids toward the eye.
  for (const cTriangle& t : {left, right}) {
    cVec3 inside = Centroid(t);
    inside.y -= 0.3f;
    const cPixel p = PixelAt(inside);
    EXPECT_TRUE(IsLit(p, color)) << ToString(p);
  }
  GLfloat current[4];
  glGetFloatv(GL_CURRENT_COLOR, current);
  EXPECT_EQ(current[0] + current[1] + current[2], 3.0f);
}

TEST_F(RenderTest, NormalLinesRunOneUnitFromBlackAtTheCentroidToWhite) {
  const cColor color = Bytes(100, 40, 10);
  const cTriangle t = FacingTriangle(0, 0, 1);
  NewMesh({t}, color);
  LookFrom(0.0f, 0.8f, 5.0f);  // from the side, so that the line is not seen end on
  const cVec3 m = Centroid(t);
  const cVec3 nearTip(m.x, m.y, m.z + 0.85f);
  const cVec3 nearBase(m.x, m.y, m.z + 0.15f);
  const cVec3 beyondTip(m.x, m.y, m.z + 1.3f);
  auto bright = [](const cPixel& p) { return IsGrey(p) && p[0] > 170; };
  auto dark = [](const cPixel& p) { return IsGrey(p) && p[0] < 80; };

  wnd.DrawScene();
  EXPECT_FALSE(AnyNear(nearTip, 1, bright));
  EXPECT_FALSE(AnyNear(nearBase, 1, dark));

  ShowNormals = true;
  wnd.DrawScene();
  EXPECT_TRUE(AnyNear(nearTip, 1, bright));
  EXPECT_TRUE(AnyNear(nearBase, 1, dark));
  EXPECT_FALSE(AnyNear(beyondTip, 1, [](const cPixel& p) { return !IsBackground(p); }));
}

TEST_F(RenderTest, AnEmptyListDrawsNothingAndLeavesWhite) {
  wnd.DrawScene();
  glColor3f(0.2f, 0.3f, 0.4f);
  DrawTriangleList(cTriangleList(), 1.0f, 0.0f, 0.0f);
  GLfloat current[4];
  glGetFloatv(GL_CURRENT_COLOR, current);
  EXPECT_EQ(current[0] + current[1] + current[2], 3.0f);
  EXPECT_TRUE(IsBackground(ReadPixel(kSize / 2, kSize / 2)));
}

TEST_F(RenderTest, DrawPointUsesItsSizeAndLeavesSizeOneAndWhite) {
  wnd.DrawScene();  // matrices of a frame, lighting off again
  DrawPoint(0, 0, 0, 10.0f, 0.0f, 0.0f, 1.0f);
  const cWindowPoint centre = Project(cVec3());
  EXPECT_TRUE(IsPure(ReadPixel(centre.x, centre.y), 2));
  EXPECT_TRUE(IsPure(ReadPixel(centre.x + 3, centre.y - 3), 2));
  GLfloat size = 0, current[4];
  glGetFloatv(GL_POINT_SIZE, &size);
  glGetFloatv(GL_CURRENT_COLOR, current);
  EXPECT_EQ(size, 1.0f);
  EXPECT_EQ(current[0] + current[1] + current[2] + current[3], 4.0f);

  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  DrawPoint(0, 0, 0, 1.0f, 1.0f, 0.0f, 0.0f);
  EXPECT_TRUE(AnyNear(cVec3(), 1, [](const cPixel& p) { return IsPure(p, 0); }));
  EXPECT_TRUE(IsBackground(ReadPixel(centre.x + 3, centre.y - 3)));
}

TEST_F(RenderTest, PolygonModesOutlineAndSurviveOpenAndReset) {
  const cColor color = Bytes(100, 40, 10);
  const cTriangle t = FacingTriangle(0, 0, 1.5f);
  NewMesh({t}, color);
  auto mode = [] {
    GLint modes[2] = {0, 0};
    glGetIntegerv(GL_POLYGON_MODE, modes);
    return std::array<GLint, 2>{modes[0], modes[1]};
  };

  wnd.OnCommand(kCmdLines);
  EXPECT_EQ(mode(), (std::array<GLint, 2>{GL_LINE, GL_LINE}));
  wnd.DrawScene();
  EXPECT_TRUE(IsBackground(PixelAt(Centroid(t))));
  // The bottom edge is outlined in the mesh colour.
  EXPECT_TRUE(AnyNear(cVec3(0, -1.5f, 0), 1, [&](const cPixel& p) { return !IsBackground(p); }));

  wnd.OnCommand(kCmdReset);  // the default platform: no dialogs, nothing recorded
  wnd.OnCommand(kCmdOpen);
  EXPECT_EQ(mode(), (std::array<GLint, 2>{GL_LINE, GL_LINE}));
  wnd.OnCommand(kCmdPoints);
  EXPECT_EQ(mode(), (std::array<GLint, 2>{GL_POINT, GL_POINT}));
  wnd.OnCommand(kCmdFill);
  EXPECT_EQ(mode(), (std::array<GLint, 2>{GL_FILL, GL_FILL}));
  SetPolygonMode(cPolygonMode::Line);
  EXPECT_EQ(mode(), (std::array<GLint, 2>{GL_LINE, GL_LINE}));
}

TEST_F(RenderTest, TheMeshBoxIsWhiteAndOnlyDrawnOnRequest) {
  const cTriangle t = FacingTriangle(0, 0, 1);
  NewMesh({t}, Bytes(100, 40, 10));
  const cVec3 topEdge(-0.7f, 1.0f, 0.0f);  // on the box, outside the triangle
  auto white = [](const cPixel& p) { return p[0] > 240 && p[1] > 240 && p[2] > 240; };
  wnd.DrawScene();
  EXPECT_FALSE(AnyNear(topEdge, 1, white));
  ShowBoundBox = true;
  wnd.DrawScene();
  EXPECT_TRUE(AnyNear(topEdge, 1, white));
}

// --- Components
// ------------------------------------------------------------------------------------------

TEST_F(RenderTest, PiecesReplaceTheMeshAndHullsReplaceThePieces) {
  const cColor meshColor = Bytes(100, 40, 10);
  const cColor pieceColor = Bytes(10, 100, 40);
  const cColor hullColor = Bytes(40, 10, 100);
  const cTriangle meshTriangle = FacingTriangle(-1.3f, 0, 0.5f);
  const cTriangle pieceTriangle = FacingTriangle(0, 0, 0.5f);
  const cTriangle hullTriangle = FacingTriangle(1.3f, 0, 0.5f);
  const cTriangle visibleFace = FacingTriangle(0, -1.3f, 0.4f);
  const cVec3 hullPoint(0, 1.3f, 0);

  cMesh& mesh = NewMesh({meshTriangle}, meshColor);
  wnd.DrawScene();
  EXPECT_TRUE(IsLit(PixelAt(Centroid(meshTriangle)), meshColor));

  cDecomposition& decomposition = AttachDecomposition(mesh);
  AddPiece(decomposition.pieces, {pieceTriangle}, pieceColor);
  wnd.DrawScene();
  EXPECT_TRUE(IsBackground(PixelAt(Centroid(meshTriangle))));
  const cPixel piecePixel = PixelAt(Centroid(pieceTriangle));
  EXPECT_TRUE(IsLit(piecePixel, pieceColor)) << ToString(piecePixel);

  cHullResult& hull = AddHull(decomposition, {hullTriangle}, hullColor, hullPoint);
  hull.visibleFaces = {visibleFace};
  wnd.ModelChanged();
  wnd.DrawScene();
  EXPECT_TRUE(IsBackground(PixelAt(Centroid(meshTriangle))));
  EXPECT_TRUE(IsBackground(PixelAt(Centroid(pieceTriangle))));
  const cPixel hullPixel = PixelAt(Centroid(hullTriangle));
  EXPECT_TRUE(IsLit(hullPixel, hullColor)) << ToString(hullPixel);
  const cPixel visiblePixel = PixelAt(Centroid(visibleFace));  // red, lit
  EXPECT_TRUE(IsPure(visiblePixel, 0)) << ToString(visiblePixel);
  const cPixel pointPixel = PixelAt(hullPoint);  // the blue dot of 10 pixels
  EXPECT_TRUE(IsPure(pointPixel, 2)) << ToString(pointPixel);

  hull.ready = false;
  wnd.DrawScene();
  for (const cVec3& v : {Centroid(meshTriangle), Centroid(pieceTriangle), Centroid(hullTriangle),
                         Centroid(visibleFace), hullPoint}) {
    const cPixel p = PixelAt(v);
    EXPECT_TRUE(IsBackground(p)) << ToString(p);
  }
}

TEST_F(RenderTest, APieceWithChildrenDrawsOnlyItsChildren) {
  cMesh& mesh = NewMesh({}, Bytes(100, 40, 10));
  cDecomposition& decomposition = AttachDecomposition(mesh);
  const cTriangle own = FacingTriangle(-1, 0, 0.5f);
  const cTriangle child = FacingTriangle(0, 0, 0.5f);
  const cTriangle grandchild = FacingTriangle(1, 0, 0.5f);
  const cColor childColor = Bytes(10, 100, 40);
  const cColor grandchildColor = Bytes(40, 10, 100);
  cConvexPiece& parent = AddPiece(decomposition.pieces, {own}, Bytes(100, 100, 10));
  AddPiece(parent.children, {child}, childColor);
  cConvexPiece& middle = AddPiece(parent.children, {own}, Bytes(100, 100, 10));
  AddPiece(middle.children, {grandchild}, grandchildColor);

  wnd.DrawScene();
  EXPECT_TRUE(IsBackground(PixelAt(Centroid(own))));
  EXPECT_TRUE(IsLit(PixelAt(Centroid(child)), childColor));
  EXPECT_TRUE(IsLit(PixelAt(Centroid(grandchild)), grandchildColor));
}

TEST_F(RenderTest, BoxesArePieceRedOrHullWhiteAndNeverTheMeshsUnderAComponent) {
  cMesh& mesh = NewMesh({FacingTriangle(0, 0, 1.8f)}, Bytes(100, 40, 10));
  cDecomposition& decomposition = AttachDecomposition(mesh);
  const cTriangle pieceTriangle = FacingTriangle(-1, 0, 0.5f);
  const cTriangle hullTriangle = FacingTriangle(1, 0, 0.5f);
  AddPiece(decomposition.pieces, {pieceTriangle}, Bytes(10, 100, 40));
  ShowBoundBox = true;
  const cVec3 meshBoxTop(-1.2f, 1.8f, 0);
  const cVec3 pieceBoxTop(-1.3f, 0.5f, 0);
  const cVec3 hullBoxTop(0.7f, 0.5f, 0);
  auto red = [](const cPixel& p) { return IsPure(p, 0); };
  auto white = [](const cPixel& p) { return p[0] > 240 && p[1] > 240 && p[2] > 240; };

  wnd.DrawScene();
  EXPECT_TRUE(AnyNear(pieceBoxTop, 1, red));
  EXPECT_FALSE(AnyNear(meshBoxTop, 2, [](const cPixel& p) { return !IsBackground(p); }));

  AddHull(decomposition, {hullTriangle}, Bytes(40, 10, 100), cVec3(0, -1.5f, 0));
  wnd.DrawScene();
  EXPECT_TRUE(AnyNear(hullBoxTop, 1, white));
  EXPECT_FALSE(AnyNear(pieceBoxTop, 1, red));
  EXPECT_FALSE(AnyNear(meshBoxTop, 2, [](const cPixel& p) { return !IsBackground(p); }));
}

// --- Cached lists against the direct calls
// ------------------------------------------------------------------------------

using cFrame = std::vector<unsigned char>;

cFrame ReadFrame() {
  cFrame frame(static_cast<std::size_t>(kSize * kSize * 4));
  glReadPixels(0, 0, kSize, kSize, GL_RGBA, GL_UNSIGNED_BYTE, frame.data());
  return frame;
}

int DifferingPixels(const cFrame& a, const cFrame& b) {
  int count = 0;
  for (std::size_t i = 0; i < a.size(); i += 4) {
    if (a[i] != b[i] || a[i + 1] != b[i + 1] || a[i + 2] != b[i + 2]) ++count;
  }
  return count;
}

int NonBackgroundPixels(const cFrame& a) {
  int count = 0;
  for (std::size_t i = 0; i < a.size(); i += 4) {
    if (!IsBackground({a[i], a[i + 1], a[i + 2]})) ++count;
  }
  return count;
}

// A scene to draw both ways: builds the model and sets the view flags and the polygon mode.
struct cCacheScene {
  const char* name;
  std::function<void(RenderTest&)> build;
};

class CachedDrawingTest : public RenderTest {
 protected:
  // The frame with the light at a fixed angle, as the current list drawing draws it.
  cFrame Frame() {
    LightAngle = 0.5f;
    wnd.DrawScene();
    return ReadFrame();
  }

 public:
  using RenderTest::AddHull;
  using RenderTest::AddPiece;
  using RenderTest::AttachDecomposition;
  using RenderTest::NewMesh;
};

cTriangleList SmallTorus() {
  return Torus(24, 10, 1.2f, 0.45f, 0.1f);
}

// Triangles on one line (zero normals), repeated corners, duplicates and reversed twins.
cTriangleList Awkward() {
  cTriangleList list = {FacingTriangle(-0.8f, 0.2f, 0.6f), FacingTriangle(-0.8f, 0.2f, 0.6f),
                        cTriangle(cVec3(0, 0, 0), cVec3(1, 1, 0), cVec3(2, 2, 0)),
                        cTriangle(cVec3(0.5f, -1, 0), cVec3(0.5f, -1, 0), cVec3(1, 0, 0.5f)),
                        FacingTriangle(0.9f, -0.3f, 0.7f, 0.2f)};
  const cTriangle& t = list.back();
  list.emplace_back(t.vertex[0], t.vertex[2], t.vertex[1]);
  list.push_back(FacingTriangle(0.2f, 0.8f, 0.5f, -0.3f));
  return list;
}

// Normal lines that lie in the planes of later triangles, which the direct calls draw after
// the line: their pixels tie in depth with the line's.
cTriangleList LinesInLaterPlanes() {
  cTriangleList list;
  for (int i = 0; i < 4; ++i) {
    const float x = -0.9f + 0.6f * static_cast<float>(i);
    const cTriangle base = FacingTriangle(x, -0.2f, 0.25f, 0.1f * static_cast<float>(i));
    const cVec3 m = Centroid(base);
    list.push_back(base);
    // In the plane x = m.x, holding the line from m to m + (0, 0, 1), seen from either side.
    const cTriangle wall(cVec3(m.x, m.y - 0.6f, m.z - 0.2f), cVec3(m.x, m.y + 0.6f, m.z - 0.2f),
                         cVec3(m.x, m.y, m.z + 1.4f));
    list.push_back(wall);
    list.emplace_back(wall.vertex[0], wall.vertex[2], wall.vertex[1]);
  }
  return list;
}

void SplitIntoPieces(CachedDrawingTest& test, cMesh& mesh, std::size_t per) {
  cDecomposition& decomposition = test.AttachDecomposition(mesh);
  for (std::size_t first = 0; first < mesh.triangles.size(); first += per) {
    const std::size_t last = std::min(mesh.triangles.size(), first + per);
    test.AddPiece(decomposition.pieces,
                  cTriangleList(mesh.triangles.begin() + static_cast<std::ptrdiff_t>(first),
                                mesh.triangles.begin() + static_cast<std::ptrdiff_t>(last)),
                  Bytes(static_cast<unsigned char>(first * 7 % 255), 90, 140));
  }
}

const std::vector<cCacheScene>& CacheScenes() {
  static const std::vector<cCacheScene> scenes = {
      {"mesh", [](RenderTest&) {}},
      {"mesh with normals", [](RenderTest&) { ShowNormals = true; }},
      {"mesh with its box", [](RenderTest&) { ShowBoundBox = true; }},
      {"mesh outlined", [](RenderTest&) { SetPolygonMode(cPolygonMode::Line); }},
      {"mesh as points", [](RenderTest&) { SetPolygonMode(cPolygonMode::Point); }},
      {"awkward triangles",
       [](RenderTest& t) {
         static_cast<CachedDrawingTest&>(t).NewMesh(Awkward(), Bytes(200, 120, 30));
         ShowNormals = false;
       }},
      {"awkward triangles outlined with normals",
       [](RenderTest& t) {
         static_cast<CachedDrawingTest&>(t).NewMesh(Awkward(), Bytes(200, 120, 30));
         ShowNormals = true;
         SetPolygonMode(cPolygonMode::Line);
       }},
      {"awkward triangles with normals",
       [](RenderTest& t) {
         static_cast<CachedDrawingTest&>(t).NewMesh(Awkward(), Bytes(200, 120, 30));
         ShowNormals = true;
       }},
      {"awkward triangles as points with normals",
       [](RenderTest& t) {
         static_cast<CachedDrawingTest&>(t).NewMesh(Awkward(), Bytes(200, 120, 30));
         ShowNormals = true;
         SetPolygonMode(cPolygonMode::Point);
       }},
      {"normal lines in the planes of later triangles",
       [](RenderTest& t) {
         static_cast<CachedDrawingTest&>(t).NewMesh(LinesInLaterPlanes(), Bytes(60, 160, 90));
         ShowNormals = true;
       }},
      {"normal lines in the planes of later triangles, outlined",
       [](RenderTest& t) {
         static_cast<CachedDrawingTest&>(t).NewMesh(LinesInLaterPlanes(), Bytes(60, 160, 90));
         ShowNormals = true;
         SetPolygonMode(cPolygonMode::Line);
       }},
      {"pieces with boxes and normals",
       [](RenderTest& t) {
         auto& test = static_cast<CachedDrawingTest&>(t);
         SplitIntoPieces(test, *CurrentMesh, 70);
         ShowBoundBox = ShowNormals = true;
       }},
      {"pieces with boxes",
       [](RenderTest& t) {
         auto& test = static_cast<CachedDrawingTest&>(t);
         SplitIntoPieces(test, *CurrentMesh, 70);
         ShowBoundBox = true;
       }},
      {"pieces with children",
       [](RenderTest& t) {
         auto& test = static_cast<CachedDrawingTest&>(t);
         SplitIntoPieces(test, *CurrentMesh, 100);
         cConvexPiece& parent = *CurrentMesh->decomposition->pieces.front();
         test.AddPiece(parent.children, Awkward(), Bytes(10, 200, 60));
         test.AddPiece(parent.children, {FacingTriangle(0, 0, 0.4f, 1.0f)}, Bytes(0, 0, 255));
       }},
      {"hulls in construction",
       [](RenderTest& t) {
         auto& test = static_cast<CachedDrawingTest&>(t);
         cDecomposition& decomposition = test.AttachDecomposition(*CurrentMesh);
         cTriangleList faces = SmallTorus();
         const cTriangleList half(faces.begin(), faces.begin() + 240);
         const cTriangleList rest(faces.begin() + 240, faces.end());
         cHullResult& first = test.AddHull(decomposition, half, Bytes(40, 10, 100), cVec3());
         first.visibleFaces = Awkward();
         first.currentPoint = cVec3(0.3f, 0.2f, 0.9f);
         test.AddHull(decomposition, rest, Bytes(150, 60, 20), cVec3(-0.5f, 0.4f, 0.6f));
         ShowBoundBox = true;
       }},
      {"hulls in construction with normals",
       [](RenderTest& t) {
         auto& test = static_cast<CachedDrawingTest&>(t);
         cDecomposition& decomposition = test.AttachDecomposition(*CurrentMesh);
         cHullResult& hull =
             test.AddHull(decomposition, SmallTorus(), Bytes(40, 10, 100), cVec3(0, 1, 0.2f));
         hull.visibleFaces = {FacingTriangle(0.2f, 0.1f, 0.5f, 0.8f)};
         ShowNormals = true;
       }},
  };
  return scenes;
}

TEST_F(CachedDrawingTest, EveryPixelIsTheDirectCallsPixelInEveryScene) {
  for (const cCacheScene& scene : CacheScenes()) {
    for (const float elevation : {0.0f, 0.7f, -1.2f}) {
      SCOPED_TRACE(std::string(scene.name) + ", elevation " + std::to_string(elevation));
      ShowNormals = ShowBoundBox = false;
      SetPolygonMode(cPolygonMode::Fill);
      NewMesh(SmallTorus(), Bytes(100, 40, 10));
      scene.build(*this);
      wnd.ModelChanged();
      LookFrom(elevation, 0.4f, 3.5f);

      // The current normal too, which lights the boxes and points drawn after a list.
      auto currentNormal = [] {
        std::array<GLfloat, 3> n{};
        glGetFloatv(GL_CURRENT_NORMAL, n.data());
        return n;
      };
      SetListDrawing(drawCache, cListDrawing::Immediate);
      const cFrame direct = Frame();
      const std::array<GLfloat, 3> directNormal = currentNormal();
      SetListDrawing(drawCache, cListDrawing::Cached);
      const cFrame built = Frame();  // the first frame builds the arrays
      EXPECT_EQ(currentNormal(), directNormal);
      const cFrame reused = Frame();  // and the next ones reuse them
      EXPECT_EQ(currentNormal(), directNormal);
      EXPECT_GT(NonBackgroundPixels(direct), 50);
      EXPECT_EQ(DifferingPixels(direct, built), 0);
      EXPECT_EQ(DifferingPixels(direct, reused), 0);
      GLfloat color[4];
      glGetFloatv(GL_CURRENT_COLOR, color);
      EXPECT_EQ(color[0] + color[1] + color[2], 3.0f);
      EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    }
  }
  SetPolygonMode(cPolygonMode::Fill);
}

// A closed box of half side h around c, each face an n x n grid of outward triangles, face after
// face: the chunks of a face share one normal.
cTriangleList GridBox(int n, float h, const cVec3& c) {
  cTriangleList list;
  for (int axis = 0; axis < 3; ++axis) {
    for (const float side : {1.0f, -1.0f}) {
      auto at = [&](int i, int j) {
        float p[3];
        p[axis] = side * h;
        p[(axis + 1) % 3] = -h + 2 * h * static_cast<float>(i) / static_cast<float>(n);
        p[(axis + 2) % 3] = -h + 2 * h * static_cast<float>(j) / static_cast<float>(n);
        return cVec3(c.x + p[0], c.y + p[1], c.z + p[2]);
      };
      for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
          const cVec3 a = at(i, j), b = at(i + 1, j), d = at(i + 1, j + 1), e = at(i, j + 1);
          if (side > 0) {
            list.emplace_back(a, b, d);
            list.emplace_back(a, d, e);
          } else {
            list.emplace_back(a, d, b);
            list.emplace_back(a, e, d);
          }
        }
      }
    }
  }
  return list;
}

cTriangleList FineTorus() {
  return Torus(48, 240, 1.2f, 0.45f, 0.1f);
}

// Cached frames leave out chunks the GL culls anyway: from camera positions all around the
// models, near and in the planes of the box's faces, and inside the box, every pixel stays the
// direct calls' pixel.
TEST_F(CachedDrawingTest, EveryPixelIsTheDirectCallsPixelFromEveryOrbitPosition) {
  const float h = 0.9f;
  const float inPlane = std::asin(h / 3.5f);  // the eye in the plane of the top face
  struct cOrbitModel {
    const char* name;
    std::function<void(CachedDrawingTest&)> build;
  };
  const std::vector<cOrbitModel> models = {
      {"fine torus", [](CachedDrawingTest& t) { t.NewMesh(FineTorus(), Bytes(100, 40, 10)); }},
      {"grid box",
       [h](CachedDrawingTest& t) {
         t.NewMesh(GridBox(24, h, cVec3(0.3f, -0.2f, 0.1f)), Bytes(30, 140, 200));
       }},
      {"grid box in pieces",
       [h](CachedDrawingTest& t) {
         cMesh& mesh = t.NewMesh(GridBox(24, h, cVec3()), Bytes(30, 140, 200));
         SplitIntoPieces(t, mesh, 300);
       }},
  };
  struct cOrbit {
    float elevation, azimuth, distance;
  };
  std::vector<cOrbit> orbits;
  for (const float elevation : {-1.4f, -0.7f, 0.0f, 0.5f, 1.1f, 1.55f})
    for (const float azimuth : {0.0f, 0.9f, 2.2f, 3.6f, 5.0f})
      orbits.push_back({elevation, azimuth, 3.5f});
  for (const float near : {-2e-3f, -1e-4f, 0.0f, 1e-4f, 2e-3f}) {
    orbits.push_back({inPlane + near, 0.0f, 3.5f});
    orbits.push_back({inPlane + near, 0.7f, 3.5f});
    orbits.push_back({0.0f, inPlane + near, 3.5f});  // in the plane of a side face
  }
  for (const float azimuth : {0.3f, 2.0f, 4.1f}) orbits.push_back({0.4f, azimuth, 0.4f});  // inside
  orbits.push_back({0.2f, 1.0f, 40.0f});  // far: the triangles are small on screen

  std::size_t skipped = 0;
  for (const cOrbitModel& model : models) {
    for (const cPolygonMode mode : {cPolygonMode::Fill, cPolygonMode::Line, cPolygonMode::Point}) {
      for (std::size_t i = 0; i < orbits.size(); ++i) {
        // Every position filled; a third of them outlined and as points.
        if (mode != cPolygonMode::Fill && i % 3 != static_cast<std::size_t>(mode) - 1) continue;
        const cOrbit& o = orbits[i];
        SCOPED_TRACE(std::string(model.name) + ", mode " + std::to_string(static_cast<int>(mode)) +
                     ", orbit " + std::to_string(o.elevation) + " " + std::to_string(o.azimuth) +
                     " " + std::to_string(o.distance));
        ShowNormals = ShowBoundBox = false;
        model.build(*this);
        SetPolygonMode(mode);
        LookFrom(o.elevation, o.azimuth, o.distance);
        SetListDrawing(drawCache, cListDrawing::Immediate);
        const cFrame direct = Frame();
        EXPECT_EQ(SkippedChunkCount(drawCache), 0u);
        SetListDrawing(drawCache, cListDrawing::Cached);
        const cFrame built = Frame();
        skipped += SkippedChunkCount(drawCache);
        EXPECT_EQ(DifferingPixels(direct, built), 0);
        EXPECT_EQ(DifferingPixels(direct, Frame()), 0);
      }
    }
  }
  EXPECT_GT(skipped, 0u);
  SetPolygonMode(cPolygonMode::Fill);
}

TEST_F(CachedDrawingTest, AClosedTorusSeenFromOutsideLeavesOutChunksOnlyWhileCullingIsOn) {
  NewMesh(FineTorus(), Bytes(100, 40, 10));
  LookFrom(0.5f, 0.8f, 3.5f);
  const cFrame culled = Frame();
  const std::size_t skipped = SkippedChunkCount(drawCache);
  EXPECT_GT(skipped, 20u);  // of 360; fewer than half face away
  EXPECT_LT(skipped, 180u);
  // Without culling, or culling the other side, nothing may be left out.
  glDisable(GL_CULL_FACE);
  EXPECT_EQ(DifferingPixels(culled, Frame()), 0);  // closed: the far side is hidden anyway
  EXPECT_EQ(SkippedChunkCount(drawCache), 0u);
  glEnable(GL_CULL_FACE);
  glCullFace(GL_FRONT);
  const cFrame inside = Frame();
  SetListDrawing(drawCache, cListDrawing::Immediate);
  EXPECT_EQ(DifferingPixels(inside, Frame()), 0);
  SetListDrawing(drawCache, cListDrawing::Cached);
  glCullFace(GL_BACK);
  glFrontFace(GL_CW);
  const cFrame reversed = Frame();
  SetListDrawing(drawCache, cListDrawing::Immediate);
  EXPECT_EQ(DifferingPixels(reversed, Frame()), 0);
  SetListDrawing(drawCache, cListDrawing::Cached);
  glFrontFace(GL_CCW);
  // With normal lines the frame is drawn directly.
  ShowNormals = true;
  Frame();
  EXPECT_EQ(SkippedChunkCount(drawCache), 0u);
  ShowNormals = false;
  Frame();
  EXPECT_EQ(SkippedChunkCount(drawCache), skipped);
}

TEST_F(CachedDrawingTest, ListsAreRecordedOncePerModelGenerationAndNotWhileAComputationRuns) {
  cMesh& mesh = NewMesh(SmallTorus(), Bytes(100, 40, 10));
  SplitIntoPieces(*this, mesh, 100);
  Frame();
  EXPECT_EQ(CachedListCount(drawCache), mesh.decomposition->pieces.size());
  Frame();
  EXPECT_EQ(CachedListCount(drawCache), mesh.decomposition->pieces.size());

  // A list changed in place, same length, same storage: seen after the model says so.
  cTriangleList& first = mesh.decomposition->pieces.front()->triangles;
  const cFrame before = Frame();
  for (cTriangle& t : first) std::swap(t.vertex[1], t.vertex[2]);  // now facing away
  wnd.ModelChanged();
  const cFrame after = Frame();
  SetListDrawing(drawCache, cListDrawing::Immediate);
  EXPECT_EQ(DifferingPixels(after, Frame()), 0);
  EXPECT_GT(DifferingPixels(before, after), 0);
  SetListDrawing(drawCache, cListDrawing::Cached);

  // A run on this thread in progress: nothing is cached, and what was is dropped.
  ++UiRunDepth;
  Frame();
  EXPECT_EQ(CachedListCount(drawCache), 0u);
  --UiRunDepth;
  const cFrame flipped = Frame();
  EXPECT_EQ(CachedListCount(drawCache), mesh.decomposition->pieces.size());

  // View commands keep the cache: a change nobody announced is not seen.
  for (cTriangle& t : first) std::swap(t.vertex[1], t.vertex[2]);
  wnd.OnCommand(kCmdAxis);
  wnd.OnCommand(kCmdAxis);
  EXPECT_EQ(DifferingPixels(Frame(), flipped), 0);

  // A model command (its worker runs on the default platform; no frame is drawn meanwhile, as
  // the window draws none while Busy is raised): the frames after it see its result.
  wnd.OnCommand(kCmdConvexHull);
  for (int i = 0; i < 2000 && cGlWnd::ComputationInProgress(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_FALSE(cGlWnd::ComputationInProgress());
  ASSERT_FALSE(mesh.decomposition->hulls.empty());
  const cFrame hulls = Frame();
  EXPECT_GT(CachedListCount(drawCache), 0u);
  SetListDrawing(drawCache, cListDrawing::Immediate);
  EXPECT_EQ(DifferingPixels(hulls, Frame()), 0);
  SetListDrawing(drawCache, cListDrawing::Cached);
  drawCache.Release();
  EXPECT_EQ(CachedListCount(drawCache), 0u);
}

// The cache belongs to the context the frames draw in: frames given another cache build and use
// that one alone, and frames given none draw every list directly and touch no cache.
TEST_F(CachedDrawingTest, EachCacheHoldsOnlyWhatTheFramesGivenItBuilt) {
  cMesh& mesh = NewMesh(SmallTorus(), Bytes(100, 40, 10));
  SplitIntoPieces(*this, mesh, 100);
  const std::size_t pieces = mesh.decomposition->pieces.size();
  const cFrame first = Frame();
  EXPECT_EQ(CachedListCount(drawCache), pieces);

  cDrawCache other;
  wnd.drawCache = &other;
  EXPECT_EQ(CachedListCount(other), 0u);
  EXPECT_EQ(DifferingPixels(first, Frame()), 0);
  EXPECT_EQ(CachedListCount(other), pieces);
  drawCache.Release();
  EXPECT_EQ(CachedListCount(drawCache), 0u);
  EXPECT_EQ(CachedListCount(other), pieces);
  EXPECT_EQ(DifferingPixels(first, Frame()), 0);

  wnd.drawCache = nullptr;
  EXPECT_EQ(DifferingPixels(first, Frame()), 0);
  EXPECT_EQ(CachedListCount(drawCache), 0u);
  EXPECT_EQ(CachedListCount(other), pieces);
  wnd.drawCache = &drawCache;
}

// --- Clip planes
// ----------------------------------------------------------------------------------------

TEST_F(CachedDrawingTest, ModelsOfAnySizeAreWhollyInViewAsOpenedAndWhileOrbiting) {
  // The same torus at three scales, framed as Open frames it: the same picture, give or take
  // the lights, which do not scale. At the design's planes the small one is cut away entirely
  // and the large one in part.
  auto framed = [this](float scale, float elevation, bool designPlanes) {
    cTriangleList list = SmallTorus();
    for (cTriangle& t : list) {
      for (cVec3& v : t.vertex) v = cVec3(v.x * scale, v.y * scale, v.z * scale);
    }
    cMesh& mesh = NewMesh(list, Bytes(100, 40, 10));
    SceneOffset = GetCenter(mesh.box);
    LookFrom(elevation, 0.3f, static_cast<float>(Length(mesh.box.max - mesh.box.min)));
    if (designPlanes) ApplyView(CameraEye, kSize, kSize, 1.0, 1000.0);
    return NonBackgroundPixels(Frame());
  };
  for (const float elevation : {0.0f, 0.8f, 1.5f}) {
    SCOPED_TRACE(elevation);
    const int reference = framed(1.0f, elevation, true);
    EXPECT_GT(reference, 2000);
    for (const float scale : {0.05f, 1200.0f}) {
      EXPECT_NEAR(framed(scale, elevation, false), reference, reference / 50) << scale;
    }
    EXPECT_EQ(framed(0.05f, elevation, true), 0);
    EXPECT_LT(framed(1200.0f, elevation, true), reference * 9 / 10);
  }
}

// --- Busy screen
// -----------------------------------------------------------------------------------------

TEST_F(RenderTest, TheBusyScreenPrintsInPaleGreenOnGrey) {
  // Solid glyphs, 4 x 10 pixels, advancing by 6.
  std::vector<cGlyphBitmap> glyphs(kFontGlyphCount);
  for (cGlyphBitmap& g : glyphs) {
    g.width = 4;
    g.height = 10;
    g.advance = 6.0f;
    g.bits.assign(10, 0xf0);
  }
  const unsigned base = BuildFontLists(glyphs);
  ASSERT_NE(base, 0u);
  DrawBusyScreen(kSize, kSize, base);
  // The raster position (-0.3, -0.1) on the near plane of a 45 degree view.
  const double half = std::tan(22.5 * M_PI / 180.0);
  const int x = static_cast<int>((1.0 - 0.3 / half) * 0.5 * kSize);
  const int y = static_cast<int>((1.0 - 0.1 / half) * 0.5 * kSize);
  const cPixel text = ReadPixel(x + 2, y + 5);
  EXPECT_NEAR(text[0], 178, 2) << ToString(text);
  EXPECT_NEAR(text[1], 230, 2) << ToString(text);
  EXPECT_NEAR(text[2], 204, 2) << ToString(text);
  // "Please Wait..." is 14 characters long.
  EXPECT_FALSE(IsBackground(ReadPixel(x + 13 * 6 + 2, y + 5)));
  EXPECT_TRUE(IsBackground(ReadPixel(x + 14 * 6 + 2, y + 5)));
  EXPECT_TRUE(IsBackground(ReadPixel(x + 2, y + 14)));
  EXPECT_TRUE(IsBackground(ReadPixel(x + 2, y - 4)));
  GLfloat current[4];
  glGetFloatv(GL_CURRENT_COLOR, current);
  EXPECT_EQ(current[0] + current[1] + current[2], 3.0f);
  DeleteFontLists(base);
}

}  // namespace
