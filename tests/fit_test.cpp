// The fitting mode: at most N hulls of at most V vertices that hold every corner of the mesh, on
// shapes with known answers and on inputs built to break it; and the outward reduction alone.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "geometry/point_key.h"
#include "geometry/surface.h"
#include "hull/exact_predicates.h"
#include "hull/fidelity.h"
#include "hull/fit.h"
#include "hull/sound_hull.h"
#include "io/mesh_reading.h"
#include "tests/support/hull_checks.h"
#include "tests/support/meshes.h"

namespace {

// Every finite corner of the mesh inside or on some hull, decided exactly.
std::string UncoveredCorner(const cTriangleList& mesh, const std::vector<cFittedHull>& hulls) {
  for (const cTriangle& t : mesh) {
    for (const cVec3& v : t.vertex) {
      if (!std::isfinite(v.x) || !std::isfinite(v.y) || !std::isfinite(v.z)) continue;
      bool inside = false;
      for (const cFittedHull& hull : hulls) {
        bool here = !hull.faces.empty();
        for (const cTriangle& f : hull.faces) {
          if (Orient3d(f.vertex[0], f.vertex[1], f.vertex[2], v) > 0) {
            here = false;
            break;
          }
        }
        if (here) {
          inside = true;
          break;
        }
      }
      if (!inside) {
        return "corner (" + std::to_string(v.x) + ", " + std::to_string(v.y) + ", " +
               std::to_string(v.z) + ") outside every hull";
      }
    }
  }
  return "";
}

// What every fit must be: few enough hulls, small enough, closed, convex, outward, holding the
// corners of their own cluster and so every corner of the mesh.
void ExpectSound(const cTriangleList& mesh, const cFit& fit, const cFitSettings& settings) {
  EXPECT_FALSE(fit.cancelled);
  EXPECT_LE(fit.hulls.size(), std::max<std::size_t>(settings.maxHulls, 1));
  std::size_t triangles = 0;
  for (std::size_t i = 0; i < fit.hulls.size(); ++i) {
    SCOPED_TRACE("hull " + std::to_string(i));
    const cFittedHull& hull = fit.hulls[i];
    triangles += hull.triangles.size();
    EXPECT_LE(DistinctCorners(hull.faces), std::max<std::size_t>(settings.maxHullVertices, 4));
    EXPECT_TRUE(IsClosedSurface(hull.faces));
    cPointList corners;
    for (const cTriangle& t : hull.triangles) {
      for (const cVec3& v : t.vertex) {
        if (std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z)) corners.push_back(v);
      }
    }
    EXPECT_EQ(ConvexityProblem(hull.faces, corners), "");
  }
  EXPECT_EQ(triangles, mesh.size());
  EXPECT_EQ(UncoveredCorner(mesh, fit.hulls), "");
}

cTriangleList Voxels(std::vector<std::array<int, 3>> cells, int split) {
  return VoxelSurface(cells, 1.0f, split);
}

