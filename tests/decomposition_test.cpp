#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <numbers>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "decomposition/decomposition.h"
#include "decomposition/decomposition_internal.h"
#include "geometry/mesh.h"
#include "io/stl.h"
#include "platform/platform.h"
#include "state/state.h"
#include "tests/support/meshes.h"
#include "tests/support/platform_test.h"
#include "tests/support/triangle_printing.h"

namespace {

class Decomposition : public cFakePlatformTest {
 protected:
  // Runs Apply on the calling thread over the given triangles; returns the message texts.
  std::vector<std::string> Run(cDecomposition& d, const cTriangleList& triangles) {
    mesh.triangles = triangles;
    d.Apply(&mesh);
    return platform.Texts();
  }

  int destroyed = 0;  // outlives mesh, whose components may count into it
  cMesh mesh;
};

cTriangle Reversed(const cTriangle& t) {
  return cTriangle(t.vertex[0], t.vertex[2], t.vertex[1]);
}

// The corner-listed faces of the tetrahedron (0,0,0), (1,0,0), (0,1,0), (0,0,1), each turned so
// that its Normal points away from the inside. Every height exceeds 0.5.
cTriangleList OutwardTetrahedron() {
  const cVec3 a(0, 0, 0), b(1, 0, 0), c(0, 1, 0), d(0, 0, 1);
  return {cTriangle(a, c, b), cTriangle(a, b, d), cTriangle(a, d, c), cTriangle(b, c, d)};
}

// ---------------------------------------------------------------------------------------------
// Neighbours and the plane test

TEST(Neighbours, NeedTwoExactlyEqualCornerPairs) {
  const cVec3 a(0, 0, 0), b(1, 0, 0), c(0, 1, 0);
  const cTriangle t(a, b, c);
  EXPECT_TRUE(SharesEdge(t, cTriangle(b, a, cVec3(1, -1, 0))));
  EXPECT_TRUE(SharesEdge(t, t));
  EXPECT_TRUE(SharesEdge(t, cTriangle(c, a, b)));  // same corners in another order
  EXPECT_FALSE(SharesEdge(t, cTriangle(a, cVec3(-1, 0, 0), cVec3(0, -1, 0))));
  // Pairs are counted, not shared points: a corner repeated in one triangle counts twice.
  EXPECT_TRUE(SharesEdge(cTriangle(a, a, cVec3(5, 5, 5)), cTriangle(a, cVec3(-1, 0, 0), c)));
  // 0.0 and -0.0 are the same coordinate; one bit more is not.
  EXPECT_TRUE(SharesEdge(t, cTriangle(cVec3(-0.0f, 0, 0), b, cVec3(1, -1, 0))));
  const cVec3 b2(std::nextafter(1.0f, 2.0f), 0, 0);
  EXPECT_FALSE(SharesEdge(t, cTriangle(b2, a, cVec3(1, -1, 0))));
}

TEST(PlaneTest, DistanceEqualToEpsilonPassesAndOneStepMoreFails) {
  // Normal (0, 0, 2), length 2, offset 0: the distance of a corner is exactly its z.
  const cTriangle p(cVec3(0, 0, 0), cVec3(2, 0, 0), cVec3(0, 1, 0));
  const cTriangle t(cVec3(2, 0, 0), cVec3(0, 1, 0), cVec3(2, 1, 0.25f));
  EXPECT_TRUE(PassesPlaneTest(p, t, 0.25));
  EXPECT_FALSE(PassesPlaneTest(p, t, std::nextafter(0.25, 0.0)));
  // Behind passes at any depth.
  EXPECT_TRUE(PassesPlaneTest(p, cTriangle(t.vertex[0], t.vertex[1], cVec3(2, 1, -1e6f)), 0.0));
}

TEST(PlaneTest, ComputedInDoubleNotFloat) {
  // Normal (0, 0, 3) on the plane z = 1; the far corner lies exactly 2^-23 in front. In double
  // 3 * (1 + 2^-23) - 3 is exact; a float sum would round it to a neighbouring multiple of 2^-22.
  const cTriangle p(cVec3(0, 0, 1), cVec3(3, 0, 1), cVec3(0, 1, 1));
  const cTriangle t(cVec3(3, 0, 1), cVec3(0, 1, 1), cVec3(3, 1, 1.0f + 0x1p-23f));
  EXPECT_TRUE(PassesPlaneTest(p, t, 0x1p-23));
  EXPECT_FALSE(PassesPlaneTest(p, t, std::nextafter(0x1p-23, 0.0)));
}

TEST(PlaneTest, ZeroNormalRejectsNothing) {
  const cTriangle line(cVec3(0, 0, 0), cVec3(1, 0, 0), cVec3(2, 0, 0));
  const cTriangle t(cVec3(1, 0, 0), cVec3(0, 0, 0), cVec3(0, 0, 100));
  EXPECT_TRUE(PassesPlaneTest(line, t, 0.0));
}

// ---------------------------------------------------------------------------------------------
// Apply: small surfaces with known outcomes

TEST_F(Decomposition, SingleTriangleIsDiscarded) {
  cDecomposition d;
  const auto texts = Run(d, {cTriangle(cVec3(0, 0, 0), cVec3(1, 0, 0), cVec3(0, 1, 0))});
  EXPECT_EQ(texts, (std::vector<std::string>{"triangles: 1", "objects: 0"}));
  for (const auto& s : platform.Messages()) EXPECT_EQ(s.caption, "");
  EXPECT_TRUE(d.pieces.empty());
  EXPECT_EQ(d.source, &mesh);
  EXPECT_EQ(d.GetTypeId(), 0x548f647au);
}

TEST_F(Decomposition, FlatQuadrilateralIsOnePieceSeedFirst) {
  const cTriangle t0(cVec3(0, 0, 0), cVec3(1, 0, 0), cVec3(1, 1, 0));
  const cTriangle t1(cVec3(0, 0, 0), cVec3(1, 1, 0), cVec3(0, 1, 0));
  cDecomposition d;
  EXPECT_EQ(Run(d, {t1, t0}), (std::vector<std::string>{"triangles: 2", "objects: 1"}));
  ASSERT_EQ(d.pieces.size(), 1u);
  EXPECT_EQ(d.pieces[0]->triangles, (cTriangleList{t1, t0}));
  EXPECT_EQ(d.pieces[0]->box.min, cVec3(0, 0, 0));
  EXPECT_EQ(d.pieces[0]->box.max, cVec3(1, 1, 0));
  EXPECT_TRUE(d.pieces[0]->children.empty());
}

TEST_F(Decomposition, OutwardTetrahedronIsOnePieceWithItsBox) {
  cDecomposition d;
  const cTriangleList faces = OutwardTetrahedron();
  EXPECT_EQ(Run(d, faces), (std::vector<std::string>{"triangles: 4", "objects: 1"}));
  ASSERT_EQ(d.pieces.size(), 1u);
  EXPECT_EQ(d.pieces[0]->triangles, faces);
  EXPECT_EQ(d.pieces[0]->box.min, cVec3(0, 0, 0));
  EXPECT_EQ(d.pieces[0]->box.max, cVec3(1, 1, 1));
}

TEST_F(Decomposition, InwardTetrahedronKeepsNothing) {
  cTriangleList faces;
  for (const cTriangle& t : OutwardTetrahedron()) faces.push_back(Reversed(t));
  cDecomposition d;
  EXPECT_EQ(Run(d, faces), (std::vector<std::string>{"triangles: 4", "objects: 0"}));
  EXPECT_TRUE(d.pieces.empty());
}

TEST_F(Decomposition, ConcaveFoldJoinsExactlyWhenEpsilonCoversIt) {
  // Seed normal (0, 0, 1), offset 0: the second triangle's far corner lies height in front.
  const struct {
    float height;
    double epsilon;
    bool joins;
  } cases[] = {{0.2f, 0.1, false},
               {0.2f, 0.3, true},
               {0.375f, 0.375, true},
               {0.375f, std::nextafter(0.375, 0.0), false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.height << " against " << c.epsilon);
    const cTriangle t0(cVec3(0, 0, 0), cVec3(1, 0, 0), cVec3(0, 1, 0));
    const cTriangle t1(cVec3(0, 1, 0), cVec3(1, 0, 0), cVec3(1, 1, c.height));
    Epsilon = c.epsilon;
    cDecomposition d;
    EXPECT_EQ(Run(d, {t0, t1}).back(), c.joins ? "objects: 1" : "objects: 0");
    if (!c.joins) continue;
    ASSERT_EQ(d.pieces.size(), 1u);
    EXPECT_EQ(d.pieces[0]->triangles, (cTriangleList{t0, t1}));
  }
}

TEST_F(Decomposition, CornerContactOrLastBitDifferenceIsNoNeighbour) {
  const cTriangle t0(cVec3(0, 0, 0), cVec3(1, 0, 0), cVec3(0, 1, 0));
  const cTriangle corner(cVec3(0, 0, 0), cVec3(-1, 0, 0), cVec3(0, -1, 0));
  const float oneUp = std::nextafter(1.0f, 2.0f);
  const cTriangle nearly(cVec3(0, 1, 0), cVec3(oneUp, 0, 0), cVec3(1, 1, 0));
  cDecomposition d;
  EXPECT_EQ(Run(d, {t0, corner, nearly}), (std::vector<std::string>{"triangles: 3", "objects: 0"}));
  // The control: with the shared corner exactly equal they form a piece.
  cDecomposition control;
  Run(control, {t0, cTriangle(cVec3(0, 1, 0), cVec3(1, 0, 0), cVec3(1, 1, 0))});
  EXPECT_EQ(control.pieces.size(), 1u);
}

TEST_F(Decomposition, EpsilonIsReadDuringTheRun) {
  // Changed while "triangles: 2" is open, before any comparison: the new value must count.
  const cTriangle t0(cVec3(0, 0, 0), cVec3(1, 0, 0), cVec3(0, 1, 0));
  const cTriangle t1(cVec3(0, 1, 0), cVec3(1, 0, 0), cVec3(1, 1, 0.2f));
  Epsilon = 0.1;
  platform.onShow = [](const std::string& text) {
    if (text.rfind("triangles", 0) == 0) Epsilon = 0.3;
  };
  cDecomposition d;
  Run(d, {t0, t1});
  EXPECT_EQ(d.pieces.size(), 1u);
}

TEST_F(Decomposition, ZeroNormalPieceTriangleAcceptsItsNeighbour) {
  const cTriangle line(cVec3(0, 0, 0), cVec3(1, 0, 0), cVec3(2, 0, 0));
  const cTriangle t(cVec3(1, 0, 0), cVec3(0, 0, 0), cVec3(0, 0, 100));
  cDecomposition d;
  Run(d, {line, t});
  ASSERT_EQ(d.pieces.size(), 1u);
  EXPECT_EQ(d.pieces[0]->triangles, (cTriangleList{line, t}));
}

TEST_F(Decomposition, SeedsInSourceOrderAndBreadthFirstAcceptance) {
  // S touches A and B; only A touches C. Breadth first gives S, A, B, C (depth first would put
  // C before B). A separate quadrilateral listed in between forms the second piece.
  const cVec3 o(0, 0, 0), x(1, 0, 0), y(0, 1, 0), xy(1, 1, 0), xmy(1, -1, 0);
  const cTriangle s(o, x, y), a(y, x, xy), b(x, o, xmy), c(xy, x, cVec3(2, 0.5f, 0));
  const cTriangle q0(cVec3(10, 0, 0), cVec3(11, 0, 0), cVec3(11, 1, 0));
  const cTriangle q1(cVec3(10, 0, 0), cVec3(11, 1, 0), cVec3(10, 1, 0));
  cDecomposition d;
  Run(d, {s, q1, c, a, q0, b});
  ASSERT_EQ(d.pieces.size(), 2u);
  EXPECT_EQ(d.pieces[0]->triangles, (cTriangleList{s, a, b, c}));
  EXPECT_EQ(d.pieces[1]->triangles, (cTriangleList{q1, q0}));
}

TEST_F(Decomposition, PlaneIsThatOfTheTouchingTriangleNotTheSeed) {
  // A strip bending up (concave) by 2 * 0.02 per quad: every step stays within Epsilon 0.1,
  // while its end lies far in front of the seed's plane.
  auto p = [](int i) { return cVec3(float(i), 0, 0.02f * i * i); };
  auto q = [](int i) { return cVec3(float(i), 1, 0.02f * i * i); };
  cTriangleList strip;
  for (int i = 0; i < 6; ++i) {
    strip.emplace_back(p(i), p(i + 1), q(i + 1));
    strip.emplace_back(p(i), q(i + 1), q(i));
  }
  cDecomposition d;
  Run(d, strip);
  ASSERT_EQ(d.pieces.size(), 1u);
  EXPECT_EQ(d.pieces[0]->triangles.size(), strip.size());
}

TEST_F(Decomposition, NullAndEmptyMeshes) {
  cDecomposition d;
  Run(d, {cTriangle(cVec3(0, 0, 0), cVec3(1, 0, 0), cVec3(1, 1, 0)),
          cTriangle(cVec3(0, 0, 0), cVec3(1, 1, 0), cVec3(0, 1, 0))});
  ASSERT_EQ(d.pieces.size(), 1u);
  const std::size_t before = platform.Messages().size();

  d.Apply(nullptr);  // empties pieces, says nothing
  EXPECT_TRUE(d.pieces.empty());
  EXPECT_EQ(d.source, nullptr);
  EXPECT_EQ(platform.Messages().size(), before);

  cMesh empty;
  d.Apply(&empty);  // one message only
  const auto texts = platform.Texts();
  ASSERT_EQ(texts.size(), before + 1);
  EXPECT_EQ(texts.back(), "triangles: 0");
  EXPECT_EQ(d.source, &empty);
}

// ---------------------------------------------------------------------------------------------
// Repeated runs, colours and ownership

// The next count colours the generator would give after srand(seed).
std::vector<cColor> ColourDraws(unsigned seed, int count) {
  std::srand(seed);
  std::vector<cColor> colours;
  for (int i = 0; i < count; ++i) {
    cColor c;
    c.red = static_cast<unsigned char>(std::rand() % 255);
    c.green = static_cast<unsigned char>(std::rand() % 255);
    c.blue = static_cast<unsigned char>(std::rand() % 255);
    colours.push_back(c);
  }
  return colours;
}

bool SameColour(const cColor& a, const cColor& b) {
  return a.red == b.red && a.green == b.green && a.blue == b.blue;
}

TEST_F(Decomposition, EveryCreatedPieceDrawsItsColourDiscardedOnesToo) {
  const cTriangle lone0(cVec3(5, 5, 5), cVec3(6, 5, 5), cVec3(5, 6, 5));
  const cTriangle q0(cVec3(0, 0, 0), cVec3(1, 0, 0), cVec3(1, 1, 0));
  const cTriangle q1(cVec3(0, 0, 0), cVec3(1, 1, 0), cVec3(0, 1, 0));
  const cTriangle lone1(cVec3(-5, 5, 5), cVec3(-6, 5, 5), cVec3(-5, 6, 5));
  const cTriangleList faces = OutwardTetrahedron();
  cTriangleList all = {lone0, q0, lone1, q1};
  for (cTriangle t : faces) {
    for (cVec3& v : t.vertex) v.x += 20;
    all.push_back(t);
  }
  // Created: lone0 (dropped), quad, lone1 (dropped), tetrahedron: draws 0 to 3.
  mesh.triangles = all;
  cDecomposition d;
  std::srand(4242);
  d.Apply(&mesh);
  const std::vector<cColor> expected = ColourDraws(4242, 6);
  ASSERT_EQ(d.pieces.size(), 2u);
  EXPECT_TRUE(SameColour(d.pieces[0]->color, expected[1]));
  EXPECT_TRUE(SameColour(d.pieces[1]->color, expected[3]));

  // A second run: same pieces in the same order, colours from the next draws.
  std::vector<cTriangleList> first;
  for (const auto& piece : d.pieces) first.push_back(piece->triangles);
  std::srand(4242);
  d.Apply(&mesh);
  d.Apply(&mesh);
  ASSERT_EQ(d.pieces.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) EXPECT_EQ(d.pieces[i]->triangles, first[i]);
  const std::vector<cColor> again = ColourDraws(4242, 8);
  EXPECT_TRUE(SameColour(d.pieces[0]->color, again[5]));
  EXPECT_TRUE(SameColour(d.pieces[1]->color, again[7]));
}

TEST_F(Decomposition, RunsLeaveHullsAloneAndDestructionReleasesBoth) {
  mesh.triangles = OutwardTetrahedron();
  auto owned = std::make_unique<cDecomposition>();
  cDecomposition& d = *owned;
  d.hulls.push_back(OwnHull(new cCountedHull(destroyed)));
  cHullResult* hull = d.hulls[0].get();
  d.Apply(&mesh);
  d.Apply(&mesh);
  ASSERT_EQ(d.hulls.size(), 1u);
  EXPECT_EQ(d.hulls[0].get(), hull);
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(d.pieces.size(), 1u);
  owned.reset();
  EXPECT_EQ(destroyed, 1);
}

// ---------------------------------------------------------------------------------------------
// The neighbour index against the literal scan of the work list

// Epsilon per comparison from a fixed sequence, counting the reads: the index must read it as
// often and in the same order as the scan, or the pieces drift apart.
struct cEpsilonSequence {
  static inline std::vector<double> values;
  static inline std::size_t reads = 0;
  static double Read() { return values.empty() ? 0.1 : values[reads++ % values.size()]; }
};

// Every piece a run creates, discarded one-triangle pieces included, in creation order.
std::vector<cTriangleList> PiecesByScan(const cTriangleList& triangles) {
  cTriangleList work = triangles;
  std::vector<cTriangleList> pieces;
  while (!work.empty()) {
    cTriangleList piece{work.front()};
    work.erase(work.begin());
    for (std::size_t i = 0; i < piece.size(); ++i)
      ExpandByScan(work, piece, i, cEpsilonSequence::Read);
    pieces.push_back(piece);
  }
  return pieces;
}

std::vector<cTriangleList> PiecesByIndex(const cTriangleList& triangles) {
  cNeighbourIndex index(triangles);
  std::vector<cTriangleList> pieces;
  while (!index.Empty()) {
    cTriangleList piece;
    index.GrowPiece(piece, cEpsilonSequence::Read);
    pieces.push_back(piece);
  }
  return pieces;
}

// The bytes of every piece, so that NaN, 0 and -0 corners compare exactly.
std::string Bytes(const std::vector<cTriangleList>& pieces) {
  std::string bytes;
  for (const cTriangleList& piece : pieces) {
    bytes.append(reinterpret_cast<const char*>(piece.data()), piece.size() * sizeof(cTriangle));
    bytes += '|';
  }
  return bytes;
}

// Runs both searches over triangles with the same Epsilon sequence; returns the piece count.
std::size_t ExpectSamePieces(const cTriangleList& triangles, const std::vector<double>& epsilons) {
  cEpsilonSequence::values = epsilons;
  cEpsilonSequence::reads = 0;
  const std::vector<cTriangleList> scan = PiecesByScan(triangles);
  const std::size_t scanReads = cEpsilonSequence::reads;
  cEpsilonSequence::reads = 0;
  const std::vector<cTriangleList> index = PiecesByIndex(triangles);
  EXPECT_EQ(cEpsilonSequence::reads, scanReads);
  EXPECT_EQ(index.size(), scan.size());
  EXPECT_TRUE(Bytes(index) == Bytes(scan));
  return scan.size();
}

// Random triangles over a small pool of points, so that corners, edges and whole triangles
// repeat: fans, non-manifold edges, duplicates, corners repeated within a triangle, NaN and -0.
cTriangleList TiedTriangles(std::mt19937& random, int count, int points) {
  const float nan = std::nanf("");
  const float coordinates[] = {0.0f, -0.0f, 1.0f, 2.0f, -1.0f, 0.5f, 1e30f, nan};
  std::vector<cVec3> pool;
  for (int i = 0; i < points; ++i) {
    auto pick = [&] { return coordinates[random() % (random() % 9 == 0 ? 8 : 7)]; };
    pool.emplace_back(pick(), pick(), pick());
  }
  cTriangleList triangles;
  while (static_cast<int>(triangles.size()) < count) {
    const int shape = static_cast<int>(random() % 10);
    if (shape == 0 && !triangles.empty()) {  // a duplicate, sometimes turned or reversed
      cTriangle t = triangles[random() % triangles.size()];
      if (random() % 2) t = cTriangle(t.vertex[1], t.vertex[2], t.vertex[0]);
      if (random() % 2) t = Reversed(t);
      triangles.push_back(t);
    } else if (shape == 1) {  // a fan around one point
      const cVec3 centre = pool[random() % pool.size()];
      for (int k = static_cast<int>(random() % 6); k >= 0; --k)
        triangles.emplace_back(centre, pool[random() % pool.size()], pool[random() % pool.size()]);
    } else {
      triangles.emplace_back(pool[random() % pool.size()], pool[random() % pool.size()],
                             pool[random() % pool.size()]);
    }
  }
  triangles.resize(count);
  return triangles;
}

// A height field over a grid with heights from a few levels: flat regions, creases, exact
// ties in the plane test; some cells split the other way, some triangles listed twice.
cTriangleList TiedHeightField(std::mt19937& random, int size) {
  const float levels[] = {0.0f, 0.0f, 0.1f, 0.2f, -0.1f, 1.0f};
  std::vector<float> height((size + 1) * (size + 1));
  for (float& h : height) h = levels[random() % 6];
  auto at = [&](int i, int j) {
    return cVec3(static_cast<float>(i), static_cast<float>(j), height[i * (size + 1) + j]);
  };
  cTriangleList triangles;
  for (int i = 0; i < size; ++i) {
    for (int j = 0; j < size; ++j) {
      if (random() % 2) {
        triangles.emplace_back(at(i, j), at(i + 1, j), at(i + 1, j + 1));
        triangles.emplace_back(at(i, j), at(i + 1, j + 1), at(i, j + 1));
      } else {
        triangles.emplace_back(at(i, j), at(i + 1, j), at(i, j + 1));
        triangles.emplace_back(at(i + 1, j), at(i + 1, j + 1), at(i, j + 1));
      }
      if (random() % 8 == 0) triangles.push_back(triangles[random() % triangles.size()]);
    }
  }
  std::shuffle(triangles.begin(), triangles.end(), random);
  return triangles;
}

TEST(NeighbourIndex, SameAsScanOnThousandsOfTiedMeshes) {
  std::mt19937 random(777u);
  const std::vector<double> varying{0.1, 0.0, -1.0, 0.05, 1e9, std::nan(""), 0.2};
  std::size_t pieces = 0;
  for (int round = 0; round < 3000; ++round) {
    SCOPED_TRACE(round);
    const cTriangleList triangles =
        round % 3 == 2 ? TiedHeightField(random, 1 + static_cast<int>(random() % 6))
                       : TiedTriangles(random, 1 + static_cast<int>(random() % 40),
                                       2 + static_cast<int>(random() % 12));
    pieces += ExpectSamePieces(triangles, round % 2 ? varying : std::vector<double>{0.1});
    if (testing::Test::HasFailure()) break;
  }
  EXPECT_GT(pieces, 3000u);
}

TEST(NeighbourIndex, SameAsScanOnTheTestMeshesAndSamples) {
  std::vector<cTriangleList> meshes = {OutwardTetrahedron(), Torus(96, 16, 4.0f, 1.5f, 0.4f),
                                       BulgingTorus(30, 12), Torus(12, 5, 1.0f, 0.5f, 0.0f)};
  for (const char* sample : {"gear.stl", "torus.stl"}) {
    cMesh mesh;
    ASSERT_TRUE(LoadStlFile(std::string(CD_FIXTURES) + "/../../samples/" + sample, mesh));
    meshes.push_back(mesh.triangles);
  }
  cTriangleList reversed;
  for (const cTriangle& t : meshes[1]) reversed.push_back(Reversed(t));
  meshes.push_back(reversed);
  // In random order, so that pieces reach far through the list; and triangles that share no
  // corner with an earlier one until the corner numbering has outgrown its first table.
  std::mt19937 random(99u);
  cTriangleList shuffled = BulgingTorus(40, 16);
  std::shuffle(shuffled.begin(), shuffled.end(), random);
  meshes.push_back(shuffled);
  cTriangleList apart;
  for (int i = 0; i < 3000; ++i) {  // each square's second half after all the first halves
    const float x = static_cast<float>(i % 1500);
    if (i < 1500) {
      apart.emplace_back(cVec3(x, 0, 0), cVec3(x, 1, 0), cVec3(x, 0, 1));
    } else {
      apart.emplace_back(cVec3(x, 1, 1), cVec3(x, 0, 1), cVec3(x, 1, 0));
    }
  }
  meshes.push_back(apart);
  // Many triangles on one edge or one point, where the index's lists grow long: a book of leaves
  // around one edge (in angle order, shuffled, half of them turned the other way), a stack of
  // equal triangles with turned copies, and a fan around one corner.
  cTriangleList book, stack, fan;
  for (int i = 0; i < 600; ++i) {
    const double angle = 6.283185307179586 * i / 600;
    const cVec3 leaf(0.5f, static_cast<float>(std::cos(angle)),
                     static_cast<float>(std::sin(angle)));
    book.emplace_back(cVec3(0, 0, 0), cVec3(1, 0, 0), leaf);
    const cTriangle same(cVec3(0, 0, 0), cVec3(1, 0, 0), cVec3(0, 1, 0));
    stack.push_back(i % 5 == 4 ? cTriangle(same.vertex[1], same.vertex[2], same.vertex[0]) : same);
    fan.emplace_back(cVec3(0, 0, 0), leaf,
                     cVec3(0.5f, static_cast<float>(std::cos(angle + 0.01)),
                           static_cast<float>(std::sin(angle + 0.01))));
  }
  meshes.push_back(book);
  std::shuffle(book.begin(), book.end(), random);
  for (std::size_t i = 0; i < book.size(); i += 2) book[i] = Reversed(book[i]);
  meshes.push_back(book);
  meshes.push_back(stack);
  meshes.push_back(fan);
  for (std::size_t m = 0; m < meshes.size(); ++m) {
    for (double epsilon : {0.0, 0.01, 0.1, 1.0}) {
      SCOPED_TRACE(testing::Message() << "mesh " << m << ", Epsilon " << epsilon);
      EXPECT_GT(ExpectSamePieces(meshes[m], {epsilon}), 0u);
    }
  }
}

TEST(NeighbourIndex, KeepsItsOwnCopyOfTheTriangles) {
  cEpsilonSequence::values = {0.01};
  auto source = std::make_unique<cTriangleList>(BulgingTorus(20, 8));
  const std::vector<cTriangleList> scan = PiecesByScan(*source);
  cNeighbourIndex index(*source);
  source.reset();
  std::vector<cTriangleList> pieces;
  while (!index.Empty()) {
    pieces.emplace_back();
    index.GrowPiece(pieces.back(), cEpsilonSequence::Read);
  }
  EXPECT_TRUE(Bytes(pieces) == Bytes(scan));
}

TEST_F(Decomposition, ApplyKeepsThePiecesAndColoursOfTheScan) {
  std::mt19937 random(99u);
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE(round);
    Epsilon = round % 2 ? 0.1 : 0.0;
    cEpsilonSequence::values = {Epsilon.load()};
    const cTriangleList triangles =
        round % 2 ? TiedHeightField(random, 4) : TiedTriangles(random, 30, 8);
    const std::vector<cTriangleList> created = PiecesByScan(triangles);
    mesh.triangles = triangles;
    cDecomposition d;
    std::srand(static_cast<unsigned>(round));
    d.Apply(&mesh);
    const std::vector<cColor> colours = ColourDraws(static_cast<unsigned>(round), created.size());
    std::vector<cTriangleList> kept, got;
    std::size_t k = 0;
    for (std::size_t c = 0; c < created.size(); ++c) {
      if (created[c].size() < 2) continue;
      kept.push_back(created[c]);
      ASSERT_LT(k, d.pieces.size());
      EXPECT_TRUE(SameColour(d.pieces[k++]->color, colours[c]));
    }
    for (const auto& piece : d.pieces) got.push_back(piece->triangles);
    EXPECT_TRUE(Bytes(got) == Bytes(kept));
    EXPECT_EQ(platform.Texts().back(), "objects: " + std::to_string(kept.size()));
  }
}

