// Properties of the hull construction over random point sets, checked against qconvex (qhull)
// as an independent oracle for the extreme points.
//
// Every set: the hull a piece gets (BuildClosed) is closed, wound outward, convex by exact tests,
// holds every point and has qconvex's extreme points as its corners.
//
// Which inputs are audited besides. The construction decides with three absolute tolerances
// and float distances, and by design it does not close the surface when a tolerance decides a
// step: an edge between two visible faces whose far corners lie within HorizonTolerance of the
// candidate plane keeps a face, a point less than VisibleTolerance in front of a face does not see
// it, and a rounded distance can land on the other side of a tolerance than the exact one. On such
// inputs closure and the vertex set are not expected to hold of the construction itself. So
// every step is audited, in double precision from the exact float corners: an input counts as
// audited only when every
// decision of every step is clear, that is
//   - every face of the hull before the step is more than kMargin behind the new point or more
//     than VisibleTolerance + kMargin in front of it;
//   - for every edge of a visible face, the candidate over it has all corners of the visible
//     faces at most HorizonTolerance - kMargin in front when the face across the edge stays (a
//     rim edge), and some corner more than HorizonTolerance + kMargin in front when the face
//     across is visible too;
//   - the construction's own rounded distances fall on the same side of each tolerance.
// The audit stops at the first unclear step, and only reads the hull as it stands. An audited
// input must keep the construction's faces. Every size must yield at least one audited input, so
// that a broken construction cannot hide behind the audit; the reasons are printed.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "hull/hull.h"
#include "hull/hull_internal.h"
#include "tests/support/hull_checks.h"
#include "tests/support/qconvex.h"
#include "tests/support/reference_hull.h"
#include "tests/support/triangle_printing.h"

