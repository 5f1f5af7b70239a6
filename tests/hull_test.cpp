#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <numbers>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "decomposition/decomposition.h"
#include "geometry/mesh.h"
#include "hull/exact_predicates.h"
#include "hull/fit.h"
#include "hull/hull.h"
#include "hull/hull_internal.h"
#include "hull/sound_hull.h"
#include "io/stl.h"
#include "platform/platform.h"
#include "state/state.h"
#include "tests/support/hull_checks.h"
#include "tests/support/meshes.h"
#include "tests/support/platform_test.h"
#include "tests/support/reference_hull.h"
#include "tests/support/triangle_printing.h"

namespace {

const cVec3 P0(0, 0, 0), P1(1, 0, 0), P2(0, 1, 0), P3(0, 0, -1);

// The seed of the first worked example, built through Build.
cHullResult SeedBelow() {
  cHullResult h;
  cPointList points = {P0, P1, P2, P3};
  h.Build(points);
  return h;
}

std::vector<std::size_t> Range(std::size_t first, std::size_t step, std::size_t count) {
  std::vector<std::size_t> v;
  for (std::size_t k = 0; k < count; ++k) v.push_back(first + k * step);
  return v;
}

// count points in convex position (on the moment curve), none three on a line.
cPointList CurvePoints(int count) {
  cPointList points;
  for (int i = 0; i < count; ++i) {
    const float t = static_cast<float>(i + 1);
    points.emplace_back(t, t * t / 8, t * t * t / 64);
  }
  return points;
}

// Triangles whose distinct corners are points, in order (the last triangle repeats a corner).
cTriangleList TrianglesThrough(const cPointList& points) {
  cTriangleList triangles;
  for (std::size_t i = 0; i < points.size(); i += 3) {
    triangles.emplace_back(points[i], points[std::min(i + 1, points.size() - 1)],
                           points[std::min(i + 2, points.size() - 1)]);
  }
  return triangles;
}

bool UsesOnly(const cHullResult& h, const cPointList& points) {
  for (const cTriangle& f : h.faces) {
    for (const cVec3& v : f.vertex) {
      if (!ContainsPoint(points, v)) return false;
    }
  }
  return true;
}

cPointList CornersOf(const cHullResult& h) {
  cPointList corners;
  for (const cTriangle& f : h.faces) {
    for (const cVec3& v : f.vertex) {
      if (!ContainsPoint(corners, v)) corners.push_back(v);
    }
  }
  return corners;
}

bool SameSet(const cPointList& a, const cPointList& b) {
  if (a.size() != b.size()) return false;
  for (const cVec3& v : a) {
    if (!ContainsPoint(b, v)) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// The result component and the signed distance

TEST(HullResult, StartsEmptyAndIgnoresApply) {
  cHullResult h;
  EXPECT_TRUE(h.faces.empty());
  EXPECT_TRUE(h.visibleFaces.empty());
  EXPECT_EQ(h.currentPoint, cVec3(0, 0, 0));
  EXPECT_EQ(h.box.min, cVec3(0, 0, 0));
  EXPECT_EQ(h.box.max, cVec3(0, 0, 0));
  EXPECT_TRUE(h.ready);
  EXPECT_LT(h.color.red, 255);
  EXPECT_LT(h.color.green, 255);
  EXPECT_LT(h.color.blue, 255);
  EXPECT_EQ(h.GetTypeId(), 0u);
  cMesh mesh;
  h.Apply(&mesh);
  h.Apply(nullptr);
  EXPECT_TRUE(h.faces.empty());
}

TEST(HullResult, ToleranceValues) {
  EXPECT_EQ(static_cast<double>(SeedTolerance), 9.999999747378752e-05);
  EXPECT_EQ(static_cast<double>(VisibleTolerance), 9.999999747378752e-06);
  EXPECT_EQ(static_cast<double>(HorizonTolerance), 0.009999999776482582);
}

TEST(SignedDistance, RoundsOffsetAndNumeratorToFloatAndDividesInDouble) {
  // Normal (0, 0, 3). Numerator 3 (2^24 + 2) - 3 rounds to the float 50331652; the division by 3
  // stays in double.
  const cTriangle t(cVec3(0, 0, 1), cVec3(3, 0, 1), cVec3(0, 1, 1));
  EXPECT_EQ(SignedDistance(t, cVec3(0, 0, 16777218.0f)), 50331652.0 / 3.0);
  // The offset 3 (1 + 2^-23) rounds to the float 3 + 2^-21, so a corner's own distance is not 0.
  const float z = 1.0f + 0x1p-23f;
  const cTriangle u(cVec3(0, 0, z), cVec3(3, 0, z), cVec3(0, 1, z));
  EXPECT_EQ(SignedDistance(u, u.vertex[0]), -0x1p-23 / 3.0);
  // Sign: positive in front.
  EXPECT_EQ(SignedDistance(t, cVec3(5, 5, 3)), 2.0);
  EXPECT_EQ(SignedDistance(t, cVec3(5, 5, -1)), -2.0);
  EXPECT_TRUE(std::isnan(SignedDistance(cTriangle(P0, P1, cVec3(2, 0, 0)), P2)));
}

// ---------------------------------------------------------------------------------------------
// Build: the seed tetrahedron

TEST(Seed, FourthCornerBehindKeepsTheBaseWinding) {
  cHullResult h;
  cPointList points = {P0, P1, P2, P3};
  h.Build(points);
  EXPECT_EQ(h.faces, (cTriangleList{cTriangle(P0, P1, P2), cTriangle(P3, P1, P0),
                                    cTriangle(P3, P0, P2), cTriangle(P3, P2, P1)}));
  ASSERT_EQ(h.faces.size(), 4u);
  EXPECT_EQ(Normal(h.faces[0]), cVec3(0, 0, 1));
  EXPECT_EQ(Normal(h.faces[1]), cVec3(0, -1, 0));
  EXPECT_EQ(Normal(h.faces[2]), cVec3(-1, 0, 0));
  EXPECT_EQ(Normal(h.faces[3]), cVec3(1, 1, -1));
  EXPECT_EQ(points, (cPointList{P0, P1, P2}));
  EXPECT_EQ(h.box.min, cVec3(0, 0, -1));
  EXPECT_EQ(h.box.max, cVec3(1, 1, 0));
}

TEST(Seed, FourthCornerInFrontReversesEveryFace) {
  const cVec3 p3(0, 0, 1);
  cHullResult h;
  cPointList points = {P0, P1, P2, p3};
  h.Build(points);
  EXPECT_EQ(h.faces, (cTriangleList{cTriangle(P0, P2, P1), cTriangle(p3, P0, P1),
                                    cTriangle(p3, P2, P0), cTriangle(p3, P1, P2)}));
  EXPECT_TRUE(h.ready);
  EXPECT_EQ(h.currentPoint, cVec3(0, 0, 0));  // no AddPoint ran
}

TEST(Seed, DistanceEqualToSeedToleranceDoesNotWinAndTheLowestIndexDoes) {
  // Base normal (0, 0, 1), offset 0: a point's distance is exactly its z.
  const cVec3 onTolerance(0.2f, 0.2f, -SeedTolerance);
  const cVec3 justBeyond(0.3f, 0.3f, std::nextafter(SeedTolerance, 1.0f));
  const cVec3 far(0.1f, 0.1f, -3.0f);
  cHullResult h;
  cPointList points = {P0, P1, P2, onTolerance, justBeyond, far};
  h.Build(points);
  EXPECT_EQ(points, (cPointList{P0, P1, P2, onTolerance, far}));
  // The same as seeding with the point just beyond and adding the other two in order.
  cHullResult expected;
  cPointList seed = {P0, P1, P2, justBeyond};
  expected.Build(seed);
  EXPECT_EQ(expected.faces[1], cTriangle(justBeyond, P0, P1));
  expected.AddPoint(onTolerance);
  expected.AddPoint(far);
  EXPECT_EQ(h.faces, expected.faces);
  EXPECT_EQ(h.currentPoint, far);
  EXPECT_EQ(h.box.max.z, justBeyond.z);  // the removed corner is in the box
  EXPECT_EQ(h.box.min.z, -3.0f);
}

TEST(Seed, PointInTheBasePlaneIsSkippedAndAddedAfterTheSeed) {
  const cVec3 inPlane(0.25f, 0.25f, 0.0f);
  const cVec3 winner(0.0f, 0.0f, 2.0f);
  cHullResult h;
  cPointList points = {P0, P1, P2, inPlane, winner};
  h.Build(points);
  EXPECT_EQ(points, (cPointList{P0, P1, P2, inPlane}));
  // The point on the base sees no face, so the seed stays as the table gives it.
  EXPECT_EQ(h.faces, (cTriangleList{cTriangle(P0, P2, P1), cTriangle(winner, P0, P1),
                                    cTriangle(winner, P2, P0), cTriangle(winner, P1, P2)}));
  EXPECT_EQ(h.currentPoint, inPlane);
}

TEST(Seed, FlatInputKeepsPointThreeAndTakesTheSignOfTheLastDistance) {
  // Nothing clears SeedTolerance; the last point lies within VisibleTolerance of every face, so
  // the two AddPoint steps change nothing and the seed table shows as it is.
  const cVec3 a(0.25f, 0.25f, 0.0f);
  for (float lastZ : {-5e-6f, 5e-6f, 0.0f}) {
    SCOPED_TRACE(lastZ);
    const cVec3 b(0.2f, 0.6f, lastZ);
    cHullResult h;
    cPointList points = {P0, P1, P2, a, b};
    h.Build(points);
    EXPECT_EQ(points.size(), 5u);
    if (lastZ < 0) {
      EXPECT_EQ(h.faces, (cTriangleList{cTriangle(P0, P1, P2), cTriangle(a, P1, P0),
                                        cTriangle(a, P0, P2), cTriangle(a, P2, P1)}));
    } else {  // 0 counts as in front
      EXPECT_EQ(h.faces, (cTriangleList{cTriangle(P0, P2, P1), cTriangle(a, P0, P1),
                                        cTriangle(a, P2, P0), cTriangle(a, P1, P2)}));
    }
    EXPECT_EQ(h.currentPoint, b);
  }
}

TEST(Seed, DegenerateBaseFallsBackToTheFirstRow) {
  // Collinear base: every distance is not a number, so point 3 is the corner and stays.
  const cVec3 l1(1, 0, 0), l2(2, 0, 0), top(0, 0, 1);
  cHullResult h;
  cPointList points = {P0, l1, l2, top};
  h.Build(points);
  EXPECT_EQ(points.size(), 4u);
  EXPECT_EQ(h.faces, (cTriangleList{cTriangle(P0, l1, l2), cTriangle(top, l1, P0),
                                    cTriangle(top, P0, l2), cTriangle(top, l2, l1)}));
  EXPECT_EQ(h.currentPoint, top);  // and it is added all the same
}

TEST(Seed, FewerThanFourPointsChangeNothing) {
  for (std::size_t n = 0; n < 4; ++n) {
    cHullResult h;
    h.box.min = cVec3(7, 7, 7);
    cPointList points(n == 0 ? cPointList{} : cPointList{P0, P1, P2});
    points.resize(n);
    h.Build(points);
    EXPECT_TRUE(h.faces.empty());
    EXPECT_EQ(h.box.min, cVec3(7, 7, 7));
    EXPECT_EQ(points.size(), n);
  }
}

// ---------------------------------------------------------------------------------------------
// AddPoint

TEST(AddPoint, VisibleFacesAreReplacedByFacesFromThePointOverTheHorizon) {
  const cVec3 above(0.25f, 0.25f, 1.0f), corner(1.0f, 1.0f, 0.5f);
  const cTriangleList overBase = {cTriangle(P3, P1, P0),    cTriangle(P3, P0, P2),
                                  cTriangle(P3, P2, P1),    cTriangle(above, P0, P1),
                                  cTriangle(above, P1, P2), cTriangle(above, P2, P0)};
  const struct {
    const char* what;
    bool baseTwice;  // a face listed twice is visible twice and offers each edge twice
    cVec3 q;
    cTriangleList faces;
  } cases[] = {{"above the base sees only the base", false, above, overBase},
               {"exact duplicate candidates of one step are dropped", true, above, overBase},
               {"an edge between two visible faces gets no face",
                false,
                corner,
                {cTriangle(P3, P1, P0), cTriangle(P3, P0, P2), cTriangle(corner, P0, P1),
                 cTriangle(corner, P2, P0), cTriangle(corner, P3, P2), cTriangle(corner, P1, P3)}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    cHullResult h = SeedBelow();
    if (c.baseTwice) h.faces.push_back(cTriangle(P0, P1, P2));
    h.AddPoint(c.q);
    EXPECT_EQ(h.faces, c.faces);
    EXPECT_EQ(h.currentPoint, c.q);
    EXPECT_TRUE(h.visibleFaces.empty());
    EXPECT_TRUE(h.ready);
  }
}

TEST(AddPoint, EdgeBetweenVisibleFacesPassesWhenFarCornersLieWithinHorizonTolerance) {
  // The second example at a hundredth of the size: the far corners now lie about 0.004 in front
  // of the candidates over the shared edge, inside HorizonTolerance, so both stay.
  const float s = 0.01f;
  const cVec3 a(0, 0, 0), b(s, 0, 0), c(0, s, 0), d(0, 0, -s), q(s, s, s / 2);
  cHullResult h;
  cPointList points = {a, b, c, d};
  h.Build(points);
  h.AddPoint(q);
  EXPECT_EQ(h.faces, (cTriangleList{cTriangle(d, b, a), cTriangle(d, a, c), cTriangle(q, a, b),
                                    cTriangle(q, b, c), cTriangle(q, c, a), cTriangle(q, d, c),
                                    cTriangle(q, c, b), cTriangle(q, b, d)}));
}

TEST(AddPoint, PointInsideOrWithinVisibleToleranceChangesOnlyCurrentPoint) {
  const cTriangleList seed = SeedBelow().faces;
  for (const cVec3& q :
       {cVec3(0.1f, 0.1f, -0.1f), cVec3(0.25f, 0.25f, VisibleTolerance), cVec3(0.0f, 0.0f, 0.0f)}) {
    cHullResult h = SeedBelow();
    h.AddPoint(q);
    EXPECT_EQ(h.faces, seed);
    EXPECT_EQ(h.currentPoint, q);
    EXPECT_TRUE(h.visibleFaces.empty());
    EXPECT_TRUE(h.ready);
  }
  cHullResult h = SeedBelow();
  h.AddPoint(cVec3(0.25f, 0.25f, std::nextafter(VisibleTolerance, 1.0f)));
  EXPECT_EQ(h.faces.size(), 6u);
}

TEST(AddPoint, EveryStepEndsReadyWithNewFacesStartingAtThePoint) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> coordinate(-100.0f, 100.0f);
  cHullResult h = SeedBelow();
  for (int i = 0; i < 200; ++i) {
    const cVec3 q(coordinate(random), coordinate(random), coordinate(random));
    const cTriangleList before = h.faces;
    h.AddPoint(q);
    ASSERT_TRUE(h.visibleFaces.empty());
    ASSERT_TRUE(h.ready);
    ASSERT_EQ(h.currentPoint, q);
    // The faces that stay keep their order and come first; every new one has q as corner 0.
    std::size_t kept = 0;
    for (const cTriangle& f : before) {
      if (kept < h.faces.size() && h.faces[kept] == f) ++kept;
    }
    for (std::size_t k = kept; k < h.faces.size(); ++k) ASSERT_EQ(h.faces[k].vertex[0], q);
  }
}

TEST(Horizon, CornerExactlyAtHorizonToleranceDoesNotReject) {
  const cTriangle t(P0, P1, P2);  // normal (0, 0, 1), offset 0
  const cTriangleList at = {cTriangle(P0, P1, cVec3(0, 0, HorizonTolerance))};
  const cTriangleList beyond = {
      cTriangle(P0, P1, P2), cTriangle(P0, P1, cVec3(0, 0, std::nextafter(HorizonTolerance, 1.f)))};
  EXPECT_TRUE(IsHorizonFace(t, at));
  EXPECT_FALSE(IsHorizonFace(t, beyond));
  EXPECT_TRUE(IsHorizonFace(t, {}));
  // A candidate with a zero normal rejects nothing.
  EXPECT_TRUE(IsHorizonFace(cTriangle(P0, P1, cVec3(3, 0, 0)), beyond));
}

TEST(Horizon, ContainsTriangleComparesCornerByCorner) {
  const cTriangleList list = {cTriangle(P0, P1, P2)};
  EXPECT_TRUE(ContainsTriangle(list, cTriangle(cVec3(-0.0f, 0, 0), P1, P2)));
  EXPECT_FALSE(ContainsTriangle(list, cTriangle(P1, P2, P0)));
  EXPECT_FALSE(ContainsTriangle(list, cTriangle(P0, P2, P1)));
  EXPECT_FALSE(ContainsTriangle({}, cTriangle(P0, P1, P2)));
}

// ---------------------------------------------------------------------------------------------
// Distinct points and the sample

TEST(Sample, PositionsFollowSmoothInSinglePrecision) {
  const float tenth = static_cast<float>(0.1);
  EXPECT_EQ(SamplePositions(39, tenth), Range(0, 1, 4));
  EXPECT_EQ(SamplePositions(40, tenth), Range(0, 8, 5));
  EXPECT_EQ(SamplePositions(50, tenth), Range(0, 8, 6));
  EXPECT_EQ(SamplePositions(100, tenth), Range(0, 9, 11));
  EXPECT_EQ(SamplePositions(10, 0.5f), Range(0, 2, 5));
  for (float low : {0.0f, -0.0f, -0.5f, -INFINITY, NAN})
    EXPECT_EQ(SamplePositions(37, low), Range(0, 1, 4)) << low;
  for (float high : {1.0f, 1.5f, INFINITY}) EXPECT_EQ(SamplePositions(37, high), Range(0, 1, 37));
  EXPECT_EQ(SamplePositions(4, 1.0f), Range(0, 1, 4));
  EXPECT_TRUE(SamplePositions(3, 1.0f).empty());
  EXPECT_TRUE(SamplePositions(0, 0.5f).empty());
}

TEST(Sample, DistinctPointsInOrderOfFirstAppearance) {
  const cVec3 d(1, 1, 0);
  EXPECT_EQ(CollectDistinctPoints({cTriangle(P0, P1, P2), cTriangle(P2, P1, d)}),
            (cPointList{P0, P1, P2, d}));
  // 0.0 and -0.0 are one point; corners of one triangle are compared with each other too.
  EXPECT_EQ(CollectDistinctPoints({cTriangle(P0, cVec3(-0.0f, 0, -0.0f), P1)}),
            (cPointList{P0, P1}));
  EXPECT_TRUE(ContainsPoint({P1, cVec3(0, -0.0f, 0)}, P0));
  EXPECT_FALSE(ContainsPoint({}, P0));
  EXPECT_FALSE(ContainsPoint({cVec3(std::nextafter(0.0f, 1.0f), 0, 0)}, P0));
}

// ---------------------------------------------------------------------------------------------
// The per-piece driver

class PieceHull : public cFakePlatformTest {
 protected:
  cHullResult& Result(std::size_t i) { return *d.hulls[i]; }

  cDecomposition d;
};

// A leaf piece holding a tetrahedron's points, moved by x.
std::unique_ptr<cConvexPiece> Leaf(float x) {
  auto piece = std::make_unique<cConvexPiece>();
  const cVec3 a(x, 0, 0), b(x + 1, 0, 0), c(x, 1, 0), e(x, 0, 1);
  piece->triangles = {cTriangle(a, b, c), cTriangle(a, e, b)};
  return piece;
}

TEST_F(PieceHull, SampleDependsOnCountAndSmooth) {
  struct cCase {
    int count;
    float smooth;
    std::vector<std::size_t> positions;
  };
  for (const cCase& c : {cCase{39, 0.1f, Range(0, 1, 4)}, cCase{40, 0.1f, Range(0, 8, 5)},
                         cCase{100, 0.1f, Range(0, 9, 11)}, cCase{10, 0.5f, Range(0, 2, 5)},
                         cCase{12, -1.0f, Range(0, 1, 4)}, cCase{12, 2.0f, Range(0, 1, 12)}}) {
    SCOPED_TRACE(c.count);
    const cPointList points = CurvePoints(c.count);
    cConvexPiece piece;
    piece.triangles = TrianglesThrough(points);
    DestroyFirstToLast(d.hulls);
    BuildPieceHull(d, piece, c.smooth);
    ASSERT_EQ(d.hulls.size(), 1u);
    cPointList expected;
    for (std::size_t at : c.positions) expected.push_back(points[at]);
    // Points on the moment curve are all corners of their hull.
    EXPECT_TRUE(SameSet(CornersOf(Result(0)), expected));
    EXPECT_EQ(Result(0).box.min, expected.front());
    EXPECT_EQ(Result(0).box.max, expected.back());
  }
}

TEST_F(PieceHull, TwoTrianglesSharingAnEdgeGiveTheirFourPoints) {
  const cVec3 d3(1, 1, 1);
  cConvexPiece piece;
  piece.triangles = {cTriangle(P0, P1, P2), cTriangle(P2, P1, d3)};
  BuildPieceHull(d, piece, 0.1f);
  ASSERT_EQ(d.hulls.size(), 1u);
  EXPECT_TRUE(SameSet(CornersOf(Result(0)), {P0, P1, P2, d3}));
  // The seed base is the first triangle's corners in order; d3 lies in front of it.
  EXPECT_EQ(Result(0).faces[0], cTriangle(P0, P2, P1));
}

TEST_F(PieceHull, FewerThanFourDistinctPointsGiveNoResult) {
  cConvexPiece same;
  same.triangles = {cTriangle(P0, P1, P2), cTriangle(P0, P1, P2)};
  cConvexPiece empty;
  cConvexPiece signedZeros;
  signedZeros.triangles = {cTriangle(P0, P1, P2), cTriangle(cVec3(-0.0f, -0.0f, 0), P2, P1)};
  for (const cConvexPiece* piece : {&same, &empty, &signedZeros}) BuildPieceHull(d, *piece, 1.0f);
  EXPECT_TRUE(d.hulls.empty());
}

TEST_F(PieceHull, ChildrenOnlyAndDepthFirst) {
  // parent (own triangles ignored) -> [child (-> [leaf 0, leaf 10]), leaf 20]
  cConvexPiece parent;
  parent.triangles = Leaf(100)->triangles;
  auto child = std::make_unique<cConvexPiece>();
  child->triangles = Leaf(200)->triangles;
  child->children.push_back(Leaf(0));
  child->children.push_back(Leaf(10));
  parent.children.push_back(std::move(child));
  parent.children.push_back(Leaf(20));
  BuildPieceHull(d, parent, 0.1f);
  ASSERT_EQ(d.hulls.size(), 3u);
  EXPECT_EQ(Result(0).box.min.x, 0.0f);
  EXPECT_EQ(Result(1).box.min.x, 10.0f);
  EXPECT_EQ(Result(2).box.min.x, 20.0f);
}

TEST_F(PieceHull, OneColourDrawPerResult) {
  d.pieces.push_back(Leaf(0));
  d.pieces.push_back(std::make_unique<cConvexPiece>());  // no points: no result, no draw
  d.pieces.push_back(Leaf(10));
  std::srand(99);
  ConvexHullWorker(d);
  std::srand(99);
  ASSERT_EQ(d.hulls.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    const int r = std::rand() % 255, g = std::rand() % 255, b = std::rand() % 255;
    EXPECT_EQ(Result(i).color.red, r);
    EXPECT_EQ(Result(i).color.green, g);
    EXPECT_EQ(Result(i).color.blue, b);
  }
  Busy = 0;  // the direct call lowered a count nobody raised
}

// ---------------------------------------------------------------------------------------------
// The worker

// The closing box of Fit Hulls: the hulls made, then how well they stand for the mesh, as the
// measure gave it. A solid without volume divides by 1 rather than giving NaN; no hulls, no
// second line.
TEST_F(PieceHull, FitSummarySaysHowWellTheHullsStandForTheMesh) {
  cFitSettings settings;
  settings.maxHulls = 4;
  TakeFit(d, FitHulls(VoxelSurface({{0, 0, 0}}, 1.0f), settings));
  ASSERT_EQ(d.hulls.size(), 1u);
  auto closed = [](double solid, double missing, double excess, double iou) {
    cFidelity f;
    f.closed = true;
    f.solidVolume = solid, f.missingVolume = missing, f.excessVolume = excess, f.iou = iou;
    f.surfaceCoverage = 1.0;
    return f;
  };
  cFidelity open;
  open.largestDistance = 0.1, open.meanDistance = 0.02, open.surfaceCoverage = 0.5;
  const std::string first = "1 hulls from 1 pieces, at most 8 vertices each";
  const struct {
    cFidelity fidelity;
    std::string second;
  } cases[] = {
      {closed(2.0, 0.5, 1.0, 0.5),
       "IoU with the solid 0.500 (missing 25.00 %, excess 50.00 %); 100.00 % of the surface "
       "inside"},
      {closed(2.0, -1e-17, 0.0, 1.0),
       "IoU with the solid 1.000 (missing 0.00 %, excess 0.00 %); 100.00 % of the surface inside"},
      {closed(0.0, 0.0, 0.25, 0.0),
       "IoU with the solid 0.000 (missing 0.00 %, excess 25.00 %); 100.00 % of the surface inside"},
      {open,
       "not closed: the hulls' surfaces lie at most 10.00 % (mean 2.00 %) of the diagonal from "
       "the mesh; 50.00 % of the surface inside"},
  };
  for (const auto& c : cases) EXPECT_EQ(FitSummary(d, 1, c.fidelity), first + "\n" + c.second);
  cDecomposition empty;
  EXPECT_EQ(FitSummary(empty, 3, closed(2.0, 0.5, 1.0, 0.5)),
            "0 hulls from 3 pieces, at most 0 vertices each");
}

class HullWorker : public PieceHull {
 protected:
  // Starts the worker as the Convex Hull command does.
  void Start(cDecomposition& target) {
    Busy.fetch_add(1);
    cDecomposition* t = &target;
    Platform().StartThread([t] { ConvexHullWorker(*t); }, target.worker);
  }
};

TEST_F(HullWorker, CompletionMessageAfterWorkerIsClearedAndBeforeBusyDrops) {
  d.pieces.push_back(Leaf(0));
  d.pieces.push_back(Leaf(10));
  platform.workerProbe = [this] { return d.worker.load(); };
  platform.holdWorkerBoxes = true;
  Smooth = 0.1;
  Start(d);
  ASSERT_TRUE(platform.WaitUntilHeld(1));
  EXPECT_EQ(d.worker.load(), 0u);
  EXPECT_EQ(Busy.load(), 1);
  EXPECT_EQ(d.hulls.size(), 2u);
  platform.ReleaseOne();
  platform.threads.JoinAll();
  EXPECT_EQ(Busy.load(), 0);
  const auto shown = platform.Messages();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].text, "Convex hull completed...");
  EXPECT_EQ(shown[0].caption, "message");
  EXPECT_EQ(shown[0].worker, 0u);
  EXPECT_EQ(shown[0].busy, 1);
}

TEST_F(HullWorker, CompletionMessageAlsoWithoutAnyResult) {
  cConvexPiece* piece = d.pieces.emplace_back(std::make_unique<cConvexPiece>()).get();
  piece->triangles = {cTriangle(P0, P1, P2), cTriangle(P0, P1, P2)};
  Start(d);
  platform.threads.JoinAll();
  EXPECT_TRUE(d.hulls.empty());
  const auto shown = platform.Messages();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].text, "Convex hull completed...");
  EXPECT_EQ(shown[0].caption, "message");
  EXPECT_EQ(Busy.load(), 0);
  EXPECT_EQ(d.worker.load(), 0u);
}