// ---------------------------------------------------------------------------------------------
// Decompose and its worker

class DecomposeCommand : public Decomposition {
 protected:
  void SetUp() override {
    Decomposition::SetUp();
    mesh.triangles = OutwardTetrahedron();
    platform.workerProbe = [this]() -> cThreadHandle {
      // Only components[0] is read; the test thread does not change the list meanwhile.
      if (mesh.components.empty()) return 0;
      return static_cast<cDecomposition*>(mesh.components[0].get())->worker.load();
    };
  }
  cDecomposition* Component() { return static_cast<cDecomposition*>(mesh.components[0].get()); }
};

TEST_F(DecomposeCommand, WorkerRaisesBusyAndClearsWorkerAcrossItsLife) {
  platform.holdWorkerBoxes = true;
  Decompose(mesh);
  ASSERT_EQ(mesh.components.size(), 1u);
  cDecomposition* d = Component();
  EXPECT_EQ(mesh.decomposition, d);

  ASSERT_TRUE(platform.WaitUntilHeld(1));  // inside "triangles: 4"
  EXPECT_EQ(d->source, &mesh);             // written by Apply on the worker too, so read only now
  EXPECT_EQ(Busy.load(), 1);
  EXPECT_NE(d->worker.load(), 0u);
  EXPECT_TRUE(d->pieces.empty());

  Decompose(mesh);  // a worker computes: nothing happens, nothing is shown here
  EXPECT_EQ(mesh.components.size(), 1u);
  EXPECT_EQ(platform.Messages().size(), 1u);

  platform.ReleaseOne();
  ASSERT_TRUE(platform.WaitUntilHeld(2));  // inside "objects: 1", the pieces complete
  EXPECT_EQ(Busy.load(), 1);
  EXPECT_NE(d->worker.load(), 0u);
  EXPECT_EQ(d->pieces.size(), 1u);
  platform.ReleaseOne();
  platform.threads.JoinAll();

  EXPECT_EQ(Busy.load(), 0);
  EXPECT_EQ(d->worker.load(), 0u);
  const auto shown = platform.Messages();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].text, "triangles: 4");
  EXPECT_EQ(shown[1].text, "objects: 1");
  for (const auto& s : shown) {
    EXPECT_FALSE(s.onTestThread);
    EXPECT_EQ(s.caption, "");
    EXPECT_EQ(s.busy, 1);
  }
}