TEST(FitHulls, ShapesGiveTheHullsTheirFormAsks) {
  struct cCase {
    const char* name;
    cTriangleList mesh;
    std::size_t maxHulls, maxVertices;
    std::size_t fewest, most;  // hulls expected
  };
  const cCase cases[] = {
      // Convex: one hull however many are allowed.
      {"cube", Voxels({{0, 0, 0}}, 6), 16, 64, 1, 1},
      {"sphere", UvSphere(12, 16, 3.0f), 32, 64, 1, 1},
      // An L of three cubes: two convex parts, so two hulls when two are allowed.
      {"L-shape, 2", Voxels({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, 4), 2, 64, 2, 2},
      {"L-shape, 1", Voxels({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, 4), 1, 8, 1, 1},
      // Two boxes apart: one hull each, or one over both.
      {"two boxes", Voxels({{0, 0, 0}, {3, 0, 0}}, 3), 4, 16, 2, 2},
      {"two boxes, 1", Voxels({{0, 0, 0}, {3, 0, 0}}, 3), 1, 16, 1, 1},
      // A torus needs several; never more than allowed.
      {"torus, 8", Torus(48, 16, 4.0f, 1.0f, 0.0f), 8, 32, 4, 8},
      {"torus, 64", Torus(48, 16, 4.0f, 1.0f, 0.0f), 64, 16, 8, 64},
      {"bulging torus, 4", BulgingTorus(60, 20), 4, 4, 1, 4},
      // Not closed: a box without its top.
      {"open box",
       [] {
         cTriangleList box = Voxels({{0, 0, 0}}, 3);
         std::erase_if(box, [](const cTriangle& t) {
           return t.vertex[0].z == 1.0f && t.vertex[1].z == 1.0f && t.vertex[2].z == 1.0f;
         });
         return box;
       }(),
       8, 32, 1, 8},
      // Flat: a square grid gives flat two-sided hulls.
      {"flat grid",
       [] {
         cTriangleList flat = Voxels({{0, 0, 0}}, 5);
         std::erase_if(flat, [](const cTriangle& t) { return Normal(t).z >= 0.0f; });
         return flat;
       }(),
       8, 16, 1, 1},
      // Non-manifold: two cubes sharing only an edge (four triangles on each of its pieces).
      {"cubes on one edge", Voxels({{0, 0, 0}, {1, 1, 0}}, 2), 8, 16, 2, 8},
      // Closed without a solid a grid can see: two-sided, a slab thinner than a cell, and a torus
      // wound inward.
      {"two-sided square",
       [] {
         cTriangleList sheet = Voxels({{0, 0, 0}}, 3);
         std::erase_if(sheet, [](const cTriangle& t) { return Normal(t).z >= 0.0f; });
         for (std::size_t i = 0, n = sheet.size(); i < n; ++i) {
           sheet.emplace_back(sheet[i].vertex[0], sheet[i].vertex[2], sheet[i].vertex[1]);
         }
         return sheet;
       }(),
       4, 16, 1, 4},
      {"thin slab",
       [] {
         cTriangleList slab = Voxels({{0, 0, 0}}, 4);
         for (cTriangle& t : slab) {
           for (cVec3& v : t.vertex) v = cVec3(v.x * 1000, v.y * 1000, v.z * 1e-3f);
         }
         return slab;
       }(),
       4, 16, 1, 4},
      {"torus wound inward",
       [] {
         cTriangleList torus = Torus(48, 16, 4.0f, 1.0f, 0.0f);
         for (cTriangle& t : torus) std::swap(t.vertex[1], t.vertex[2]);
         return torus;
       }(),
       8, 32, 4, 8},
      {"nothing", {}, 8, 16, 0, 0},
  };
  for (const cCase& c : cases) {
    SCOPED_TRACE(c.name);
    cFitSettings settings;
    settings.maxHulls = c.maxHulls;
    settings.maxHullVertices = c.maxVertices;
    settings.epsilon = 1e-4;
    const cFit fit = FitHulls(c.mesh, settings);
    ExpectSound(c.mesh, fit, settings);
    EXPECT_GE(fit.hulls.size(), c.fewest);
    EXPECT_LE(fit.hulls.size(), c.most);
    // The same hulls every run.
    const cFit again = FitHulls(c.mesh, settings);
    ASSERT_EQ(again.hulls.size(), fit.hulls.size());
    for (std::size_t i = 0; i < fit.hulls.size(); ++i) {
      EXPECT_TRUE(SameBits(again.hulls[i].faces, fit.hulls[i].faces));
    }
  }
}

cTriangleList Gear() {
  return ReadMeshFile(CD_SAMPLES "/gear.stl").triangles;
}

// How much of the solid the hulls stand for, against floors that hulls reaching across a hole
// or over a step fall below.
TEST(FitHulls, HullsOfAClosedMeshStayInItsSolid) {
  struct cCase {
    const char* name;
    cTriangleList mesh;
    std::size_t maxHulls;
    double leastIoU;
  };
  const cCase cases[] = {
      {"L-shape", Voxels({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, 4), 2, 0.97},
      // Convex: one hull, the solid itself (up to the measure's grid); the sphere's 178 corners
      // cut to 64 vertices grow it by about a tenth.
      {"cube", Voxels({{0, 0, 0}}, 6), 8, 0.99},
      {"sphere", UvSphere(12, 16, 3.0f), 8, 0.9},
      // Two shells apart, one hull each: nothing bridges the gap.
      {"two boxes", Voxels({{0, 0, 0}, {3, 0, 0}}, 3), 2, 0.99},
      {"torus, 8", Torus(48, 16, 4.0f, 1.0f, 0.0f), 8, 0.85},
      {"torus, 32", Torus(48, 16, 4.0f, 1.0f, 0.0f), 32, 0.97},
      // A thin ring of teeth through the middle of a thick hub with a hole: far-side points
      // from the hole's wall that cross the ring, or from the teeth across the hole, would make
      // hulls over the ring or across the hole.
      {"gear, 8", Gear(), 8, 0.75},
      {"gear, 64", Gear(), 64, 0.95},
  };
  for (const cCase& c : cases) {
    SCOPED_TRACE(c.name);
    cFitSettings settings;
    settings.maxHulls = c.maxHulls;
    settings.epsilon = 1e-4;
    const cFit fit = FitHulls(c.mesh, settings);
    ExpectSound(c.mesh, fit, settings);
    std::vector<cTriangleList> hulls;
    for (const cFittedHull& hull : fit.hulls) hulls.push_back(hull.faces);
    const cFidelity measured = MeasureFidelity(c.mesh, hulls);
    EXPECT_GE(measured.iou, c.leastIoU);
  }
}

TEST(FitHulls, BadCornersAndLooseTrianglesGiveADefinedResult) {
  cTriangleList mesh = Voxels({{0, 0, 0}}, 2);
  const float nan = std::nanf("");
  mesh.emplace_back(cVec3(nan, 0, 0), cVec3(1, 1, 1), cVec3(2, 0, 0));
  mesh.emplace_back(cVec3(9, 9, 9), cVec3(9, 9, 9), cVec3(9, 9, 9));  // one point
  mesh.emplace_back(cVec3(5, 0, 0), cVec3(6, 0, 0), cVec3(7, 0, 0));  // on a line
  mesh.emplace_back(cVec3(INFINITY, 0, 0), cVec3(0, 1, 0), cVec3(0, 0, 1));
  for (const std::size_t n : {1u, 2u, 8u}) {
    cFitSettings settings;
    settings.maxHulls = n;
    settings.maxHullVertices = 8;
    const cFit fit = FitHulls(mesh, settings);
    EXPECT_FALSE(fit.cancelled);
    EXPECT_LE(fit.hulls.size(), n);
    ASSERT_FALSE(fit.hulls.empty());
    for (const cFittedHull& hull : fit.hulls) {
      EXPECT_TRUE(IsClosedSurface(hull.faces));
      EXPECT_LE(DistinctCorners(hull.faces), 8u);
    }
  }
}

TEST(FitHulls, ProgressCanStopIt) {
  const cTriangleList torus = Torus(48, 16, 4.0f, 1.0f, 0.0f);
  cFitSettings settings;
  settings.maxHulls = 4;
  for (const char* stopAt : {"decomposing", "fitting", "fitting late", "hulls"}) {
    SCOPED_TRACE(stopAt);
    // "fitting late": once past half way, when the first fit may be done and the other still
    // runs.
    const bool late = std::strcmp(stopAt, "fitting late") == 0;
    bool asked = false;
    // Only ever called on this thread, though a closed mesh is fitted on two.
    const std::thread::id caller = std::this_thread::get_id();
    const cFit fit = FitHulls(torus, settings, [&](const char* step, double fraction) {
      EXPECT_EQ(std::this_thread::get_id(), caller);
      asked = asked || (late ? std::string(step) == "fitting" && fraction >= 0.5
                             : std::string(step) == stopAt);
      return !asked;
    });
    EXPECT_TRUE(asked);
    EXPECT_TRUE(fit.cancelled);
    EXPECT_TRUE(fit.hulls.empty());
  }
}

// The two fits of a closed mesh run side by side; how their steps interleave does not change the
// hulls.
TEST(FitHulls, SameHullsHoweverTheTwoFitsInterleave) {
  const cTriangleList gear = Gear();
  cFitSettings settings;
  settings.maxHulls = 16;
  settings.epsilon = 1e-3;
  const cFit plain = FitHulls(gear, settings);
  ASSERT_FALSE(plain.hulls.empty());
  for (int pause : {1, 3}) {
    SCOPED_TRACE(pause);
    int calls = 0;
    const cFit slowed = FitHulls(gear, settings, [&](const char*, double) {
      if (++calls % pause == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
      return true;
    });
    ASSERT_EQ(slowed.hulls.size(), plain.hulls.size());
    for (std::size_t i = 0; i < plain.hulls.size(); ++i) {
      EXPECT_TRUE(SameBits(slowed.hulls[i].faces, plain.hulls[i].faces)) << i;
      EXPECT_TRUE(SameBits(slowed.hulls[i].triangles, plain.hulls[i].triangles)) << i;
    }
  }
}

// Random clouds (a ball, a thin disc, points on a sphere, a lattice with ties) reduced to every
// budget: never more corners, every point inside, closed, convex.
struct cGrowthBound {
  const char* cloud;
  std::size_t budget;
  double most;  // reduced volume / hull volume
};
const cGrowthBound kGrowthBounds[] = {
    {"sphere", 8, 2.7},    {"sphere", 13, 1.8}, {"sphere", 32, 1.3}, {"sphere", 64, 1.12},
    {"sphere", 255, 1.02}, {"ball", 32, 1.08},  {"ball", 64, 1.0},   {"lattice", 8, 1.0},
};

TEST(ReduceHullOutward, EveryBudgetHoldsEveryPoint) {
  std::mt19937 random(5);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  std::vector<std::pair<std::string, cPointList>> clouds;
  cPointList ball, disc, sphere, lattice, far;
  for (int i = 0; i < 400; ++i) {
    ball.emplace_back(unit(random), unit(random), unit(random));
    disc.emplace_back(unit(random), unit(random), 1e-3f * unit(random));
    const float a = unit(random) * 3.14159f, b = unit(random) * 1.5f;
    sphere.emplace_back(std::cos(a) * std::cos(b), std::sin(a) * std::cos(b), std::sin(b));
    far.emplace_back(1e6f + unit(random), 2e6f + unit(random), -3e6f + unit(random));
  }
  for (int x = 0; x < 6; ++x) {
    for (int y = 0; y < 6; ++y) {
      for (int z = 0; z < 6; ++z) lattice.emplace_back(float(x), float(y), float(z * z));
    }
  }
  clouds = {{"ball", ball},
            {"disc", disc},
            {"sphere", sphere},
            {"lattice", lattice},
            {"far from the origin", far}};
  for (const auto& [name, points] : clouds) {
    const cTriangleList hull = SoundHull(points);
    for (const std::size_t budget : {4u, 5u, 6u, 8u, 13u, 32u, 64u, 255u}) {
      SCOPED_TRACE(name + ", " + std::to_string(budget));
      const cTriangleList reduced = ReduceHullOutward(hull, budget);
      EXPECT_LE(DistinctCorners(reduced), budget);
      EXPECT_EQ(ClosureProblem(reduced), "");
      EXPECT_EQ(ConvexityProblem(reduced, points), "");
      // How much it grows, against bounds on the points of a sphere (a cube of six planes
      // around the unit ball holds 1.91 times its volume; more planes hold less).
      const double growth = EnclosedVolume(reduced) / EnclosedVolume(hull);
      for (const cGrowthBound& bound : kGrowthBounds) {
        if (name == bound.cloud && budget == bound.budget) {
          EXPECT_LE(growth, bound.most);
        }
      }
      if (DistinctCorners(hull) <= budget) {
        EXPECT_TRUE(SameBits(reduced, hull));
      }
    }
  }
}

}  // namespace