TEST_F(HullWorker, SmoothIsConvertedToFloatBeforeTheCount) {
  // In double 40 * 0.1 rounds to 4; the float 0.1 is slightly larger and gives 5 points.
  const cPointList points = CurvePoints(40);
  d.pieces.emplace_back(std::make_unique<cConvexPiece>())->triangles = TrianglesThrough(points);
  Smooth = 0.1;
  Start(d);
  platform.threads.JoinAll();
  ASSERT_EQ(d.hulls.size(), 1u);
  EXPECT_EQ(CornersOf(Result(0)).size(), 5u);
}

TEST_F(HullWorker, BusyStaysRaisedUntilTheLastWorkerEnds) {
  cDecomposition other;
  d.pieces.push_back(Leaf(0));
  other.pieces.push_back(Leaf(10));
  platform.holdWorkerBoxes = true;
  Start(d);
  ASSERT_TRUE(platform.WaitUntilHeld(1));
  Start(other);
  ASSERT_TRUE(platform.WaitUntilHeld(2));
  EXPECT_EQ(Busy.load(), 2);
  platform.ReleaseOne();  // one of the two ends
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (platform.threads.Running() > 1 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(platform.threads.Running(), 1);
  EXPECT_EQ(Busy.load(), 1);  // the other is still inside its run
  platform.ReleaseOne();
  platform.threads.JoinAll();
  EXPECT_EQ(Busy.load(), 0);
}

TEST_F(HullWorker, WholeComputationOverADecomposedClosedMesh) {
  cMesh mesh;
  mesh.triangles = BulgingTorus(96, 16);
  Epsilon = 0.01;
  Smooth = 0.5;
  Decompose(mesh);
  platform.threads.JoinAll();
  ASSERT_NE(mesh.decomposition, nullptr);
  cDecomposition& dec = *mesh.decomposition;
  ASSERT_GT(dec.pieces.size(), 1u);

  Start(dec);
  platform.threads.JoinAll();
  EXPECT_EQ(Busy.load(), 0);
  EXPECT_EQ(dec.worker.load(), 0u);

  std::vector<const cConvexPiece*> withHull;
  for (const auto& piece : dec.pieces) {
    if (CollectDistinctPoints(piece->triangles).size() >= 4) withHull.push_back(piece.get());
  }
  ASSERT_EQ(dec.hulls.size(), withHull.size());
  for (std::size_t i = 0; i < withHull.size(); ++i) {
    const cHullResult& h = *dec.hulls[i];
    EXPECT_GE(h.faces.size(), 4u);
    EXPECT_TRUE(UsesOnly(h, CollectDistinctPoints(withHull[i]->triangles))) << i;
    const cBoundBox& b = withHull[i]->box;
    EXPECT_TRUE(h.box.min.x >= b.min.x && h.box.max.x <= b.max.x && h.box.min.y >= b.min.y &&
                h.box.max.y <= b.max.y && h.box.min.z >= b.min.z && h.box.max.z <= b.max.z);
    EXPECT_TRUE(h.ready);
    EXPECT_TRUE(h.visibleFaces.empty());
  }
  const auto shown = platform.Messages();
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(shown[0].text, "triangles: 3072");
  EXPECT_EQ(shown[1].text, "objects: " + std::to_string(dec.pieces.size()));
  EXPECT_EQ(shown[2].text, "Convex hull completed...");
  EXPECT_EQ(shown[2].caption, "message");
}

}  // namespace