TEST_F(DecomposeCommand, LaterRunsComputeOnTheCallingThreadWithoutBusy) {
  Decompose(mesh);
  platform.threads.JoinAll();
  cDecomposition* d = Component();
  d->hulls.push_back(OwnHull(new cCountedHull(destroyed)));
  d->pieces.clear();

  Decompose(mesh);
  EXPECT_EQ(mesh.components.size(), 1u);
  EXPECT_EQ(d->pieces.size(), 1u);
  EXPECT_EQ(d->hulls.size(), 1u);
  EXPECT_EQ(destroyed, 0);
  const auto shown = platform.Messages();
  ASSERT_EQ(shown.size(), 4u);
  for (std::size_t i = 2; i < 4; ++i) {
    EXPECT_TRUE(shown[i].onTestThread);
    EXPECT_EQ(shown[i].busy, 0);
    EXPECT_EQ(shown[i].worker, 0u);
  }
}

TEST_F(DecomposeCommand, WorkerFinishingAtOnceIsNotOverwritten) {
  // StartThread returns only after the body has run: Busy must have been raised before and the
  // handle stored before, or the worker's lowering and clearing would be lost.
  platform.joinAtOnce = true;
  Decompose(mesh);
  ASSERT_EQ(mesh.components.size(), 1u);
  EXPECT_EQ(Component()->worker.load(), 0u);
  EXPECT_EQ(Busy.load(), 0);
  for (const auto& s : platform.Messages()) {
    EXPECT_EQ(s.busy, 1);
    EXPECT_NE(s.worker, 0u);
  }
  EXPECT_EQ(mesh.decomposition, Component());
}