namespace {

constexpr double kRadius = 1000.0;               // model units; the tolerances are absolute
constexpr double kMargin = 1e-6 * kRadius;       // clearance from a tolerance, exact geometry
constexpr double kBehindSlack = 1e-9 * kRadius;  // double rounding of the final distances

using cKey = cPointKey;

// The point sets: fixed seeds, portable generation (only mt19937 itself is relied upon).
enum class cShape { Sphere, Ball };

double Uniform(std::mt19937& g) {
  return (g() + 0.5) / 4294967296.0;
}

cPointList RandomPoints(cShape shape, int count, unsigned seed) {
  std::mt19937 g(seed);
  cPointList points;
  std::set<cKey> seen;
  while (static_cast<int>(points.size()) < count) {
    double x, y, z, l;
    do {
      x = 2 * Uniform(g) - 1;
      y = 2 * Uniform(g) - 1;
      z = 2 * Uniform(g) - 1;
      l = std::sqrt(x * x + y * y + z * z);
    } while (l > 1 || l < 1e-3);
    const double r = shape == cShape::Sphere ? kRadius : kRadius * std::cbrt(Uniform(g));
    const cVec3 p(static_cast<float>(x / l * r), static_cast<float>(y / l * r),
                  static_cast<float>(z / l * r));
    if (seen.insert(KeyOf(p)).second) points.push_back(p);
  }
  return points;
}

// Exact-as-double signed distance of p from the plane of (a, b, c), positive in front; the
// corners are floats, so differences and products are exact or nearly so.
double PlaneDistance(const cVec3& a, const cVec3& b, const cVec3& c, const cVec3& p) {
  const double e1x = double(b.x) - a.x, e1y = double(b.y) - a.y, e1z = double(b.z) - a.z;
  const double e2x = double(c.x) - b.x, e2y = double(c.y) - b.y, e2z = double(c.z) - b.z;
  const double nx = e1y * e2z - e1z * e2y, ny = e1z * e2x - e1x * e2z, nz = e1x * e2y - e1y * e2x;
  const double len = std::sqrt(nx * nx + ny * ny + nz * nz);
  return (nx * (double(p.x) - a.x) + ny * (double(p.y) - a.y) + nz * (double(p.z) - a.z)) / len;
}
double PlaneDistance(const cTriangle& t, const cVec3& p) {
  return PlaneDistance(t.vertex[0], t.vertex[1], t.vertex[2], p);
}

// Empty when every decision of adding q to faces is clear (see the top of the file), else why.
std::string AuditStep(const cTriangleList& faces, const cVec3& q) {
  std::vector<char> visible(faces.size());
  bool any = false;
  for (std::size_t i = 0; i < faces.size(); ++i) {
    const double d = PlaneDistance(faces[i], q);
    if (!(d < -kMargin || d > VisibleTolerance + kMargin))
      return "visibility within the margin, d = " + std::to_string(d);
    visible[i] = d > VisibleTolerance;
    if ((SignedDistance(faces[i], q) > VisibleTolerance) != static_cast<bool>(visible[i]))
      return "rounding changes visibility";
    any = any || visible[i];
  }
  if (!any) return "";
  std::map<std::pair<cKey, cKey>, std::size_t> owner;
  for (std::size_t i = 0; i < faces.size(); ++i) {
    for (int e = 0; e < 3; ++e)
      owner[{KeyOf(faces[i].vertex[e]), KeyOf(faces[i].vertex[(e + 1) % 3])}] = i;
  }
  for (std::size_t i = 0; i < faces.size(); ++i) {
    if (!visible[i]) continue;
    for (int e = 0; e < 3; ++e) {
      const cVec3& a = faces[i].vertex[e];
      const cVec3& b = faces[i].vertex[(e + 1) % 3];
      const auto across = owner.find({KeyOf(b), KeyOf(a)});
      if (across == owner.end()) return "hull already open";
      const bool rim = !visible[across->second];
      const cTriangle candidate(q, a, b);
      double farthest = -INFINITY;
      bool rejected = false;
      for (std::size_t j = 0; j < faces.size(); ++j) {
        if (!visible[j]) continue;
        for (const cVec3& corner : faces[j].vertex) {
          farthest = std::max(farthest, PlaneDistance(candidate, corner));
          rejected = rejected || SignedDistance(candidate, corner) > HorizonTolerance;
        }
      }
      if (!std::isfinite(farthest)) return "candidate without a plane";
      if (rim && farthest > HorizonTolerance - kMargin)
        return "rim candidate near HorizonTolerance, " + std::to_string(farthest);
      if (!rim && farthest <= HorizonTolerance + kMargin)
        return "inner edge within HorizonTolerance, " + std::to_string(farthest);
      if (rejected == rim) return "rounding changes a horizon decision";
    }
  }
  return "";
}

// The indices qconvex reports as extreme points, or nothing (with a failure) when it cannot run.
std::optional<std::set<std::size_t>> ExtremePoints(const cPointList& points) {
  const cQconvexRun run = RunQconvex(points, "Fx", false);
  if (!run.started) {
    ADD_FAILURE() << "cannot write the points for qconvex or start it";
    return std::nullopt;
  }
  std::istringstream in(run.output);
  std::set<std::size_t> indices;
  std::size_t count = 0;
  bool ok = static_cast<bool>(in >> count);
  for (std::size_t i = 0; ok && i < count; ++i) {
    std::size_t index = 0;
    ok = static_cast<bool>(in >> index) && index < points.size();
    indices.insert(index);
  }
  if (!ok || run.status != 0) {
    ADD_FAILURE() << "qconvex did not answer (exit status " << run.status << ")";
    return std::nullopt;
  }
  return indices;
}

struct cCase {
  cShape shape;
  int size;
};
void PrintTo(const cCase& c, std::ostream* os) {
  *os << (c.shape == cShape::Sphere ? "sphere " : "ball ") << c.size;
}

class HullProperties : public ::testing::TestWithParam<cCase> {};

// Builds points step by step with the plain construction while auditing; returns the hull, or
// nothing with the reason.
std::optional<cHullResult> AuditedBuild(const cPointList& points, std::string& why) {
  cPointList seed(points.begin(), points.begin() + 4);
  cHullResult h;
  h.Build(seed);
  if (seed.size() != 3) {
    why = "point 3 does not clear SeedTolerance";
    return std::nullopt;
  }
  for (std::size_t i = 4; i < points.size(); ++i) {
    why = AuditStep(h.faces, points[i]);
    if (!why.empty()) {
      why += " (step " + std::to_string(i) + ")";
      return std::nullopt;
    }
    ReferenceAddPoint(h, points[i]);
  }
  return h;
}

// The used corners of faces, as indices into points.
std::set<std::size_t> UsedCorners(const cTriangleList& faces, const cPointList& points) {
  std::map<cKey, std::size_t> indexOf;
  for (std::size_t i = 0; i < points.size(); ++i) indexOf[KeyOf(points[i])] = i;
  std::set<std::size_t> used;
  for (const cTriangle& f : faces) {
    for (const cVec3& v : f.vertex) {
      const auto it = indexOf.find(KeyOf(v));
      if (it != indexOf.end()) used.insert(it->second);
    }
  }
  return used;
}

TEST_P(HullProperties, ClosedConvexWithTheOraclesCorners) {
  if (std::system("command -v qconvex > /dev/null 2>&1") != 0)
    FAIL() << "qconvex not found: install the package qhull-bin (the oracle of these tests)";
  const cCase c = GetParam();
  const char* shape = c.shape == cShape::Sphere ? "sphere" : "ball";
  int checked = 0, sets = 0;
  for (unsigned seed = 1; seed <= 24 && (checked < 2 || seed <= 6); ++seed) {
    SCOPED_TRACE(std::string(shape) + " size " + std::to_string(c.size) + " seed " +
                 std::to_string(seed));
    const cPointList points = RandomPoints(c.shape, c.size, seed * 7919u + c.size);
    ++sets;

    // Every set: the hull a piece gets is closed, wound outward, convex by exact tests, holds
    // every point, and its corners are exactly qconvex's extreme points.
    cHullResult closed;
    cPointList sample = points;
    closed.BuildClosed(sample);
    EXPECT_EQ(SoundProblem(closed.faces, points), "");
    const std::optional<std::set<std::size_t>> extreme = ExtremePoints(points);
    ASSERT_TRUE(extreme.has_value());
    EXPECT_EQ(UsedCorners(closed.faces, points), *extreme);

    std::string why;
    const std::optional<cHullResult> audited = AuditedBuild(points, why);
    if (!audited) {
      std::printf("not audited: %s size %d seed %u: %s\n", shape, c.size, seed, why.c_str());
      continue;
    }
    ++checked;
    std::printf("audited:     %s size %d seed %u\n", shape, c.size, seed);
    const cHullResult& h = *audited;

    // The stepwise path is the construction itself, and the piece keeps its faces.
    cHullResult whole;
    cPointList copy = points;
    whole.Build(copy);
    ASSERT_EQ(whole.faces, h.faces);
    EXPECT_EQ(closed.faces, h.faces);

    // Every input point lies on or behind every face.
    double worst = -INFINITY;
    for (const cTriangle& f : h.faces) {
      for (const cVec3& p : points) worst = std::max(worst, PlaneDistance(f, p));
    }
    EXPECT_LE(worst, kBehindSlack);
    EXPECT_EQ(ClosureProblem(h.faces), "");
  }
  std::printf("%s size %d: %d sets checked, %d of them audited\n", shape, c.size, sets, checked);
  EXPECT_GE(checked, 1) << "no input of this size was clear enough to audit";
}

std::vector<cCase> Cases() {
  std::vector<cCase> cases;
  for (int size : {4, 5, 6, 8, 12, 20, 50, 100, 200, 500}) cases.push_back({cShape::Sphere, size});
  for (int size : {4, 5, 6, 8, 12, 20, 50, 100, 200, 500, 1000, 2000, 4000})
    cases.push_back({cShape::Ball, size});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(RandomSets, HullProperties, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<cCase>& info) {
                           return std::string(info.param.shape == cShape::Sphere ? "Sphere"
                                                                                 : "Ball") +
                                  std::to_string(info.param.size);
                         });

}  // namespace