namespace {

// ---------------------------------------------------------------------------------------------
// The fast construction against the plain one, and the closed hull of every piece

// Point sets that stress the construction's ties and tolerances.
enum class cSet { Sphere, Ball, Lattice, SmallBall, Flat, NearlyFlat, CubeSurface };

cPointList MakeSet(cSet kind, int count, unsigned seed) {
  std::mt19937 g(seed);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::uniform_int_distribution<int> small(0, 4);
  cPointList points;
  while (static_cast<int>(points.size()) < count) {
    const double x = unit(g), y = unit(g), z = unit(g), l = std::sqrt(x * x + y * y + z * z);
    cVec3 p;
    switch (kind) {
      case cSet::Sphere:
        if (l > 1 || l < 1e-3) continue;
        p = cVec3(float(100 * x / l), float(100 * y / l), float(100 * z / l));
        break;
      case cSet::Ball:
        p = cVec3(float(50 * x), float(50 * y), float(50 * z));
        break;
      case cSet::Lattice:  // many points on one plane, line or sphere: exact ties
        p = cVec3(float(small(g)), float(small(g)), float(small(g)));
        break;
      case cSet::SmallBall:  // a hundredth of a unit across: the tolerances decide
        p = cVec3(float(0.01 * x), float(0.01 * y), float(0.01 * z));
        break;
      case cSet::Flat:
        p = cVec3(float(10 * x), float(10 * y), 3.0f);
        break;
      case cSet::NearlyFlat:
        p = cVec3(float(10 * x), float(10 * y), float(5e-6 * z));
        break;
      case cSet::CubeSurface: {
        float c[3] = {float(small(g) - 2), float(small(g) - 2), float(small(g) - 2)};
        c[g() % 3] = (g() % 2) ? 2.0f : -2.0f;
        p = cVec3(c[0], c[1], c[2]);
        break;
      }
    }
    if (!ContainsPoint(points, p) || kind == cSet::Lattice) points.push_back(p);
  }
  return points;
}

const cSet kAllSets[] = {cSet::Sphere, cSet::Ball,       cSet::Lattice,    cSet::SmallBall,
                         cSet::Flat,   cSet::NearlyFlat, cSet::CubeSurface};

TEST(FastBuild, SameFacesAndOrderAsThePlainConstruction) {
  int compared = 0;
  for (cSet kind : kAllSets) {
    for (int count : {4, 5, 7, 12, 30, 80}) {
      for (unsigned seed = 1; seed <= 4; ++seed) {
        SCOPED_TRACE(testing::Message()
                     << "set " << int(kind) << " count " << count << " seed " << seed);
        const cPointList points = MakeSet(kind, count, seed * 31 + count);
        cHullResult fast, plain;
        cPointList a = points, b = points;
        fast.Build(a);
        ReferenceBuild(plain, b);
        ASSERT_EQ(fast.faces, plain.faces);
        EXPECT_EQ(a, b);
        EXPECT_EQ(fast.currentPoint, plain.currentPoint);
        EXPECT_EQ(fast.box.min, plain.box.min);
        EXPECT_EQ(fast.box.max, plain.box.max);
        EXPECT_TRUE(fast.visibleFaces.empty());
        ++compared;
      }
    }
  }
  EXPECT_EQ(compared, 7 * 6 * 4);
}

TEST(FastBuild, AddPointMatchesThePlainStepOnAnyFaceList) {
  // Hull faces, and also lists that are no hull at all: repeated faces, random triangles,
  // degenerate ones, non-finite corners.
  std::mt19937 g(5);
  std::uniform_real_distribution<float> c(-2.0f, 2.0f);
  for (int round = 0; round < 300; ++round) {
    cHullResult fast, plain;
    if (round % 3 == 0) {
      cPointList points = MakeSet(kAllSets[round % 7], 20, round);
      ReferenceBuild(plain, points);
    } else {
      for (int i = 0; i < 12; ++i) {
        const cVec3 a(c(g), c(g), c(g)), b(c(g), c(g), c(g));
        plain.faces.emplace_back(a, b, i % 5 == 0 ? a : cVec3(c(g), c(g), c(g)));
      }
      if (round % 3 == 2) plain.faces.push_back(plain.faces.front());
      if (round % 10 == 4) plain.faces.emplace_back(cVec3(NAN, 0, 0), P1, P2);
    }
    fast.faces = plain.faces;
    cVec3 q(c(g), c(g), c(g));
    if (round % 50 == 7) q = cVec3(INFINITY, 0, 0);
    fast.AddPoint(q);
    ReferenceAddPoint(plain, q);
    ASSERT_TRUE(SameBits(fast.faces, plain.faces)) << "round " << round;
    EXPECT_EQ(fast.currentPoint, q);
    EXPECT_TRUE(fast.ready);
  }
}

TEST(FastBuild, DistinctPointsAsTheLinearScanFindsThem) {
  std::mt19937 g(11);
  std::uniform_int_distribution<int> pick(0, 5);
  const float values[] = {0.0f, -0.0f, 1.0f, 2.5f, NAN, -1.0f};
  for (int round = 0; round < 50; ++round) {
    cTriangleList triangles;
    for (int i = 0; i < 40; ++i) {
      cVec3 v[3];
      for (cVec3& p : v) p = cVec3(values[pick(g)], values[pick(g)], values[pick(g) % 4]);
      triangles.emplace_back(v[0], v[1], v[2]);
    }
    cPointList expected;
    for (const cTriangle& t : triangles) {
      for (const cVec3& p : t.vertex) {
        if (!ContainsPoint(expected, p)) expected.push_back(p);
      }
    }
    // Bit for bit: the first appearance's sign of zero is the one kept, NaN is never repeated.
    EXPECT_TRUE(SameBits(CollectDistinctPoints(triangles), expected)) << "round " << round;
  }
}

// Exact orientation against 128-bit integer arithmetic on integer coordinates scaled by powers
// of two (exact in float), many of them coplanar by construction.
TEST(ExactPredicates, OrientationMatchesIntegerArithmetic) {
  std::mt19937 g(3);
  std::uniform_int_distribution<int> coordinate(-(1 << 20), 1 << 20);
  using i128 = __int128;
  for (int round = 0; round < 20000; ++round) {
    std::int64_t v[4][3];
    for (auto& p : v) {
      for (auto& x : p) x = coordinate(g);
    }
    if (round % 2 == 0) {  // q = a + s (b - a) + t (c - a): on the plane
      const int s = coordinate(g) % 4, t = coordinate(g) % 4;
      for (int k = 0; k < 3; ++k)
        v[3][k] = v[0][k] + s * (v[1][k] - v[0][k]) + t * (v[2][k] - v[0][k]);
      if (round % 4 == 0) v[3][round / 4 % 3] += 1;  // or just off it
    }
    const float scale = std::ldexp(1.0f, round % 40 - 20);
    cVec3 p[4];
    for (int i = 0; i < 4; ++i) p[i] = cVec3(v[i][0] * scale, v[i][1] * scale, v[i][2] * scale);
    i128 e[3][3];
    for (int i = 0; i < 3; ++i) {
      for (int k = 0; k < 3; ++k) e[i][k] = v[i + 1][k] - v[0][k];
    }
    const i128 det = e[0][0] * (e[1][1] * e[2][2] - e[1][2] * e[2][1]) -
                     e[0][1] * (e[1][0] * e[2][2] - e[1][2] * e[2][0]) +
                     e[0][2] * (e[1][0] * e[2][1] - e[1][1] * e[2][0]);
    const int expected = det > 0 ? 1 : det < 0 ? -1 : 0;
    ASSERT_EQ(Orient3d(p[0], p[1], p[2], p[3]), expected) << "round " << round;
    const i128 z = e[0][0] * e[1][1] - e[0][1] * e[1][0];
    ASSERT_EQ(Orient2d(p[0], p[1], p[2], 2), z > 0 ? 1 : z < 0 ? -1 : 0) << "round " << round;
  }
  // Rounding would get these wrong: a point 2^-24 off a plane far from the origin.
  const cVec3 a(1e6f, 1e6f, 1e6f), b(1e6f + 1, 1e6f, 1e6f), c(1e6f, 1e6f + 1, 1e6f);
  EXPECT_EQ(Orient3d(a, b, c, cVec3(3e6f, -7e6f, 1e6f)), 0);
  EXPECT_EQ(Orient3d(a, b, c, cVec3(3e6f, -7e6f, std::nextafter(1e6f, 2e6f))), 1);
  EXPECT_EQ(Orient3d(a, b, c, cVec3(3e6f, -7e6f, std::nextafter(1e6f, 0.0f))), -1);
  EXPECT_TRUE(Collinear(a, b, cVec3(1e6f + 3, 1e6f, 1e6f)));
  EXPECT_FALSE(Collinear(a, b, c));
}

// Inside the L of three unit voxels (1), outside (0), or on a line of its half-cell lattice or
// its top or bottom, where a test point could lie on the surface (-1).
int InsideL(double x, double y, double z) {
  const bool onLattice = std::fmod(x * 2, 1.0) == 0 || std::fmod(y * 2, 1.0) == 0;
  if (onLattice || z == 0 || z == 1) return -1;
  return z > 0 && z < 1 && x > 0 && y > 0 && ((x < 2 && y < 1) || (x < 1 && y < 2)) ? 1 : 0;
}

// A vertical line crosses a closed surface an even number of times however it meets its edges
// and corners, and the crossings above a point tell whether it is inside: an L of voxels split
// in halves (lines at every quarter, so many pass exactly through edges and corners) and a
// faceted torus (random lines and points, those near its surface left out).
TEST(ExactPredicates, VerticalLinesCrossClosedSurfacesEvenly) {
  struct cCase {
    const char* name;
    cTriangleList mesh;
    std::vector<std::array<float, 2>> lines;
    std::function<int(double, double, double)> inside;  // 1 in, 0 out, -1 too close to tell
  };
  std::vector<std::array<float, 2>> lattice, random;
  for (int i = -2; i <= 10; ++i) {
    for (int j = -2; j <= 10; ++j) lattice.push_back({i * 0.25f, j * 0.25f});
  }
  std::mt19937 g(7);
  std::uniform_real_distribution<float> across(-5.5f, 5.5f);
  for (int k = 0; k < 400; ++k) random.push_back({across(g), across(g)});
  const cCase cases[] = {
      {"L", VoxelSurface({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, 1.0f, 2), lattice, InsideL},
      // The same L far from the origin, where the floats are 1/128 apart: the lattice lines
      // still pass exactly through its edges and corners.
      {"L far away",
       [] {
         cTriangleList l = VoxelSurface({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, 1.0f, 2);
         for (cTriangle& t : l) {
           for (cVec3& v : t.vertex) v = cVec3(v.x + 65536.0f, v.y + 65536.0f, v.z);
         }
         return l;
       }(),
       [&] {
         std::vector<std::array<float, 2>> moved = lattice;
         for (auto& [x, y] : moved) x += 65536.0f, y += 65536.0f;
         return moved;
       }(),
       [](double x, double y, double z) { return InsideL(x - 65536.0, y - 65536.0, z); }},
      {"torus", Torus(48, 16, 4.0f, 1.0f, 0.0f), random,
       [](double x, double y, double z) {
         const double d = std::hypot(std::hypot(x, y) - 4.0, z) - 1.0;
         return std::fabs(d) < 0.05 ? -1 : d < 0 ? 1 : 0;
       }},
  };
  for (const cCase& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& [x, y] : c.lines) {
      std::vector<double> crossings;
      for (const cTriangle& t : c.mesh) {
        double z = 0.0;
        if (VerticalCrossing(t, cVec3(x, y, 0.0f), z)) crossings.push_back(z);
      }
      ASSERT_EQ(crossings.size() % 2, 0u) << "line " << x << ", " << y;
      for (const double z : {-0.75, -0.25, 0.25, 0.5, 0.75, 1.25}) {
        const int expected = c.inside(x, y, z);
        if (expected < 0) continue;
        const auto above =
            std::count_if(crossings.begin(), crossings.end(), [&](double at) { return at > z; });
        EXPECT_EQ(above % 2, expected) << "point " << x << ", " << y << ", " << z;
      }
    }
  }
}

// The smallest inputs found to break the plain construction, and other shapes of trouble.
struct cHullFixture {
  const char* what;
  cPointList points;
};

cPointList Grid(int n) {  // the flat n x n grid of unit squares
  cPointList points;
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) points.emplace_back(float(i), float(j), 0.0f);
  }
  return points;
}