TEST_F(DecomposeCommand, NothingWhenNoComponentIsADecomposition) {
  mesh.components.push_back(std::make_unique<cCountedComponent>(destroyed));
  Decompose(mesh);
  EXPECT_EQ(mesh.components.size(), 1u);
  EXPECT_TRUE(platform.Messages().empty());
  EXPECT_EQ(Busy.load(), 0);
}

// ---------------------------------------------------------------------------------------------
// Over a real closed surface

using cKey = std::tuple<float, float, float, float, float, float, float, float, float>;
cKey KeyOf(const cTriangle& t) {
  return {t.vertex[0].x, t.vertex[0].y, t.vertex[0].z, t.vertex[1].x, t.vertex[1].y,
          t.vertex[1].z, t.vertex[2].x, t.vertex[2].y, t.vertex[2].z};
}

TEST_F(Decomposition, TorusEveryTriangleInAtMostOnePieceOfAtLeastTwo) {
  for (double epsilon : {0.0, 0.01, 0.03}) {
    SCOPED_TRACE(epsilon);
    Epsilon = epsilon;
    const cTriangleList torus = Torus(96, 16, 4.0f, 1.5f, 0.4f);  // 3072 triangles
    std::map<cKey, int> unused;
    for (const cTriangle& t : torus) ++unused[KeyOf(t)];
    ASSERT_EQ(unused.size(), torus.size());

    cDecomposition d;
    mesh.triangles = torus;
    d.Apply(&mesh);
    std::size_t kept = 0;
    for (const auto& piece : d.pieces) {
      EXPECT_GE(piece->triangles.size(), 2u);
      kept += piece->triangles.size();
      const cBoundBox box = ComputeBoundBox(piece->triangles);
      EXPECT_EQ(piece->box.min, box.min);
      EXPECT_EQ(piece->box.max, box.max);
      for (std::size_t i = 0; i < piece->triangles.size(); ++i) {
        const cTriangle& t = piece->triangles[i];
        auto it = unused.find(KeyOf(t));
        ASSERT_NE(it, unused.end()) << "not a triangle of the mesh";
        ASSERT_GT(it->second, 0) << "triangle in two pieces";
        --it->second;
        // Every triangle after the seed joined through an earlier one of its piece.
        bool joined = i == 0;
        for (std::size_t k = 0; k < i && !joined; ++k)
          joined = SharesEdge(piece->triangles[k], t) &&
                   PassesPlaneTest(piece->triangles[k], t, epsilon);
        EXPECT_TRUE(joined) << "triangle " << i;
      }
    }
    EXPECT_GT(d.pieces.size(), 1u);
    EXPECT_GT(kept, torus.size() / 2);
    const auto texts = platform.Texts();
    EXPECT_EQ(texts[texts.size() - 2], "triangles: 3072");
    EXPECT_EQ(texts.back(), "objects: " + std::to_string(d.pieces.size()));
  }
}

}  // namespace
