#include "hull/fidelity.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "hull/sound_hull.h"
#include "tests/support/meshes.h"

namespace {

const float NaN = std::numeric_limits<float>::quiet_NaN();
const float Inf = std::numeric_limits<float>::infinity();

using cVoxel = std::array<int, 3>;

// The outer surface of a set of unit voxels, voxel (i, j, k) spanning origin + (i, j, k) * size
// to origin + (i + 1, j + 1, k + 1) * size per axis: two triangles per exposed square, wound
// outward, split along the square's diagonal from its lowest corner. Closed when no two voxels
// meet along an edge only.
cTriangleList VoxelSurface(const std::set<cVoxel>& voxels, cVec3 origin, cVec3 size) {
  const float o[3] = {origin.x, origin.y, origin.z}, s[3] = {size.x, size.y, size.z};
  cTriangleList triangles;
  for (const cVoxel& voxel : voxels) {
    for (int a = 0; a < 3; ++a) {
      for (int side : {0, 1}) {
        cVoxel next = voxel;
        next[a] += side == 1 ? 1 : -1;
        if (voxels.count(next) != 0) continue;
        const int u = (a + 1) % 3, v = (a + 2) % 3;
        auto corner = [&](int du, int dv) {
          float p[3];
          p[a] = o[a] + s[a] * static_cast<float>(voxel[a] + side);
          p[u] = o[u] + s[u] * static_cast<float>(voxel[u] + du);
          p[v] = o[v] + s[v] * static_cast<float>(voxel[v] + dv);
          return cVec3(p[0], p[1], p[2]);
        };
        // Counter-clockwise in (u, v) faces +a; the other way round faces -a.
        const cVec3 c00 = corner(0, 0), c11 = corner(1, 1);
        const cVec3 first = side == 1 ? corner(1, 0) : corner(0, 1);
        const cVec3 second = side == 1 ? corner(0, 1) : corner(1, 0);
        triangles.emplace_back(c00, first, c11);
        triangles.emplace_back(c00, c11, second);
      }
    }
  }
  return triangles;
}

cTriangleList Box(cVec3 lo, cVec3 hi) {
  return VoxelSurface({{0, 0, 0}}, lo, cVec3(hi.x - lo.x, hi.y - lo.y, hi.z - lo.z));
}

cTriangleList Join(cTriangleList a, const cTriangleList& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The box without its two triangles at z = hi.z: open at the top.
cTriangleList OpenBox(cVec3 lo, cVec3 hi) {
  cTriangleList open;
  for (const cTriangle& t : Box(lo, hi)) {
    if (t.vertex[0].z != hi.z || t.vertex[1].z != hi.z || t.vertex[2].z != hi.z) {
      open.push_back(t);
    }
  }
  return open;
}

cTriangleList HullOf(const cTriangleList& triangles) {
  cPointList points;
  for (const cTriangle& t : triangles) points.insert(points.end(), t.vertex, t.vertex + 3);
  return SoundHull(points);
}

// Signed-volume sum, the test's own.
double Volume(const cTriangleList& triangles) {
  double sum = 0.0;
  for (const cTriangle& t : triangles) {
    const cVec3 &a = t.vertex[0], &b = t.vertex[1], &c = t.vertex[2];
    sum += (double(a.x) * (double(b.y) * c.z - double(b.z) * c.y) +
            double(a.y) * (double(b.z) * c.x - double(b.x) * c.z) +
            double(a.z) * (double(b.x) * c.y - double(b.y) * c.x));
  }
  return sum / 6.0;
}

double Area(const cTriangleList& triangles) {
  double area = 0.0;
  for (const cTriangle& t : triangles) area += 0.5 * Length(Normal(t));
  return area;
}

// ---------------------------------------------------------------------------------------------

TEST(IsClosedSurface, EdgePairingWithExactCorners) {
  const cTriangleList cube = Box(cVec3(0, 0, 0), cVec3(1, 1, 1));
  cTriangleList missing = cube, flipped = cube, doubled = cube, negativeZero = cube,
                nanCorner = cube;
  missing.pop_back();
  std::swap(flipped[3].vertex[1], flipped[3].vertex[2]);
  doubled.push_back(cube[5]);
  for (cTriangle& t : negativeZero) {
    if (t.vertex[0].x == 0.0f) t.vertex[0].x = -0.0f;
  }
  nanCorner[0].vertex[0].x = NaN;
  // A tetrahedron with one corner at infinity: paired edges, but no solid.
  const cVec3 a(0, 0, 0), b(1, 0, 0), c(0, 1, 0), far(0, 0, Inf);
  const cTriangleList infinite = {{a, c, b}, {a, b, far}, {b, c, far}, {c, a, far}};
  const cTriangleList tetrahedron = {
      {a, c, b}, {a, b, cVec3(0, 0, 1)}, {b, c, cVec3(0, 0, 1)}, {c, a, cVec3(0, 0, 1)}};
  const cTriangle single(a, b, c);
  const struct {
    const char* what;
    cTriangleList triangles;
    bool closed;
  } cases[] = {
      {"cube", cube, true},
      {"tetrahedron", tetrahedron, true},
      {"two separate boxes", Join(cube, Box(cVec3(2, 0, 0), cVec3(3, 1, 1))), true},
      {"L of three voxels", VoxelSurface({{0, 0, 0}, {1, 0, 0}, {0, 0, 1}}, a, cVec3(1, 1, 1)),
       true},
      {"torus", Torus(12, 6, 4.0f, 1.5f, 0.0f), true},
      {"-0.0 in some corners", negativeZero, true},
      {"one triangle, both sides", {single, cTriangle(c, b, a)}, true},
      {"a triangle missing", missing, false},
      {"a triangle reversed", flipped, false},
      {"a triangle twice", doubled, false},
      {"a NaN corner", nanCorner, false},
      {"a corner at infinity", infinite, false},
      {"open box", OpenBox(a, cVec3(1, 1, 1)), false},
      {"one triangle", {single}, false},
      {"no triangle", {}, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsClosedSurface(c.triangles), c.closed) << c.what;
  }
}

TEST(EnclosedVolume, ExactInSignAtEveryScale) {
  const auto scaled = [](cTriangleList triangles, float s) {
    for (cTriangle& t : triangles) {
      for (cVec3& v : t.vertex) v = cVec3(v.x * s, v.y * s, v.z * s);
    }
    return triangles;
  };
  const auto reversed = [](cTriangleList triangles) {
    for (cTriangle& t : triangles) std::swap(t.vertex[1], t.vertex[2]);
    return triangles;
  };
  const cTriangleList cube = Box(cVec3(0, 0, 0), cVec3(1, 1, 1));
  // Corners from 1e-20 to 1e36 apart: summed in double from any corner, the far ones leave
  // nothing of the near ones.
  const cVec3 p(1e36f, -3e-20f, 7.0f), q(-2e30f, 5e35f, 1e-19f), r(4e-18f, 9e20f, -6e34f);
  const cVec3 s(-1e33f, -8e28f, 2e36f);
  const cTriangleList far = {{p, q, r}, {p, r, s}, {p, s, q}, {q, s, r}};
  const float tiny = std::ldexp(1.0f, -70);
  const cTriangleList near = {{cVec3(0, 0, 0), cVec3(0, tiny, 0), cVec3(tiny, 0, 0)},
                              {cVec3(0, 0, 0), cVec3(tiny, 0, 0), cVec3(0, 0, tiny)},
                              {cVec3(0, 0, 0), cVec3(0, 0, tiny), cVec3(0, tiny, 0)},
                              {cVec3(tiny, 0, 0), cVec3(0, tiny, 0), cVec3(0, 0, tiny)}};
  const struct {
    const char* what;
    cTriangleList triangles;
    double volume;
  } cases[] = {
      {"unit cube", cube, 1.0},
      {"cube of side 2^-45", scaled(cube, std::ldexp(1.0f, -45)), std::ldexp(1.0, -135)},
      {"cube of side 2^40", scaled(cube, std::ldexp(1.0f, 40)), std::ldexp(1.0, 120)},
      {"cube wound inward", reversed(cube), -1.0},
      {"far tetrahedron both ways and a tiny one", Join(Join(far, reversed(far)), near),
       std::ldexp(1.0, -210) / 6.0},
      {"the same without the tiny one", Join(far, reversed(far)), 0.0},
      {"no triangle", {}, 0.0},
  };
  for (const auto& c : cases) EXPECT_EQ(EnclosedVolume(c.triangles), c.volume) << c.what;
  cTriangleList infinite = cube;
  infinite[2].vertex[1].y = Inf;
  EXPECT_TRUE(std::isnan(EnclosedVolume(infinite)));
}

TEST(Fidelity, HullSizesAndTotals) {
  const cTriangleList cube = Box(cVec3(0, 0, 0), cVec3(1, 1, 1));
  cTriangleList negativeZero = cube, nanCorner = cube;
  for (cTriangle& t : negativeZero) {
    for (cVec3& v : t.vertex) v.y = v.y == 0.0f ? -0.0f : v.y;
  }
  nanCorner[0].vertex[0] = cVec3(NaN, 0, 0);
  nanCorner[1].vertex[0] = cVec3(NaN, 0, 0);
  const cTriangleList prism =
      HullOf(VoxelSurface({{0, 0, 0}, {1, 0, 0}, {0, 0, 1}}, cVec3(0, 0, 0), cVec3(1, 1, 1)));
  const struct {
    const char* what;
    cTriangleList faces;
    std::uint32_t vertices;
    bool measured;
  } cases[] = {
      {"box", cube, 8, true},
      {"-0.0 is 0.0", negativeZero, 8, true},
      // Two corners with a NaN coordinate count once each, besides the 8 finite corners.
      {"NaN corners", nanCorner, 10, false},
      {"hull of the L", prism, 10, true},
      {"empty", {}, 0, false},
  };
  std::vector<cTriangleList> hulls;
  for (const auto& c : cases) hulls.push_back(c.faces);
  const cFidelity f = MeasureFidelity(cube, hulls);
  ASSERT_EQ(f.hulls.size(), std::size(cases));
  std::uint64_t vertices = 0, faces = 0;
  for (std::size_t k = 0; k < std::size(cases); ++k) {
    SCOPED_TRACE(cases[k].what);
    EXPECT_EQ(f.hulls[k].vertexCount, cases[k].vertices);
    EXPECT_EQ(f.hulls[k].faceCount, cases[k].faces.size());
    EXPECT_EQ(f.hulls[k].measured, cases[k].measured);
    vertices += cases[k].vertices, faces += cases[k].faces.size();
  }
  EXPECT_EQ(f.totalVertices, vertices);
  EXPECT_EQ(f.totalFaces, faces);
  EXPECT_EQ(f.largestVertexCount, 10u);
}

// ---------------------------------------------------------------------------------------------

struct cVolumeCase {
  std::string what;
  cTriangleList mesh;
  std::vector<cTriangleList> hulls;
  double intersection, excess, missing;  // exact
  cFidelitySettings settings = {};
};

std::vector<cVolumeCase> VolumeCases() {
  const cVec3 o(0, 0, 0);
  const cTriangleList cube = Box(o, cVec3(2, 2, 2));
  const cTriangleList twoBoxes = Join(Box(o, cVec3(1, 1, 1)), Box(cVec3(2, 0, 0), cVec3(3, 1, 1)));
  // An L: a 2 x 1 x 1 bar with a unit cube on one end; the hull adds the half unit prism
  // under the slope from (2, y, 1) to (1, y, 2).
  const cTriangleList lShape = VoxelSurface({{0, 0, 0}, {1, 0, 0}, {0, 0, 1}}, o, cVec3(1, 1, 1));
  const cTriangleList torus = Torus(32, 16, 4.0f, 1.5f, 0.0f);
  const cTriangleList torusHull = HullOf(torus);
  // One hull per ring segment: each lies in its segment's wedge about the z axis, so they only
  // touch, and together hold the torus.
  std::vector<cTriangleList> segments;
  double segmentVolume = 0.0;
  for (int ring = 0; ring < 32; ++ring) {
    const cTriangleList part(torus.begin() + ring * 32, torus.begin() + (ring + 1) * 32);
    segments.push_back(HullOf(part));
    segmentVolume += Volume(segments.back());
  }
  const double torusVolume = Volume(torus);
  const cTriangleList far = Box(cVec3(1e6f, 1e6f, 1e6f), cVec3(1e6f + 1, 1e6f + 1, 1e6f + 1));
  const cTriangleList huge = Box(cVec3(-1e30f, -1e30f, -1e30f), cVec3(1e30f, 1e30f, 1e30f));
  cTriangleList flatHull = Box(cVec3(0, 0, 0.5f), cVec3(2, 2, 0.5f));
  cFidelitySettings coarse;
  coarse.gridResolution = 0;
  std::vector<cVolumeCase> cases = {
      {"cube, its own hull", cube, {cube}, 8, 0, 0},
      {"cube, a hull of twice its side", cube, {Box(cVec3(-1, -1, -1), cVec3(3, 3, 3))}, 8, 56, 0},
      {"cube, its lower half", cube, {Box(o, cVec3(2, 2, 1))}, 4, 0, 4},
      {"cube, no hull", cube, {}, 0, 0, 8},
      {"cube, a flat hull inside", cube, {flatHull}, 0, 0, 8},
      {"two boxes, one hull each",
       twoBoxes,
       {Box(o, cVec3(1, 1, 1)), Box(cVec3(2, 0, 0), cVec3(3, 1, 1))},
       2,
       0,
       0},
      {"two boxes, one hull over both", twoBoxes, {Box(o, cVec3(3, 1, 1))}, 2, 1, 0},
      {"L, its hull", lShape, {HullOf(lShape)}, 3, 0.5, 0},
      {"L, its two boxes", lShape, {Box(o, cVec3(2, 1, 1)), Box(o, cVec3(1, 1, 2))}, 3, 0, 0},
      {"torus, its hull", torus, {torusHull}, torusVolume, Volume(torusHull) - torusVolume, 0},
      {"torus, a hull per segment", torus, segments, torusVolume, segmentVolume - torusVolume, 0},
      {"cube, a hull beside it", cube, {Box(cVec3(3, 0, 0), cVec3(4, 2, 2))}, 0, 4, 8},
      {"cube far from the origin", far, {far}, 1, 0, 0},
      {"cube of side 2e30 (float)", huge, {huge}, Volume(huge), 0, 0},
      {"cube, resolution 0", cube, {Box(o, cVec3(2, 2, 1))}, 4, 0, 4, coarse},
  };
  // On coarse grids the lines stand for wide columns: the errors must still hold the answers.
  const std::size_t fine = cases.size();
  for (std::uint32_t resolution : {2, 3, 5, 8}) {
    for (std::size_t k = 0; k < fine; ++k) {
      cVolumeCase c = cases[k];
      c.what += ", resolution " + std::to_string(resolution);
      c.settings.gridResolution = resolution;
      cases.push_back(c);
    }
  }
  return cases;
}

TEST(Fidelity, VolumesOfClosedMeshesLieWithinTheirStatedErrors) {
  for (const cVolumeCase& c : VolumeCases()) {
    SCOPED_TRACE(c.what);
    const cFidelity f = MeasureFidelity(c.mesh, c.hulls, c.settings);
    ASSERT_TRUE(f.closed);
    const double solid = c.intersection + c.missing;
    // Segment hulls meet along planes through float corners: their overlaps and gaps are slivers
    // of about float rounding.
    const double slack = 1e-6 * (solid + c.excess);
    EXPECT_NEAR(f.solidVolume, solid, 1e-12 * solid);
    EXPECT_NEAR(f.intersectionVolume, c.intersection, f.intersectionError + slack);
    EXPECT_NEAR(f.excessVolume, c.excess, f.excessError + slack);
    EXPECT_NEAR(f.missingVolume, c.missing, f.missingError + slack);
    const double iou = c.intersection / (solid + c.excess);
    EXPECT_LE(f.iouLow, iou + 1e-6);
    EXPECT_GE(f.iouHigh, iou - 1e-6);
    EXPECT_LE(f.iouLow, f.iou);
    EXPECT_LE(f.iou, f.iouHigh);

    // The errors come from the cells the surfaces pass through, a few cells deep.
    EXPECT_GT(f.cellSize, 0.0);
    double area = Area(c.mesh);
    for (const cTriangleList& hull : c.hulls) area += Area(hull);
    const double layers = 4.0 * area * f.cellSize;
    EXPECT_LE(f.intersectionError, layers);
    EXPECT_LE(f.excessError, layers);
    EXPECT_LE(f.missingError, layers);
    EXPECT_EQ(f.largestDistance, 0.0);
    EXPECT_EQ(f.distanceSamples, 0u);
  }
}

// The least volume of the cells of side h that the surface of a box of extents x, y, z meets:
// a box meets at least a = x / h cells across x (b, c likewise), and of the a * b * c cells it
// meets only (a - 2) * (b - 2) * (c - 2) can miss its surface.
double LeastShellVolume(double x, double y, double z, double h) {
  const double a = x / h, b = y / h, c = z / h;
  return (a * b * c - (a - 2) * (b - 2) * (c - 2)) * h * h * h;
}

TEST(Fidelity, ErrorsHoldEveryCellASurfacePassesThrough) {
  // One box well inside the other: each quantity is unsettled in the cells of the surfaces it
  // changes across, and settled (error 0) when it changes across none.
  const cTriangleList outer = Box(cVec3(0, 0, 0), cVec3(4, 4, 4));
  const cTriangleList inner = Box(cVec3(1, 1.1f, 1.2f), cVec3(3, 2.9f, 3.1f));
  auto innerShell = [](double h) { return LeastShellVolume(2, 2.9 - 1.1, 3.1 - 1.2, h); };
  auto bothShells = [&](double h) { return innerShell(h) + LeastShellVolume(4, 4, 4, h); };
  auto none = [](double) { return 0.0; };
  const struct {
    const char* what;
    cTriangleList mesh, hull;
    std::function<double(double)> intersection, excess, missing;  // least error for cell size
  } cases[] = {
      {"a hull inside the solid", outer, inner, innerShell, none, bothShells},
      {"a solid inside the hull", inner, outer, innerShell, bothShells, none},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (std::uint32_t resolution : {16, 64, 256}) {
      cFidelitySettings settings;
      settings.gridResolution = resolution;
      const cFidelity f = MeasureFidelity(c.mesh, {c.hull}, settings);
      const double h = f.cellSize;
      const std::pair<double, double> checks[] = {{f.intersectionError, c.intersection(h)},
                                                  {f.excessError, c.excess(h)},
                                                  {f.missingError, c.missing(h)}};
      for (const auto& [error, least] : checks) {
        if (least == 0.0) {
          EXPECT_EQ(error, 0.0);
        } else {
          EXPECT_GE(error, least * (1 - 1e-12));
        }
      }
    }
  }
}

TEST(Fidelity, CubeAndItsHullAreMeasuredExactlyAlongEveryLine) {
  // Each column is measured along one vertical line, where mesh and hull give the same interval
  // however the line meets their edges and corners. The hull's top and bottom are split along
  // their diagonals, which the lines of the columns on the grid's diagonal run through. The
  // mesh's rim has two more corners, at y = d on both sides, and one line of the grid of 128
  // cells, through (c, d), runs along the top's edge between them and through the corner of
  // the bottom's fan.
  const double h = 1.0 / 128, offset = 0.3819660112501051 * h;
  const float c = static_cast<float>(-offset + 40.5 * h),
              d = static_cast<float>(-offset + 70.5 * h);
  const float rim[6][2] = {{0, 0}, {1, 0}, {1, d}, {1, 1}, {0, 1}, {0, d}};  // counter-clockwise
  auto at = [&](int k, float z) { return cVec3(rim[k % 6][0], rim[k % 6][1], z); };
  cTriangleList cube;
  for (int k = 0; k < 6; ++k) {
    cube.emplace_back(at(k, 0), at(k + 1, 0), at(k + 1, 1));
    cube.emplace_back(at(k, 0), at(k + 1, 1), at(k, 1));
    cube.emplace_back(cVec3(c, d, 0), at(k + 1, 0), at(k, 0));
  }
  for (int first : {0, 5}) {  // (0,0) (1,0) (1,d) (0,d) and (0,d) (1,d) (1,1) (0,1)
    const int corners[2][4] = {{0, 1, 2, 5}, {5, 2, 3, 4}};
    const int* q = corners[first == 0 ? 0 : 1];
    cube.emplace_back(at(q[0], 1), at(q[1], 1), at(q[2], 1));
    cube.emplace_back(at(q[0], 1), at(q[2], 1), at(q[3], 1));
  }
  ASSERT_TRUE(IsClosedSurface(cube));
  cFidelitySettings settings;
  settings.gridResolution = 128;
  const cFidelity f = MeasureFidelity(cube, {Box(cVec3(0, 0, 0), cVec3(1, 1, 1))}, settings);
  EXPECT_NEAR(f.solidVolume, 1.0, 1e-12);
  EXPECT_EQ(f.excessVolume, 0.0);
  EXPECT_EQ(f.missingVolume, 0.0);
  EXPECT_NEAR(f.intersectionVolume, 1.0, f.intersectionError);
}

// ---------------------------------------------------------------------------------------------

TEST(Fidelity, CoverageOfSurfaceAndCorners) {
  const cVec3 o(0, 0, 0), one(1, 1, 1);
  const cTriangleList cube = Box(o, one);
  const cTriangleList justBelow = Box(o, cVec3(1, 1, 1 - 1e-6f));
  const cTriangleList square = {{o, cVec3(1, 0, 0), cVec3(1, 1, 0)},
                                {o, cVec3(1, 1, 0), cVec3(0, 1, 0)}};
  const cTriangleList twoSided =
      Join(square, {{o, cVec3(1, 1, 0), cVec3(1, 0, 0)}, {o, cVec3(0, 1, 0), cVec3(1, 1, 0)}});
  const cTriangleList torus = Torus(12, 8, 4.0f, 1.5f, 0.2f);
  cTriangleList nanHull = cube;
  nanHull[4].vertex[2].z = NaN;
  cFidelitySettings exact;
  exact.tolerance = 0.0;
  cFidelitySettings notANumber;
  notANumber.tolerance = std::nan("");
  const struct {
    const char* what;
    cTriangleList mesh;
    std::vector<cTriangleList> hulls;
    cFidelitySettings settings;
    double surface, corners;  // expected shares
  } cases[] = {
      {"cube, its own hull", cube, {cube}, {}, 1, 1},
      {"cube, its lower half", cube, {Box(o, cVec3(1, 1, 0.5f))}, {}, 0.5, 0.5},
      {"two boxes, the first one's hull",
       Join(cube, Box(cVec3(2, 0, 0), cVec3(3, 1, 1))),
       {cube},
       {},
       0.5,
       0.5},
      {"cube, a hull 1e-6 lower, within tolerance", cube, {justBelow}, {}, 1, 1},
      {"cube, a hull 1e-6 lower, no tolerance", cube, {justBelow}, exact, 5.0 / 6, 0.5},
      {"cube, a hull 1e-6 lower, NaN tolerance", cube, {justBelow}, notANumber, 5.0 / 6, 0.5},
      // Points on the hull's faces, computed with rounding, count as on them.
      {"torus, its hull, no tolerance", torus, {HullOf(torus)}, exact, 1, 1},
      {"open box, the cube", OpenBox(o, one), {cube}, {}, 1, 1},
      {"square, a flat hull on it", square, {twoSided}, {}, 1, 1},
      {"square, a flat hull on half", square, {Box(o, cVec3(0.5f, 1, 0))}, {}, 0.5, 0.5},
      {"cube, no hull", cube, {}, {}, 0, 0},
      {"cube, a hull with a NaN corner", cube, {nanHull}, {}, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const cFidelity f = MeasureFidelity(c.mesh, c.hulls, c.settings);
    EXPECT_EQ(f.surfaceSamples, cFidelitySettings().surfaceSamples);
    EXPECT_NEAR(f.surfaceCoverage, c.surface, 0.005);
    EXPECT_EQ(f.surfaceCoverage, double(f.surfaceSamplesCovered) / f.surfaceSamples);
    EXPECT_EQ(f.vertexCoverage, c.corners);
  }
}

// Scales every corner about the origin.
cTriangleList Scaled(cTriangleList triangles, float x, float y, float z) {
  for (cTriangle& t : triangles) {
    for (cVec3& v : t.vertex) v = cVec3(v.x * x, v.y * y, v.z * z);
  }
  return triangles;
}

TEST(Fidelity, CoverageAgreesForSmallAndLargeHulls) {
  // A sphere stretched to 3 along z: its hull has 80 faces (tested plane by plane) or 1472
  // (tested through its faces). Small boxes placed deep inside, inside near the tip, just
  // outside and far outside in a corner of the hull's box, and the hull's own surface shrunk
  // and grown by a tenth.
  auto cube = [](float x, float y, float z) {
    return Box(cVec3(x - 0.05f, y - 0.05f, z - 0.05f), cVec3(x + 0.05f, y + 0.05f, z + 0.05f));
  };
  for (const auto& [rings, sides] : {std::pair{6, 8}, std::pair{24, 32}}) {
    const cTriangleList hull = HullOf(Scaled(UvSphere(rings, sides, 1.0f), 1, 1, 3));
    SCOPED_TRACE(hull.size());
    const struct {
      const char* what;
      cTriangleList mesh;
      double covered;
    } cases[] = {
        {"deep inside", cube(0, 0, 2), 1},
        {"inside near the tip", cube(0, 0, 2.7f), 1},
        {"the hull shrunk", Scaled(hull, 0.9f, 0.9f, 0.9f), 1},
        {"just outside", cube(0.8f, 0.8f, 0), 0},
        {"in a corner of the box", cube(0.9f, 0.9f, 2.8f), 0},
        {"the hull grown", Scaled(hull, 1.1f, 1.1f, 1.1f), 0},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(c.what);
      const cFidelity f = MeasureFidelity(c.mesh, {hull});
      EXPECT_EQ(f.surfaceCoverage, c.covered);
      EXPECT_EQ(f.vertexCoverage, c.covered);
    }
  }
}

// Distance from the point (x, y, 1.5) to the unit square's edge at height 1, averaged over the
// unit square: the part of the square farther than t from its edge has area (1 - 2t)^2.
double RaisedLidMeanDistance() {
  const int steps = 1000;
  double sum = 0.0;
  for (int k = 0; k <= steps; ++k) {
    const double t = 0.5 * k / steps;
    const double weight = k == 0 || k == steps ? 1 : (k % 2 == 1 ? 4 : 2);
    sum += weight * std::sqrt(0.25 + t * t) * 4 * (1 - 2 * t);
  }
  return sum * (0.5 / steps) / 3;
}

TEST(Fidelity, DistancesFromHullsToAnOpenMesh) {
  const cVec3 o(0, 0, 0), one(1, 1, 1);
  const cTriangleList square = {{o, cVec3(1, 0, 0), cVec3(1, 1, 0)},
                                {o, cVec3(1, 1, 0), cVec3(0, 1, 0)}};
  cTriangleList withNaN = OpenBox(o, one);
  withNaN.emplace_back(cVec3(NaN, 0, 0), cVec3(0, 0, 5), cVec3(0, 1, 5));
  const struct {
    const char* what;
    cTriangleList mesh;
    std::vector<cTriangleList> hulls;
    double largest, mean;  // in model units
  } cases[] = {
      // The lid is the only surface off the mesh: the distance to the rim, largest at its
      // centre; the pyramid under it has volume 1/6, over 6 unit faces.
      {"open box, the cube", OpenBox(o, one), {Box(o, one)}, 0.5, 1.0 / 36},
      // Walls rise 0.5 above the rim (mean 0.25 over 4 x 0.5), then the lid, over area 8.
      {"open box, a hull reaching 0.5 above it",
       OpenBox(o, one),
       {Box(o, cVec3(1, 1, 1.5f))},
       std::sqrt(0.5),
       (4 * 0.5 * 0.25 + RaisedLidMeanDistance()) / 8},
      // Bottom at 0, top at 0.25, walls of area 0.25 at 0.125 on average; area 3.
      {"square, a slab 0.25 thick",
       square,
       {Box(o, cVec3(1, 1, 0.25f))},
       0.25,
       (0.25 + 4 * 0.25 * 0.125) / 3},
      {"square, two hulls",
       square,
       {Box(o, cVec3(0.5f, 1, 0.25f)), Box(cVec3(0.5f, 0, 0), cVec3(1, 1, 0.25f))},
       0.25,
       (0.25 + 8 * 0.125 * 0.125 + 2 * 0.25 * 0.125) / 3.5},
      {"open box and a NaN triangle, the cube", withNaN, {Box(o, one)}, 0.5, 1.0 / 36},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const cFidelity f = MeasureFidelity(c.mesh, c.hulls);
    ASSERT_FALSE(f.closed);
    ASSERT_GT(f.diagonal, 0.0);
    EXPECT_EQ(f.distanceSamples, cFidelitySettings().distanceSamples);
    // Sampled: the largest distance is approached from below.
    EXPECT_LE(f.largestDistance, c.largest / f.diagonal + 1e-12);
    EXPECT_GE(f.largestDistance, (c.largest - 0.01) / f.diagonal);
    EXPECT_NEAR(f.meanDistance, c.mean / f.diagonal, 0.01 * c.mean / f.diagonal);
    EXPECT_EQ(f.solidVolume, 0.0);
    EXPECT_EQ(f.excessError, 0.0);
  }
}

TEST(Fidelity, BadInputGivesDefinedResults) {
  const cVec3 o(0, 0, 0), one(1, 1, 1);
  const cTriangleList cube = Box(o, one);
  cTriangleList nanCube = cube;
  nanCube[0].vertex[1].y = NaN;
  const cTriangleList allNaN = {{cVec3(NaN, 0, 0), cVec3(NaN, 1, 0), cVec3(NaN, 0, 1)}};
  const cTriangleList point = {{o, o, o}};
  cFidelitySettings none;
  none.surfaceSamples = 0;
  none.distanceSamples = 0;
  const std::uint32_t S = cFidelitySettings().surfaceSamples,
                      D = cFidelitySettings().distanceSamples;
  cFidelitySettings many;
  many.surfaceSamples = many.distanceSamples = 0xffffffffu;
  const struct {
    const char* what;
    cTriangleList mesh;
    std::vector<cTriangleList> hulls;
    cFidelitySettings settings;
    std::uint32_t surfaceSamples, distanceSamples, meshVertices;
    double surfaceCoverage;
  } cases[] = {
      {"nothing at all", {}, {}, {}, 0, 0, 0, 0},
      {"no mesh", {}, {cube}, {}, 0, 0, 0, 0},
      {"no hull", OpenBox(o, one), {}, {}, S, 0, 8, 0},
      {"empty hulls", OpenBox(o, one), {{}, {}}, {}, S, 0, 8, 0},
      {"a NaN corner", nanCube, {cube}, {}, S, D, 8, 1},
      {"only NaN corners", allNaN, {cube}, {}, 0, 0, 0, 0},
      // A zero diagonal: no distance is measured against it.
      {"one degenerate triangle", point, {cube}, {}, 0, 0, 1, 0},
      {"no samples", OpenBox(o, one), {cube}, none, 0, 0, 8, 0},
      {"more samples than allowed", OpenBox(o, one), {}, many, 1u << 24, 0, 8, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const cFidelity f = MeasureFidelity(c.mesh, c.hulls, c.settings);
    EXPECT_FALSE(f.closed);
    EXPECT_EQ(f.hulls.size(), c.hulls.size());
    EXPECT_EQ(f.surfaceSamples, c.surfaceSamples);
    EXPECT_EQ(f.distanceSamples, c.distanceSamples);
    EXPECT_EQ(f.meshVertices, c.meshVertices);
    EXPECT_EQ(f.surfaceCoverage, c.surfaceCoverage);
    for (double value :
         {f.diagonal, f.vertexCoverage, f.largestDistance, f.meanDistance, f.solidVolume, f.iou}) {
      EXPECT_TRUE(std::isfinite(value));
    }
  }
}

}  // namespace