cPointList Scaled(const cPointList& points, float s) {
  cPointList out;
  for (const cVec3& p : points) out.emplace_back(p.x * s, p.y * s, p.z * s);
  return out;
}

std::vector<cHullFixture> TroubleFixtures() {
  const cPointList sphere = MakeSet(cSet::Sphere, 300, 2);
  cPointList withNan = MakeSet(cSet::Ball, 40, 3);
  withNan.insert(withNan.begin() + 2, cVec3(NAN, 1, 1));
  withNan.push_back(cVec3(INFINITY, 0, 0));
  cPointList line;
  for (int i = 0; i < 6; ++i) line.emplace_back(float(i * 3 % 7), float(i * 3 % 7) * 2, 1.0f);
  // Two triangles on one plane, three of their corners on one line: at some scales the float
  // corners still lie on a plane, at others just off it, and below 1e-19 a face's float normal
  // is lost (its products underflow) while its corners do not lie on one line.
  const cPointList fold = {{-3, 0, 0}, {1, 2, -2}, {3, 3, -3}, {3, 3, -1}};
  cPointList wide;  // magnitudes from 1e-20 to 1e36 in one set
  for (int i = 0; i < 24; ++i) {
    const auto at = [i](int k) {
      const float magnitude = std::pow(10.0f, float((i * 7 + k * 13) % 57 - 20));
      return ((i + k) % 3 == 0 ? -1.0f : 1.0f) * magnitude;
    };
    wide.emplace_back(at(0), at(1), at(2));
  }
  return {{"flat 32 x 32 grid", Grid(32)},
          {"fold at scale 1", fold},
          {"fold at scale 1e-3", Scaled(fold, 1e-3f)},
          {"fold at scale 1e-6", Scaled(fold, 1e-6f)},
          {"fold at scale 1e-20", Scaled(fold, 1e-20f)},
          {"fold at scale 1e-40", Scaled(fold, 1e-40f)},
          {"fold at scale 1e-44", Scaled(fold, 1e-44f)},
          {"coordinates from 1e-20 to 1e36", wide},
          {"sphere scaled by 1e30", Scaled(sphere, 1e28f)},  // radius 100 x 1e28
          {"sphere scaled by 1e-30", Scaled(sphere, 1e-32f)},
          {"sphere of radius 1000, 500 points", Scaled(MakeSet(cSet::Sphere, 500, 14), 10.0f)},
          {"a hundredth of a unit across", MakeSet(cSet::SmallBall, 200, 1)},
          {"nearly flat", MakeSet(cSet::NearlyFlat, 200, 1)},
          {"lattice with repeated points", MakeSet(cSet::Lattice, 150, 9)},
          {"cube surface lattice", MakeSet(cSet::CubeSurface, 90, 4)},
          {"not finite points take no part", withNan},
          {"collinear", line}};
}

TEST(ClosedHull, SoundOnEveryTroubleFixture) {
  for (const cHullFixture& f : TroubleFixtures()) {
    SCOPED_TRACE(f.what);
    cHullResult h;
    cPointList points = f.points;
    h.BuildClosed(points);
    EXPECT_EQ(SoundProblem(h.faces, f.points), "");
    EXPECT_GE(h.faces.size(), 2u);
    EXPECT_TRUE(h.ready);
    EXPECT_TRUE(h.visibleFaces.empty());
    // Build's side effects stay: the box of all points and the fourth corner's removal.
    cHullResult plain;
    cPointList plainPoints = f.points;
    ReferenceSeed(plain, plainPoints);
    EXPECT_TRUE(SameBits(points, plainPoints));
    EXPECT_TRUE(SamePoint(h.box.min, plain.box.min) || std::isnan(h.box.min.x));
    EXPECT_TRUE(SamePoint(h.box.max, plain.box.max) || std::isnan(h.box.max.x));
  }
}

TEST(ClosedHull, FlatGridGivesTheSquareBothWays) {
  cHullResult h;
  cPointList points = Grid(32);
  h.BuildClosed(points);
  // Four corners, two triangles facing up and two facing down: the whole 31 x 31 square.
  ASSERT_EQ(h.faces.size(), 4u);
  double up = 0, down = 0;
  for (const cTriangle& f : h.faces) {
    const cVec3 n = Normal(f);
    (n.z > 0 ? up : down) += Length(n) / 2;
  }
  EXPECT_EQ(up, 31.0 * 31.0);
  EXPECT_EQ(down, 31.0 * 31.0);
}

TEST(ClosedHull, ScaledSpheresAreWoundOutward) {
  for (float s : {1e28f, 1e-32f}) {
    cPointList points = Scaled(MakeSet(cSet::Sphere, 300, 2), s);
    const cPointList sample = points;
    cHullResult h;
    h.BuildClosed(points);
    EXPECT_GT(h.faces.size(), 100u) << s;  // not a seed tetrahedron turned inside out
    EXPECT_EQ(SoundProblem(h.faces, sample), "") << s;
  }
}

// Distance from p to the triangle t (with a non-zero normal): to its plane when p projects into
// it, else to the nearest of its three sides.
double TriangleDistance(const cTriangle& t, const cVec3& p) {
  using cD = std::array<double, 3>;
  auto d3 = [](const cVec3& v) { return cD{v.x, v.y, v.z}; };
  auto sub = [](cD a, cD b) { return cD{a[0] - b[0], a[1] - b[1], a[2] - b[2]}; };
  auto dot = [](cD a, cD b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; };
  auto cross = [](cD a, cD b) {
    return cD{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
  };
  const cD a = d3(t.vertex[0]), b = d3(t.vertex[1]), c = d3(t.vertex[2]), q = d3(p);
  const cD n = cross(sub(b, a), sub(c, a));
  const bool inside = dot(cross(sub(b, a), sub(q, a)), n) >= 0 &&
                      dot(cross(sub(c, b), sub(q, b)), n) >= 0 &&
                      dot(cross(sub(a, c), sub(q, c)), n) >= 0;
  if (inside) return std::fabs(dot(n, sub(q, a))) / std::sqrt(dot(n, n));
  double best = INFINITY;
  for (const auto& [u, v] : {std::pair{a, b}, std::pair{b, c}, std::pair{c, a}}) {
    const cD e = sub(v, u);
    const double s = std::clamp(dot(sub(q, u), e) / dot(e, e), 0.0, 1.0);
    const cD r = sub(q, cD{u[0] + s * e[0], u[1] + s * e[1], u[2] + s * e[2]});
    best = std::min(best, std::sqrt(dot(r, r)));
  }
  return best;
}

// Whether faces hold the points to tolerance as the closed build checks it, written out plainly:
// not wound inward; then, for a surface enclosing a volume, distances in double from each face's
// float Normal (faces without a normal skipped), for a flat one the distance to the surface.
bool HoldsWithin(const cTriangleList& faces, const cPointList& points, double tolerance) {
  double volume = 0, area = 0;
  for (const cTriangle& f : faces) {
    const double length = Length(Normal(f));
    if (!std::isfinite(length)) return false;
    area += length / 2;
    double c[3][3];
    for (int i = 0; i < 3; ++i) {
      c[i][0] = double(f.vertex[i].x) - faces[0].vertex[0].x;
      c[i][1] = double(f.vertex[i].y) - faces[0].vertex[0].y;
      c[i][2] = double(f.vertex[i].z) - faces[0].vertex[0].z;
    }
    volume += (c[0][0] * (c[1][1] * c[2][2] - c[1][2] * c[2][1]) -
               c[0][1] * (c[1][0] * c[2][2] - c[1][2] * c[2][0]) +
               c[0][2] * (c[1][0] * c[2][1] - c[1][1] * c[2][0])) /
              6;
  }
  if (volume < -tolerance * area) return false;
  const bool flat = volume <= tolerance * area;
  for (const cVec3& p : points) {
    bool on = false;
    for (const cTriangle& f : faces) {
      const cVec3 n = Normal(f), &a = f.vertex[0];
      const double length = Length(n);
      if (length == 0) continue;
      if (flat) {
        on = on || TriangleDistance(f, p) <= tolerance;
        continue;
      }
      const double d = (double(n.x) * (double(p.x) - a.x) + double(n.y) * (double(p.y) - a.y) +
                        double(n.z) * (double(p.z) - a.z)) /
                       length;
      if (d > tolerance) return false;
    }
    if (flat && !on) return false;
  }
  return true;
}

// Every test mesh and sample, decomposed, at a tenth and at all of each piece's points: every
// hull is closed, and either the construction's own (holding the sample to tolerance) or the
// sound one (convex by exact tests).
TEST_F(PieceHull, EveryTestMeshGetsClosedHulls) {
  const std::string fixtures = CD_FIXTURES;
  std::vector<std::string> files = {fixtures + "/../../samples/gear.stl",
                                    fixtures + "/../../samples/torus.stl"};
  for (const char* name :
       {"cube.stl", "tetrahedron.stl", "cli_concave_fold.stl", "cli_non_finite.stl",
        "cli_tetrahedron_inward.stl", "huge_coordinates.stl", "window_two_cubes.stl"})
    files.push_back(fixtures + "/" + name);
  int hulls = 0;
  for (const std::string& file : files) {
    cMesh mesh;
    ASSERT_TRUE(LoadStlFile(file, mesh)) << file;
    Epsilon = 0.1;
    cDecomposition decomposition;
    decomposition.Apply(&mesh);
    for (float smooth : {0.1f, 1.0f}) {
      for (const auto& piece : decomposition.pieces) {
        const cPointList distinct = CollectDistinctPoints(piece->triangles);
        cPointList sample;
        for (std::size_t at : SamplePositions(distinct.size(), smooth))
          sample.push_back(distinct[at]);
        if (sample.empty()) continue;
        DestroyFirstToLast(d.hulls);
        BuildPieceHull(d, *piece, smooth);
        ASSERT_EQ(d.hulls.size(), 1u);
        const cTriangleList& faces = Result(0).faces;
        SCOPED_TRACE(file + " smooth " + std::to_string(smooth));
        EXPECT_EQ(ClosureProblem(faces), "");
        const cBoundBox b = ComputeBoundBox(sample);
        const double tolerance =
            VisibleTolerance * std::max({double(b.max.x) - b.min.x, double(b.max.y) - b.min.y,
                                         double(b.max.z) - b.min.z});
        if (!(std::isfinite(tolerance) && HoldsWithin(faces, sample, tolerance))) {
          EXPECT_EQ(SoundProblem(faces, sample), "");
        }
        ++hulls;
      }
    }
  }
  EXPECT_EQ(hulls, 16);
}

// Where every step of the plain construction leaves the faces closed and its result holds the
// points, the result is the plain construction's, face for face; elsewhere it is the sound one.
TEST(ClosedHull, KeepsTheConstructionsFacesWhereverEveryStepStaysClosed) {
  int kept = 0, replaced = 0;
  for (cSet kind : kAllSets) {
    for (int count : {4, 6, 10, 25, 60}) {
      for (unsigned seed = 1; seed <= 5; ++seed) {
        const cPointList points = MakeSet(kind, count, seed * 17 + count);
        SCOPED_TRACE(testing::Message()
                     << "set " << int(kind) << " count " << count << " seed " << seed);
        cHullResult plain;
        cPointList rest = points;
        ReferenceSeed(plain, rest);
        bool closed = ClosureProblem(plain.faces).empty();
        for (std::size_t i = 3; i < rest.size(); ++i) {
          ReferenceAddPoint(plain, rest[i]);
          closed = closed && ClosureProblem(plain.faces).empty();
        }
        const cBoundBox& b = plain.box;
        const double tolerance =
            VisibleTolerance * std::max({double(b.max.x) - b.min.x, double(b.max.y) - b.min.y,
                                         double(b.max.z) - b.min.z});
        cHullResult h;
        cPointList mine = points;
        h.BuildClosed(mine);
        if (closed && HoldsWithin(plain.faces, points, tolerance / 2)) {
          EXPECT_EQ(h.faces, plain.faces);
          ++kept;
        } else if (!closed || !HoldsWithin(plain.faces, points, tolerance * 2)) {
          EXPECT_EQ(h.faces, SoundHull(points));
          EXPECT_EQ(SoundProblem(h.faces, points), "");
          ++replaced;
        }
      }
    }
  }
  std::printf("plain construction kept %d times, replaced %d times\n", kept, replaced);
  EXPECT_GT(kept, 20);
  EXPECT_GT(replaced, 20);
}

}  // namespace
