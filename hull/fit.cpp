#include "hull/fit.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <future>
#include <numeric>
#include <optional>
#include <queue>
#include <set>
#include <utility>

#include "decomposition/region_growing.h"
#include "exact_predicates.h"
#include "geometry/point_key.h"
#include "geometry/surface.h"
#include "geometry/vec3d.h"
#include "sound_hull.h"

namespace {

using cIndex = std::uint32_t;

constexpr std::size_t kRepresentatives = 32;  // hull corners a cluster keeps for pricing
constexpr std::size_t kProbes = 8192;         // surface points every price looks at
constexpr std::size_t kRaysPerPatch = 4;      // rays cast through the solid behind a patch
constexpr double kAreaWeight = 0.01;          // diagonals per share of the surface merged
constexpr double kFreeConcavity = 1e-6;       // diagonals: a merge this flat costs nothing
// At least this many patches to merge from on a closed mesh, which is fitted twice; twice as many
// on any other, fitted once.
constexpr std::size_t kStartClusters = 1024;
// Diagonals per share of the solid's volume that a merge adds outside it (closed meshes).
constexpr double kVolumeWeight = 4.0;
constexpr std::size_t kGridCells = 96;     // cells of the solid's grid along its longest side
constexpr std::size_t kPricingCells = 64;  // the same for the grid that prices merges
constexpr double kPricedColumns = 1024.0;  // columns that price one merge, at most about
// The share of a patch's hull with its far-side points that may lie outside the solid.
constexpr double kOutsideShare = 0.05;

bool Finite(const cVec3& v) {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

// The distinct corners of faces, in order of first appearance.
cPointList CornersOf(const cTriangleList& faces) {
  cPointList corners;
  cPointIndex seen(faces.size() + 4);
  for (const cTriangle& f : faces) {
    for (const cVec3& v : f.vertex) {
      const auto next = static_cast<std::uint32_t>(corners.size());
      if (seen.FindOrInsert(v, next) == next) corners.push_back(v);
    }
  }
  return corners;
}

// At most limit of points, evenly spread over the list (the first always among them).
cPointList Thin(cPointList points, std::size_t limit) {
  if (points.size() <= limit) return points;
  cPointList kept;
  kept.reserve(limit);
  for (std::size_t k = 0; k < limit; ++k) kept.push_back(points[k * points.size() / limit]);
  return kept;
}

// A face plane in double: unit normal and offset, so that n.p - offset is the signed distance.
struct cPlane {
  cVec3d n;
  double offset = 0.0;
};

std::vector<cPlane> PlanesOf(const cTriangleList& faces) {
  std::vector<cPlane> planes;
  planes.reserve(faces.size());
  for (const cTriangle& f : faces) {
    const cVec3d a = Widen(f.vertex[0]);
    const cVec3d n = Cross((Widen(f.vertex[1]) - a), (Widen(f.vertex[2]) - a));
    const double length = Length(n);
    if (!(length > 0.0)) continue;
    const cVec3d unit{n.x / length, n.y / length, n.z / length};
    planes.push_back({unit, Dot(unit, a)});
  }
  return planes;
}

// The distance between the boxes of two point lists (0 when they overlap or one is empty).
double Gap(const cPointList& a, const cPointList& b) {
  if (a.empty() || b.empty()) return 0.0;
  const cBoundBox x = ComputeBoundBox(a), y = ComputeBoundBox(b);
  const double dx = std::max({0.0, double(y.min.x) - x.max.x, double(x.min.x) - y.max.x});
  const double dy = std::max({0.0, double(y.min.y) - x.max.y, double(x.min.y) - y.max.y});
  const double dz = std::max({0.0, double(y.min.z) - x.max.z, double(x.min.z) - y.max.z});
  return std::sqrt(dx * dx + dy * dy + dz * dz);
}

// Points spread over the whole surface, found by box through a uniform grid: a hull that reaches
// through the surface (across a hole, a notch, the far side of a bend) has some of them deep
// inside, whichever cluster they belong to.
class cProbes {
 public:
  // The centre and the edge midpoints of every triangle, thinned to count: points inside the
  // faces too, since a long face (the floor of a notch) may have all its corners on the hull.
  cProbes(const std::vector<cTriangleList>& patches, std::size_t count) {
    cPointList spread;
    for (const cTriangleList& patch : patches) {
      for (const cTriangle& t : patch) {
        const cVec3 &a = t.vertex[0], &b = t.vertex[1], &c = t.vertex[2];
        const cVec3 inner[4] = {
            cVec3((a.x + b.x + c.x) / 3, (a.y + b.y + c.y) / 3, (a.z + b.z + c.z) / 3),
            cVec3((a.x + b.x) / 2, (a.y + b.y) / 2, (a.z + b.z) / 2),
            cVec3((b.x + c.x) / 2, (b.y + c.y) / 2, (b.z + c.z) / 2),
            cVec3((c.x + a.x) / 2, (c.y + a.y) / 2, (c.z + a.z) / 2)};
        for (const cVec3& v : inner) {
          if (Finite(v)) spread.push_back(v);
        }
      }
    }
    points = Thin(std::move(spread), count);
    if (points.empty()) return;
    box = ComputeBoundBox(points);
    for (int axis = 0; axis < 3; ++axis) {
      const double extent = double((&box.max.x)[axis]) - (&box.min.x)[axis];
      scale[axis] = extent > 0.0 ? kCells / extent : 0.0;
    }
    std::vector<std::pair<std::uint32_t, std::uint32_t>> order;
    for (std::size_t i = 0; i < points.size(); ++i) {
      order.emplace_back(CellOf(points[i]), static_cast<std::uint32_t>(i));
    }
    std::sort(order.begin(), order.end());
    first.assign(kCells * kCells * kCells + 1, 0);
    for (const auto& [cell, i] : order) ++first[cell + 1];
    for (std::size_t c = 1; c < first.size(); ++c) first[c] += first[c - 1];
    cPointList sorted;
    for (const auto& [cell, i] : order) sorted.push_back(points[i]);
    points = std::move(sorted);
  }

  // Where a ray from `from` along the unit vector `inward` first passes within radius of a
  // probe farther than 2 * radius along it: the probe's place along the ray, less the radius.
  // False when it leaves the probes' box first.
  bool Opposite(const cVec3d& from, const cVec3d& inward, double radius, cVec3d& hit,
                double limit = INFINITY) const {
    if (points.empty() || !(radius > 0.0)) return false;
    // Half the narrowest cell; but on a box far narrower along one axis than along the ray (a
    // thin slab) that would take millions of steps, so at least a quarter of the step that
    // moves half a cell along every axis, which crosses the box in a few hundred.
    double step = INFINITY, along = INFINITY;
    for (int axis = 0; axis < 3; ++axis) {
      if (!(scale[axis] > 0.0)) continue;
      step = std::min(step, 0.5 / scale[axis]);
      const double share = std::fabs((&inward.x)[axis]);
      if (share > 0.0) along = std::min(along, 0.5 / (scale[axis] * share));
    }
    if (!std::isfinite(step)) return false;
    if (std::isfinite(along)) step = std::max(step, 0.25 * along);
    double best = limit;
    std::uint32_t lastCell = 0xffffffffu;
    for (double t = 0.0;; t += step) {
      const cVec3d at{from.x + t * inward.x, from.y + t * inward.y, from.z + t * inward.z};
      if (at.x < box.min.x || at.y < box.min.y || at.z < box.min.z || at.x > box.max.x ||
          at.y > box.max.y || at.z > box.max.z || t > best + 4.0 * step) {
        break;
      }
      const cVec3 near(static_cast<float>(at.x), static_cast<float>(at.y),
                       static_cast<float>(at.z));
      const std::uint32_t cell = CellOf(near);
      if (cell == lastCell) continue;
      lastCell = cell;
      for (std::uint32_t i = first[cell]; i < first[cell + 1]; ++i) {
        const cVec3d v = (Widen(points[i]) - from);
        const double along = Dot(v, inward);
        if (along <= 2.0 * radius || along >= best) continue;
        if (Dot(v, v) - along * along < radius * radius) best = along;
      }
    }
    if (!std::isfinite(best)) return false;
    // Short of the probe by the radius: a ray that grazes the far side meets it no later.
    best -= radius;
    hit = {from.x + best * inward.x, from.y + best * inward.y, from.z + best * inward.z};
    return true;
  }

  // Calls visit for every point in the cells that the box of [low, high] touches.
  template <class cVisit>
  void InBox(const cVec3& low, const cVec3& high, cVisit&& visit) const {
    if (points.empty()) return;
    int from[3], to[3];
    for (int axis = 0; axis < 3; ++axis) {
      from[axis] = Cell((&low.x)[axis], axis);
      to[axis] = Cell((&high.x)[axis], axis);
    }
    for (int x = from[0]; x <= to[0]; ++x) {
      for (int y = from[1]; y <= to[1]; ++y) {
        for (int z = from[2]; z <= to[2]; ++z) {
          const std::size_t cell = (std::size_t(x) * kCells + y) * kCells + z;
          for (std::uint32_t i = first[cell]; i < first[cell + 1]; ++i) visit(points[i]);
        }
      }
    }
  }

 private:
  static constexpr int kCells = 24;
  int Cell(float value, int axis) const {
    const double at = (double(value) - (&box.min.x)[axis]) * scale[axis];
    return static_cast<int>(std::clamp(at, 0.0, double(kCells - 1)));
  }
  std::uint32_t CellOf(const cVec3& p) const {
    return static_cast<std::uint32_t>((Cell(p.x, 0) * kCells + Cell(p.y, 1)) * kCells +
                                      Cell(p.z, 2));
  }

  cPointList points;
  cBoundBox box;
  double scale[3] = {0.0, 0.0, 0.0};
  std::vector<std::uint32_t> first;
};

// Which cells of a grid of cubes over a closed mesh's box have their centre inside the solid:
// the line through every column's centre (columns along z) is crossed with the triangles, and
// the parity of the crossings below a cell's centre says whether it is inside. Kept as counts,
// per column, of the cells outside the solid below each height, so that the cells of any
// stretch of a column outside the solid are counted at once.
class cSolidGrid {
 public:
  cSolidGrid(const cTriangleList& mesh, std::size_t resolution) {
    bool any = false;
    for (const cTriangle& t : mesh) {
      for (const cVec3& v : t.vertex) {
        if (!Finite(v)) continue;
        if (!any) box = {v, v};
        any = true;
        ExtendBox(box, v);
      }
    }
    if (!any) return;
    double longest = 0.0;
    for (int a = 0; a < 3; ++a) {
      longest = std::max(longest, double((&box.max.x)[a]) - (&box.min.x)[a]);
    }
    if (!(longest > 0.0) || !std::isfinite(longest)) return;
    // A margin of cells around the box, for the hulls that reach beyond it.
    h = longest / double(resolution);
    const std::size_t margin = resolution / 12;
    for (int a = 0; a < 3; ++a) {
      const double extent = double((&box.max.x)[a]) - (&box.min.x)[a];
      origin[a] = (&box.min.x)[a] - (double(margin) + 0.3819660112501051) * h;
      cells[a] =
          std::clamp<std::size_t>(static_cast<std::size_t>(std::ceil(extent / h)), 1, resolution) +
          2 * margin;
    }
    // Every crossing, by column.
    std::vector<std::pair<std::uint32_t, double>> crossings;
    for (const cTriangle& t : mesh) {
      if (!Finite(t.vertex[0]) || !Finite(t.vertex[1]) || !Finite(t.vertex[2])) continue;
      const cBoundBox b = ComputeBoundBox(cPointList{t.vertex[0], t.vertex[1], t.vertex[2]});
      const auto [i0, i1] = Centres(b.min.x, b.max.x, 0);
      const auto [j0, j1] = Centres(b.min.y, b.max.y, 1);
      for (long j = j0; j <= j1; ++j) {
        for (long i = i0; i <= i1; ++i) {
          double z = 0.0;
          if (VerticalCrossing(t, Line(i, j), z)) {
            crossings.emplace_back(static_cast<std::uint32_t>(j * cells[0] + i), z);
          }
        }
      }
    }
    std::sort(crossings.begin(), crossings.end());
    const std::size_t columns = cells[0] * cells[1];
    crossingStart.assign(columns + 1, 0);
    for (const auto& [column, z] : crossings) {
      ++crossingStart[column + 1];
      crossingZ.push_back(z);
    }
    for (std::size_t c = 0; c < columns; ++c) {
      crossingStart[c + 1] += crossingStart[c];
      for (std::uint32_t k = crossingStart[c]; k + 1 < crossingStart[c + 1]; k += 2) {
        solidLength += crossingZ[k + 1] - crossingZ[k];
      }
    }
    outsideBelow.assign(columns * (cells[2] + 1), 0);
    std::size_t next = 0;
    for (std::size_t c = 0; c < columns; ++c) {
      std::uint32_t* below = &outsideBelow[c * (cells[2] + 1)];
      std::size_t passed = 0;  // crossings below the cell's centre
      for (std::size_t k = 0; k < cells[2]; ++k) {
        const double centre = origin[2] + (double(k) + 0.5) * h;
        while (next + passed < crossings.size() && crossings[next + passed].first == c &&
               crossings[next + passed].second < centre) {
          ++passed;
        }
        below[k + 1] = below[k] + (passed % 2 == 0 ? 1 : 0);
        if (passed % 2 == 1) solidCells += 1.0;
      }
      while (next < crossings.size() && crossings[next].first == c) ++next;
    }
    valid = solidCells > 0.0;
  }

  bool Valid() const { return valid; }
  double SolidVolume() const { return solidCells * h * h * h; }
  double CellSize() const { return h; }

  // The cells whose centres lie in the hull of points: how many, and how many of them outside
  // the solid (none for fewer than four points or a flat hull).
  struct cCellCount {
    std::uint64_t outside = 0, all = 0;
  };
  cCellCount CountHull(const cPointList& points) const {
    const cTriangleList faces = points.size() > 3 ? SoundHull(points) : cTriangleList();
    if (faces.size() < 4) return {};
    return Count(PlanesOf(faces), ComputeBoundBox(faces), 1);
  }

  // The intersection over union of the solid and the union of the hulls, measured along the
  // lines through the columns' centres.
  double UnionIoU(const std::vector<cFittedHull>& hulls) const {
    if (!valid) return 0.0;
    struct cStretch {
      std::size_t column;
      double low, high;
      bool operator<(const cStretch& o) const {
        return column != o.column ? column < o.column : low != o.low ? low < o.low : high < o.high;
      }
    };
    std::vector<cStretch> stretches;
    for (const cFittedHull& hull : hulls) {
      if (hull.faces.size() < 4) continue;
      ForColumns(PlanesOf(hull.faces), ComputeBoundBox(hull.faces),
                 [&](std::size_t column, long, long, double low, double high) {
                   stretches.push_back({column, low, high});
                 });
    }
    std::sort(stretches.begin(), stretches.end());
    double both = 0.0, hullLength = 0.0;
    for (std::size_t s = 0; s < stretches.size();) {
      // One run of overlapping stretches of a column, against the solid's stretches there.
      const std::size_t column = stretches[s].column;
      const double low = stretches[s].low;
      double high = stretches[s].high;
      for (++s; s < stretches.size() && stretches[s].column == column && stretches[s].low <= high;
           ++s) {
        high = std::max(high, stretches[s].high);
      }
      hullLength += high - low;
      for (std::uint32_t c = crossingStart[column]; c + 1 < crossingStart[column + 1]; c += 2) {
        both += std::max(0.0, std::min(high, crossingZ[c + 1]) - std::max(low, crossingZ[c]));
      }
    }
    return both / (solidLength + hullLength - both);
  }

  // Where a ray from `from` (on the surface) along the unit vector `inward` leaves the solid
  // again, as the cells tell it: halfway between the last step inside and the first outside,
  // in steps of half a cell. False when it meets no cell inside within two cells of the start,
  // or never leaves.
  bool Exit(const cVec3d& from, const cVec3d& inward, double& distance) const {
    if (!valid) return false;
    const double step = 0.5 * h;
    const double reach =
        2.0 * std::sqrt(3.0) * h * double(std::max({cells[0], cells[1], cells[2]}));
    bool entered = false;
    for (double t = 0.0; t <= reach; t += step) {
      const cVec3d at{from.x + t * inward.x, from.y + t * inward.y, from.z + t * inward.z};
      const int state = Inside(at);
      if (state > 0) {
        entered = true;
      } else if (entered) {
        distance = t - 0.5 * step;
        return true;
      } else if (t > 2.0 * h) {
        return false;
      }
    }
    return false;
  }

  // The volume of the cells outside the solid whose centre lies in the convex polytope
  // {p : n.p <= offset for every plane} within box.
  // Over a large box only every stride-th column of every stride-th row is looked at, each
  // standing for stride x stride columns, so that at most about kPricedColumns are.
  double Outside(const std::vector<cPlane>& planes, const cBoundBox& within) const {
    if (!valid || planes.empty()) return 0.0;
    const auto [i0, i1] = Centres(within.min.x, within.max.x, 0);
    const auto [j0, j1] = Centres(within.min.y, within.max.y, 1);
    if (i0 > i1 || j0 > j1) return 0.0;
    const double columns = double(i1 - i0 + 1) * double(j1 - j0 + 1);
    const long stride =
        std::max(1L, static_cast<long>(std::ceil(std::sqrt(columns / kPricedColumns))));
    return double(Count(planes, within, stride).outside) * double(stride * stride) * h * h * h;
  }

 private:
  cCellCount Count(const std::vector<cPlane>& planes, const cBoundBox& within, long stride) const {
    cCellCount count;
    ForColumns(
        planes, within,
        [&](std::size_t column, long first, long last, double, double) {
          const std::uint32_t* counts = &outsideBelow[column * (cells[2] + 1)];
          count.outside += counts[last + 1] - counts[first];
          count.all += std::uint64_t(last - first + 1);
        },
        stride);
    return count;
  }

  // The cells along axis whose centres lie in [low, high], as a clamped range (first > last
  // when none).
  std::pair<long, long> Centres(float low, float high, int axis) const {
    const double top = double(cells[axis]) - 1.0;
    const double first = std::ceil((double(low) - origin[axis]) / h - 0.5);
    const double last = std::floor((double(high) - origin[axis]) / h - 0.5);
    if (!(first <= last) || first > top || last < 0.0) return {1, 0};
    return {static_cast<long>(std::max(first, 0.0)), static_cast<long>(std::min(last, top))};
  }
  // Calls visit(column, first, last) for every column in within (x, y) whose centre line meets
  // the convex polytope {p : n.p <= offset for every plane}, with the cells [first, last] of
  // the column (within's z range) whose centres lie in it.
  template <class cVisit>
  void ForColumns(const std::vector<cPlane>& planes, const cBoundBox& within, cVisit&& visit,
                  long stride = 1) const {
    const auto [i0, i1] = Centres(within.min.x, within.max.x, 0);
    const auto [j0, j1] = Centres(within.min.y, within.max.y, 1);
    const auto [k0, k1] = Centres(within.min.z, within.max.z, 2);
    if (i0 > i1 || j0 > j1 || k0 > k1) return;
    // Each plane as a bound on z over a column's centre: z <= a x + b y + c above (n.z > 0),
    // z >= a x + b y + c below (n.z < 0); a vertical plane rules out the columns beyond it.
    struct cBound {
      double a, b, c;
    };
    std::vector<cBound> above, below, sides;
    for (const cPlane& plane : planes) {
      if (plane.n.z != 0.0) {
        const cBound bound{-plane.n.x / plane.n.z, -plane.n.y / plane.n.z,
                           plane.offset / plane.n.z};
        (plane.n.z > 0.0 ? above : below).push_back(bound);
      } else {
        sides.push_back({plane.n.x, plane.n.y, plane.offset});
      }
    }
    // Row by row, plane by plane over the row's columns (a loop without branches).
    const std::size_t width = std::size_t((i1 - i0) / stride + 1);
    std::vector<double> xs(width), lows(width), highs(width);
    for (std::size_t i = 0; i < width; ++i) {
      xs[i] = origin[0] + (double(i0 + long(i) * stride) + 0.5) * h;
    }
    for (long j = j0; j <= j1; j += stride) {
      const double y = origin[1] + (double(j) + 0.5) * h;
      std::fill(lows.begin(), lows.end(), -INFINITY);
      std::fill(highs.begin(), highs.end(), INFINITY);
      for (const cBound& b : above) {
        const double at = b.b * y + b.c;
        for (std::size_t i = 0; i < width; ++i) highs[i] = std::min(highs[i], b.a * xs[i] + at);
      }
      for (const cBound& b : below) {
        const double at = b.b * y + b.c;
        for (std::size_t i = 0; i < width; ++i) lows[i] = std::max(lows[i], b.a * xs[i] + at);
      }
      for (const cBound& side : sides) {
        const double at = side.c - side.b * y;
        for (std::size_t i = 0; i < width; ++i) {
          if (!(side.a * xs[i] <= at)) highs[i] = -INFINITY;
        }
      }
      for (std::size_t i = 0; i < width; ++i) {
        const double low = lows[i], high = highs[i];
        if (!(low <= high)) continue;
        const long first = std::max<long>(
            k0, static_cast<long>(std::ceil(std::clamp((low - origin[2]) / h - 0.5, -1.0, 1e9))));
        const long last = std::min<long>(
            k1, static_cast<long>(std::floor(std::clamp((high - origin[2]) / h - 0.5, -1.0, 1e9))));
        if (first <= last) {
          visit(std::size_t(j) * cells[0] + std::size_t(i0 + long(i) * stride), first, last, low,
                high);
        }
      }
    }
  }

  // 1 when p's cell has its centre inside the solid, 0 when outside, -1 off the grid.
  int Inside(const cVec3d& p) const {
    const double at[3] = {(p.x - origin[0]) / h, (p.y - origin[1]) / h, (p.z - origin[2]) / h};
    std::size_t index[3];
    for (int a = 0; a < 3; ++a) {
      if (!(at[a] >= 0.0) || !(at[a] < double(cells[a]))) return -1;
      index[a] = static_cast<std::size_t>(at[a]);
    }
    const std::uint32_t* below = &outsideBelow[(index[1] * cells[0] + index[0]) * (cells[2] + 1)];
    return below[index[2] + 1] == below[index[2]] ? 1 : 0;
  }
  cVec3 Line(long i, long j) const {
    return cVec3(static_cast<float>(origin[0] + (double(i) + 0.5) * h),
                 static_cast<float>(origin[1] + (double(j) + 0.5) * h), 0.0f);
  }

  cBoundBox box;
  double origin[3] = {0.0, 0.0, 0.0};
  double h = 0.0;
  std::size_t cells[3] = {0, 0, 0};
  double solidCells = 0.0;
  std::vector<std::uint32_t> outsideBelow;
  std::vector<std::uint32_t> crossingStart;  // per column, into crossingZ
  std::vector<double> crossingZ;             // sorted within each column
  double solidLength = 0.0;                  // of every column's line inside the solid
  bool valid = false;
};

// How deep the deepest probe (or extra point) lies inside the hull of corners (0 when none is
// inside).
// With a grid, outside gets the volume of the hull outside the solid (as the grid's cells
// tell it).
double Concavity(const cPointList& corners, const cProbes* probes, const cPointList& extra,
                 cPointList* hullCorners, const cSolidGrid* grid = nullptr,
                 double* outside = nullptr) {
  const cTriangleList faces = SoundHull(corners);
  if (hullCorners != nullptr) *hullCorners = Thin(CornersOf(faces), kRepresentatives);
  if (outside != nullptr) *outside = 0.0;
  if (faces.size() < 4) return 0.0;
  const std::vector<cPlane> planes = PlanesOf(faces);
  if (grid != nullptr && outside != nullptr) {
    *outside = grid->Outside(planes, ComputeBoundBox(faces));
  }
  if ((probes == nullptr && extra.empty()) || planes.empty()) return 0.0;
  double deepest = 0.0;
  // A probe deeper than the deepest so far must be behind every plane by more; the plane that
  // ruled out the last probe is tried first, since the next one usually lies near it.
  std::size_t hint = 0;
  auto probe = [&](const cVec3& s) {
    const cVec3d p = Widen(s);
    if (planes[hint].offset - Dot(planes[hint].n, p) <= deepest) return;
    double depth = INFINITY;
    for (std::size_t k = 0; k < planes.size(); ++k) {
      depth = std::min(depth, planes[k].offset - Dot(planes[k].n, p));
      if (depth <= deepest) {
        hint = k;
        break;
      }
    }
    if (depth > deepest && std::isfinite(depth)) deepest = depth;
  };
  if (probes != nullptr) {
    const cBoundBox box = ComputeBoundBox(faces);
    probes->InBox(box.min, box.max, probe);
  }
  for (const cVec3& s : extra) probe(s);
  return deepest;
}

// Every patch's distinct finite corners, and those of them that are corners of its hull: the
// hull of a cluster is that of its patches' hull corners (and inside points).
struct cPatchCorners {
  std::vector<cPointList> all;
  std::vector<cPointList> hull;
};

cPatchCorners PatchCornersOf(std::vector<cPointList>&& all) {
  cPatchCorners corners;
  corners.all = std::move(all);
  corners.hull.resize(corners.all.size());
  for (std::size_t r = 0; r < corners.all.size(); ++r) {
    const cTriangleList faces =
        corners.all[r].size() > 3 ? SoundHull(corners.all[r]) : cTriangleList();
    corners.hull[r] = faces.size() >= 4 ? CornersOf(faces) : corners.all[r];
  }
  return corners;
}

struct cCluster {
  std::vector<cIndex> regions;
  cPointList corners;  // at most kRepresentatives hull corners
  std::vector<cIndex> neighbours;
  double area = 0.0;
  double outside = 0.0;  // volume of the hull of corners outside the solid
  std::uint32_t version = 0;
  bool alive = true;
};

struct cCandidate {
  double cost;
  double concavity;
  cIndex a, b;
  std::uint32_t versionA, versionB;
  bool adjacent;  // the clusters share an edge (else they are joined along space)
};
struct cLater {
  bool operator()(const cCandidate& x, const cCandidate& y) const {
    if (x.cost != y.cost) return x.cost > y.cost;
    if (x.a != y.a) return x.a > y.a;
    return x.b > y.b;
  }
};

class cMerger {
 public:
  cMerger(const std::vector<cTriangleList>& patches, const cPatchCorners& patchCorners,
          const std::vector<cPointList>& inside, std::vector<std::vector<cIndex>>&& neighbours,
          const cProbes& probes, double diagonal, const cSolidGrid* grid)
      : diagonal(diagonal > 0.0 && std::isfinite(diagonal) ? diagonal : 1.0),
        probes(probes),
        grid(grid != nullptr && grid->Valid() ? grid : nullptr),
        patchCorners(&patchCorners),
        inside(&inside) {
    clusters.resize(patches.size());
    parent.resize(patches.size());
    std::iota(parent.begin(), parent.end(), cIndex{0});
    for (std::size_t r = 0; r < patches.size(); ++r) {
      cCluster& c = clusters[r];
      c.regions.push_back(static_cast<cIndex>(r));
      c.neighbours = std::move(neighbours[r]);
      cPointList points = patchCorners.hull[r];
      points.insert(points.end(), inside[r].begin(), inside[r].end());
      c.corners = Thin(points.size() > 3 ? CornersOf(SoundHull(points)) : points, kRepresentatives);
      if (this->grid != nullptr) Concavity(c.corners, nullptr, {}, nullptr, this->grid, &c.outside);
      for (const cTriangle& t : patches[r]) c.area += 0.5 * Length(Normal(t));
      if (!std::isfinite(c.area)) c.area = 0.0;
      totalArea += c.area;
    }
    if (!(totalArea > 0.0)) totalArea = 1.0;
    alive = patches.size();
  }

  // Merges until at most target clusters remain and no free merge is left. False when progress
  // asked to stop.
  // Progress goes from `from` to `from + span`.
  bool Run(std::size_t target, const cProgress& progress, double from = 0.0, double span = 1.0) {
    for (cIndex a = 0; a < clusters.size(); ++a) {
      for (const cIndex b : clusters[a].neighbours) {
        if (a < b) Offer(a, b, true);
      }
      clusters[a].neighbours = {};
    }
    // Parts that share no edge with the rest (separate shells, loose triangles) compete from the
    // start, so that they do not keep the count up while the shells merge.
    ConnectAlongSpace();
    const std::size_t start = alive;
    const std::size_t toMerge = start > target ? start - target : 1;
    std::size_t merged = 0;
    while (alive > 1) {
      if (queue.empty()) {
        if (alive <= target) break;
        ConnectAlongSpace();
        continue;
      }
      cCandidate best = queue.top();
      queue.pop();
      best.a = Find(best.a);
      best.b = Find(best.b);
      if (best.a == best.b) continue;
      if (best.a > best.b) std::swap(best.a, best.b);
      // A pair priced before one of its clusters changed is priced again when it comes up:
      // merging only makes clusters less convex, so its new price is no lower.
      if (clusters[best.a].version != best.versionA || clusters[best.b].version != best.versionB) {
        Offer(best.a, best.b, best.adjacent);
        continue;
      }
      // Past the count only merges that cost no concavity go on; any other pair is dropped
      // (merging only makes clusters less convex, so it would not become free later).
      if (alive <= target && !Free(best)) continue;
      Merge(best.a, best.b);
      if ((++merged & 63) == 0 &&
          !KeepGoing(progress, "fitting", from + span * std::min(1.0, double(merged) / toMerge))) {
        return false;
      }
    }
    return true;
  }

  // The surviving clusters, each as its region numbers in ascending order, ordered by the first.
  std::vector<std::vector<cIndex>> Clusters() const {
    std::vector<std::vector<cIndex>> result;
    for (const cCluster& c : clusters) {
      if (!c.alive) continue;
      std::vector<cIndex> regions = c.regions;
      std::sort(regions.begin(), regions.end());
      result.push_back(std::move(regions));
    }
    std::sort(result.begin(), result.end());
    return result;
  }

 private:
  cIndex Find(cIndex x) {
    while (parent[x] != x) {
      parent[x] = parent[parent[x]];
      x = parent[x];
    }
    return x;
  }

  // When no neighbouring pair is left: links every cluster to the next along a Morton order of
  // the centres of its corners' box.
  void ConnectAlongSpace() {
    cBoundBox all;
    bool first = true;
    std::vector<std::pair<cIndex, cVec3d>> centres;
    for (cIndex i = 0; i < clusters.size(); ++i) {
      if (!clusters[i].alive) continue;
      cVec3d centre;
      if (!clusters[i].corners.empty()) {
        const cBoundBox box = ComputeBoundBox(clusters[i].corners);
        centre = {(double(box.min.x) + box.max.x) / 2, (double(box.min.y) + box.max.y) / 2,
                  (double(box.min.z) + box.max.z) / 2};
        for (const cVec3& v : clusters[i].corners) {
          if (first) all = {v, v};
          first = false;
          ExtendBox(all, v);
        }
      }
      centres.emplace_back(i, centre);
    }
    const cVec3d low = Widen(all.min);
    const cVec3d size = (Widen(all.max) - low);
    auto cell = [](double value, double from, double extent) {
      const double share = extent > 0.0 ? (value - from) / extent : 0.0;
      return static_cast<std::uint64_t>(std::clamp(share, 0.0, 1.0) * 2097151.0);
    };
    std::vector<std::pair<std::uint64_t, cIndex>> order;
    for (const auto& [i, c] : centres) {
      const std::uint64_t coords[3] = {cell(c.x, low.x, size.x), cell(c.y, low.y, size.y),
                                       cell(c.z, low.z, size.z)};
      std::uint64_t code = 0;
      for (int bit = 20; bit >= 0; --bit) {
        for (int axis = 0; axis < 3; ++axis) code = code << 1 | ((coords[axis] >> bit) & 1);
      }
      order.emplace_back(code, i);
    }
    std::sort(order.begin(), order.end());
    for (std::size_t k = 1; k < order.size(); ++k) {
      const cIndex a = order[k - 1].second, b = order[k].second;
      Offer(std::min(a, b), std::max(a, b), false);
    }
  }

  // Prices the pair once for the clusters as they are now. Clusters that share no edge pay the
  // gap between the boxes of their corners too: their hull bridges it, which no surface point
  // shows.
  void Offer(cIndex a, cIndex b, bool adjacent) {
    const cCluster& x = clusters[a];
    const cCluster& y = clusters[b];
    if (!priced.insert({a, b, x.version, y.version, adjacent ? 1u : 0u}).second) return;
    const double gap = adjacent ? 0.0 : Gap(x.corners, y.corners);
    cPointList corners = x.corners;
    corners.insert(corners.end(), y.corners.begin(), y.corners.end());
    double outside = 0.0;
    const double concavity = Concavity(corners, &probes, {}, nullptr, grid, &outside);
    double cost = concavity + gap + kAreaWeight * diagonal * (x.area + y.area) / totalArea;
    if (grid != nullptr) {
      cost += kVolumeWeight * diagonal * (outside - x.outside - y.outside) / grid->SolidVolume();
    }
    queue.push({cost, concavity + gap, a, b, x.version, y.version, adjacent});
  }

  // Whether merging costs no concavity, checked on every corner of the two clusters against
  // the exact hull of them all (the price looks only at the probes).
  bool Free(const cCandidate& c) {
    if (!c.adjacent || c.concavity > kFreeConcavity * diagonal) return false;
    cPointList corners, samples;
    for (const cIndex x : {c.a, c.b}) {
      for (const cIndex r : clusters[x].regions) {
        const cPointList& all = patchCorners->all[r];
        const cPointList& hull = patchCorners->hull[r];
        samples.insert(samples.end(), all.begin(), all.end());
        corners.insert(corners.end(), hull.begin(), hull.end());
        corners.insert(corners.end(), (*inside)[r].begin(), (*inside)[r].end());
      }
    }
    return Concavity(corners, &probes, samples, nullptr) <= kFreeConcavity * diagonal;
  }

  void Merge(cIndex a, cIndex b) {
    cCluster& x = clusters[a];
    cCluster& y = clusters[b];
    x.regions.insert(x.regions.end(), y.regions.begin(), y.regions.end());
    cPointList corners = x.corners;
    corners.insert(corners.end(), y.corners.begin(), y.corners.end());
    Concavity(corners, nullptr, {}, &x.corners, grid, &x.outside);
    x.area += y.area;
    y = cCluster();
    y.alive = false;
    parent[b] = a;
    --alive;
    ++x.version;
  }

  double diagonal;
  const cProbes& probes;
  const cSolidGrid* grid;  // closed mesh: merges also pay for the volume they add outside it
  double totalArea = 0.0;
  std::vector<cCluster> clusters;
  std::vector<cIndex> parent;
  std::size_t alive = 0;
  std::priority_queue<cCandidate, std::vector<cCandidate>, cLater> queue;
  // Pairs with the versions they were priced at, and whether they share an edge: a pair joined
  // along space too keeps its own entry as neighbours.
  std::set<std::array<std::uint32_t, 5>> priced;
  const cPatchCorners* patchCorners;
  const std::vector<cPointList>* inside;
};

// The starting clusters: every piece cut into patches of at most patchSize triangles that are
// connected across shared edges, grown breadth first from the piece's first free triangle. Two
// patches are neighbours when a triangle of one and a triangle of the other have an edge with
// the same two corners (either direction); an edge of many triangles links them in a chain.
struct cPatches {
  std::vector<cTriangleList> triangles;
  std::vector<std::vector<cIndex>> neighbours;
  std::vector<cPointList> corners;  // distinct finite corners, in order of first appearance
};

cPatches CutIntoPatches(const std::vector<cGrownPiece>& pieces, std::size_t patchSize) {
  std::vector<const cTriangle*> all;
  std::vector<cIndex> pieceOf;
  for (std::size_t p = 0; p < pieces.size(); ++p) {
    for (const cTriangle& t : pieces[p].triangles) {
      all.push_back(&t);
      pieceOf.push_back(static_cast<cIndex>(p));
    }
  }
  // Edges as pairs of corner numbers, with the triangles that have them.
  // Corner numbers, kNoCorner for a corner with a NaN coordinate.
  constexpr std::uint32_t kNoCorner = 0xffffffffu;
  cPointIndex numbers(all.size() + 16);
  std::vector<std::array<std::uint32_t, 3>> ids(all.size());
  std::vector<std::pair<std::uint64_t, cIndex>> edges;
  edges.reserve(3 * all.size());
  std::uint32_t next = 0;
  for (std::size_t i = 0; i < all.size(); ++i) {
    std::array<std::uint32_t, 3>& id = ids[i];
    bool usable = true;
    for (int k = 0; k < 3; ++k) {
      const cVec3& v = all[i]->vertex[k];
      if (HasNaN(v)) {
        usable = false;
        id[k] = kNoCorner;
        continue;
      }
      id[k] = numbers.FindOrInsert(v, next);
      if (id[k] == next) ++next;
    }
    if (!usable) continue;
    for (int k = 0; k < 3; ++k) {
      const std::uint32_t a = id[k], b = id[(k + 1) % 3];
      if (a == b) continue;
      edges.emplace_back(std::uint64_t(std::min(a, b)) << 32 | std::max(a, b),
                         static_cast<cIndex>(i));
    }
  }
  std::sort(edges.begin(), edges.end());
  // Triangle neighbours, as offsets into one list.
  std::vector<cIndex> count(all.size() + 1, 0);
  for (std::size_t e = 1; e < edges.size(); ++e) {
    if (edges[e].first != edges[e - 1].first || edges[e].second == edges[e - 1].second) continue;
    ++count[edges[e].second];
    ++count[edges[e - 1].second];
  }
  std::vector<cIndex> first(all.size() + 1, 0);
  for (std::size_t i = 0; i < all.size(); ++i) first[i + 1] = first[i] + count[i];
  std::vector<cIndex> adjacent(first.back());
  std::vector<cIndex> fill(first.begin(), first.end() - 1);
  for (std::size_t e = 1; e < edges.size(); ++e) {
    if (edges[e].first != edges[e - 1].first || edges[e].second == edges[e - 1].second) continue;
    adjacent[fill[edges[e].second]++] = edges[e - 1].second;
    adjacent[fill[edges[e - 1].second]++] = edges[e].second;
  }
  edges = {};

  constexpr cIndex kFree = 0xffffffffu;
  std::vector<cIndex> patchOf(all.size(), kFree);
  cPatches result;
  std::vector<cIndex> queue;
  std::vector<cIndex> order;  // the triangles in patch order
  order.reserve(all.size());
  for (std::size_t seed = 0; seed < all.size(); ++seed) {
    if (patchOf[seed] != kFree) continue;
    const auto patch = static_cast<cIndex>(result.triangles.size());
    result.triangles.emplace_back();
    queue.assign(1, static_cast<cIndex>(seed));
    patchOf[seed] = patch;
    for (std::size_t at = 0; at < queue.size(); ++at) {
      const cIndex t = queue[at];
      result.triangles.back().push_back(*all[t]);
      order.push_back(t);
      for (cIndex k = first[t]; k < first[t + 1] && queue.size() < patchSize; ++k) {
        const cIndex u = adjacent[k];
        if (patchOf[u] != kFree || pieceOf[u] != pieceOf[t]) continue;
        patchOf[u] = patch;
        queue.push_back(u);
      }
    }
  }
  // Each patch's distinct finite corners, from the corner numbers.
  result.corners.resize(result.triangles.size());
  {
    std::vector<cIndex> seenIn(next, kFree);
    for (std::size_t patch = 0, t = 0; patch < result.triangles.size(); ++patch) {
      for (std::size_t k = 0; k < result.triangles[patch].size(); ++k, ++t) {
        const cIndex triangle = order[t];
        for (int c = 0; c < 3; ++c) {
          const std::uint32_t id = ids[triangle][c];
          const cVec3& v = all[triangle]->vertex[c];
          if (id == kNoCorner || seenIn[id] == patch || !Finite(v)) continue;
          seenIn[id] = static_cast<cIndex>(patch);
          result.corners[patch].push_back(v);
        }
      }
    }
  }
  result.neighbours.resize(result.triangles.size());
  for (std::size_t t = 0; t < all.size(); ++t) {
    for (cIndex k = first[t]; k < first[t + 1]; ++k) {
      const cIndex a = patchOf[t], b = patchOf[adjacent[k]];
      if (a != b) result.neighbours[a].push_back(b);
    }
  }
  for (std::vector<cIndex>& list : result.neighbours) {
    std::sort(list.begin(), list.end());
    list.erase(std::unique(list.begin(), list.end()), list.end());
  }
  return result;
}

// For a closed mesh: points on the far side of the solid behind every patch, where rays from a
// few of its triangles' centres, cast inward against their normals, meet the surface again (as
// the probes tell it, to about their spacing). A patch's hull then reaches through the solid
// behind it instead of being a thin shell, and a cluster of patches fills its part of the solid.
std::vector<cPointList> InsidePoints(const std::vector<cTriangleList>& patches,
                                     const cProbes& probes, const cSolidGrid* grid,
                                     const cPatchCorners& patchCorners) {
  double area = 0.0;
  for (const cTriangleList& patch : patches) {
    for (const cTriangle& t : patch) area += 0.5 * Length(Normal(t));
  }
  const double radius = 1.5 * std::sqrt(area / kProbes);
  std::vector<cPointList> inside(patches.size());
  for (std::size_t p = 0; p < patches.size(); ++p) {
    const cTriangleList& patch = patches[p];
    // Along the patch's area-weighted normal: a single triangle's normal on a noisy scan points
    // anywhere.
    cVec3d sum;
    for (const cTriangle& t : patch) {
      const cVec3d a = Widen(t.vertex[0]);
      const cVec3d n = Cross((Widen(t.vertex[1]) - a), (Widen(t.vertex[2]) - a));
      if (std::isfinite(n.x) && std::isfinite(n.y) && std::isfinite(n.z)) {
        sum = {sum.x + n.x, sum.y + n.y, sum.z + n.z};
      }
    }
    const double length = Length(sum);
    if (!(length > 0.0) || !std::isfinite(length)) continue;
    const cVec3d inward{-sum.x / length, -sum.y / length, -sum.z / length};
    const std::size_t rays = std::min<std::size_t>(patch.size(), kRaysPerPatch);
    std::vector<std::pair<cVec3d, cVec3d>> segments;  // from the patch to the far side
    for (std::size_t k = 0; k < rays; ++k) {
      const cTriangle& t = patch[k * patch.size() / rays];
      const cVec3d a = Widen(t.vertex[0]), b = Widen(t.vertex[1]), c = Widen(t.vertex[2]);
      const cVec3d centre{(a.x + b.x + c.x) / 3, (a.y + b.y + c.y) / 3, (a.z + b.z + c.z) / 3};
      cVec3d hit;
      if (grid != nullptr) {
        double exit = 0.0;
        if (!grid->Exit(centre, inward, exit)) continue;
        const double h = grid->CellSize();
        if (!probes.Opposite(centre, inward, radius, hit, exit + h)) {
          const double back = std::max(0.0, exit - h);
          hit = {centre.x + back * inward.x, centre.y + back * inward.y,
                 centre.z + back * inward.z};
        }
      } else if (!probes.Opposite(centre, inward, radius, hit)) {
        continue;
      }
      segments.emplace_back(centre, hit);
    }
    // Checked by the grid: the hull of the patch and its far-side points must stay in the solid
    // (a patch across a step, like the wall of a hub above a thin ring, would otherwise make a
    // wedge over the ring); the points are drawn towards the patch until at most kOutsideShare
    // of that hull's cells lie outside the solid, more than of the patch's hull alone.
    const cSolidGrid::cCellCount alone = grid != nullptr && !segments.empty()
                                             ? grid->CountHull(patchCorners.hull[p])
                                             : cSolidGrid::cCellCount();
    for (const double share :
         grid != nullptr ? std::vector<double>{1.0, 0.5, 0.25, 0.0} : std::vector<double>{1.0}) {
      cPointList points;
      for (const auto& [from, to] : segments) {
        const cVec3 point(static_cast<float>(from.x + share * (to.x - from.x)),
                          static_cast<float>(from.y + share * (to.y - from.y)),
                          static_cast<float>(from.z + share * (to.z - from.z)));
        if (Finite(point)) points.push_back(point);
      }
      if (share > 0.0 && grid != nullptr) {
        cPointList both = patchCorners.hull[p];
        both.insert(both.end(), points.begin(), points.end());
        const cSolidGrid::cCellCount with = grid->CountHull(both);
        if (double(with.outside) > double(alone.outside) + kOutsideShare * double(with.all)) {
          continue;
        }
      }
      if (share > 0.0) inside[p] = std::move(points);
      break;
    }
  }
  return inside;
}

// The four directions of a regular tetrahedron's faces: supporting planes with these normals
// always bound a finite polytope.
constexpr double kTetra = 0.57735026918962576;
const cVec3d kTetrahedron[4] = {{kTetra, kTetra, kTetra},
                                {kTetra, -kTetra, -kTetra},
                                {-kTetra, kTetra, -kTetra},
                                {-kTetra, -kTetra, kTetra}};

// The corners of the polytope {x : n.x <= offset for every plane}, relative to the origin the
// planes are given in; planes known to bound it. Brute force over triples, for the few planes
// a vertex budget allows.
std::vector<cVec3d> PolytopeCorners(const std::vector<cPlane>& planes, double tolerance) {
  std::vector<cVec3d> corners;
  const std::size_t n = planes.size();
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) {
      const cVec3d ij = Cross(planes[i].n, planes[j].n);
      for (std::size_t k = j + 1; k < n; ++k) {
        const double det = Dot(planes[k].n, ij);
        if (std::fabs(det) < 1e-12) continue;
        const cVec3d jk = Cross(planes[j].n, planes[k].n);
        const cVec3d ki = Cross(planes[k].n, planes[i].n);
        const cVec3d p{
            (planes[i].offset * jk.x + planes[j].offset * ki.x + planes[k].offset * ij.x) / det,
            (planes[i].offset * jk.y + planes[j].offset * ki.y + planes[k].offset * ij.y) / det,
            (planes[i].offset * jk.z + planes[j].offset * ki.z + planes[k].offset * ij.z) / det};
        bool inside = true;
        for (std::size_t m = 0; m < n && inside; ++m) {
          inside = Dot(planes[m].n, p) <= planes[m].offset + tolerance;
        }
        if (inside) corners.push_back(p);
      }
    }
  }
  return corners;
}

bool Holds(const cTriangleList& faces, const cPointList& points) {
  for (const cTriangle& f : faces) {
    for (const cVec3& p : points) {
      if (Orient3d(f.vertex[0], f.vertex[1], f.vertex[2], p) > 0) return false;
    }
  }
  return true;
}

// One hull per cluster, of all its patches' corners and inside points, reduced to maxVertices.
// False when progress asked to stop.
bool HullsOf(const std::vector<std::vector<cIndex>>& clusters, const cPatchCorners& patchCorners,
             const std::vector<cPointList>& inside, std::size_t maxVertices,
             const cProgress& progress, std::vector<cFittedHull>& hulls,
             std::vector<std::size_t>& clusterOf);

}  // namespace

cTriangleList ReduceHullOutward(const cTriangleList& hull, std::size_t maxVertices) {
  cPointList corners;
  for (const cVec3& v : CornersOf(hull)) {
    if (Finite(v)) corners.push_back(v);
  }
  if (corners.size() <= maxVertices) return hull;
  maxVertices = std::max<std::size_t>(maxVertices, 4);

  // Planes through the centre of the corners' box, for small numbers.
  const cBoundBox box = ComputeBoundBox(corners);
  const cVec3d centre{(double(box.min.x) + box.max.x) / 2, (double(box.min.y) + box.max.y) / 2,
                      (double(box.min.z) + box.max.z) / 2};
  std::vector<cVec3d> local;
  double reach = 0.0;
  for (const cVec3& v : corners) {
    local.push_back((Widen(v) - centre));
    reach = std::max(reach, Length(local.back()));
  }
  double magnitude = 0.0;
  for (const cVec3& v : corners) {
    magnitude = std::max(
        {magnitude, std::fabs(double(v.x)), std::fabs(double(v.y)), std::fabs(double(v.z))});
  }
  const std::vector<cPlane> faces = PlanesOf(hull);
  auto support = [&](const cVec3d& n) {
    double most = -INFINITY;
    for (const cVec3d& p : local) most = std::max(most, Dot(n, p));
    return most;
  };

  // A polytope of f planes has at most 2f - 4 corners.
  for (std::size_t planeCount = maxVertices / 2 + 2; planeCount >= 4; --planeCount) {
    // Start from the tetrahedron, then add, one at a time, the hull face that cuts the most off
    // the polytope's corners outside the hull.
    std::vector<cPlane> chosen;
    for (const cVec3d& n : kTetrahedron) chosen.push_back({n, support(n)});
    std::vector<bool> used(faces.size(), false);
    while (chosen.size() < planeCount) {
      const std::vector<cVec3d> polytope = PolytopeCorners(chosen, 1e-9 * reach);
      // The face whose plane cuts the most off the polytope: the sum, over its corners beyond
      // the plane, of how far beyond they lie.
      double most = 0.0;
      std::size_t cut = faces.size();
      for (std::size_t f = 0; f < faces.size(); ++f) {
        if (used[f]) continue;
        const double offset = faces[f].offset - Dot(faces[f].n, centre);
        double beyond = 0.0;
        for (const cVec3d& p : polytope) beyond += std::max(0.0, Dot(faces[f].n, p) - offset);
        if (beyond > most) {
          most = beyond;
          cut = f;
        }
      }
      if (cut == faces.size()) break;  // the polytope is the hull already
      used[cut] = true;
      chosen.push_back({faces[cut].n, support(faces[cut].n)});
    }
    // Rounding the corners to floats may move them inward by half a unit in the last place:
    // the planes are pushed out by more than that, more again if the exact check still fails.
    for (double pad = 4e-7 * (magnitude + reach); pad < 1e-2 * (magnitude + reach) + 1e-30;
         pad *= 8.0) {
      std::vector<cPlane> padded = chosen;
      for (cPlane& plane : padded) plane.offset += pad;
      cPointList rounded;
      for (const cVec3d& p : PolytopeCorners(padded, 1e-9 * reach + pad * 1e-3)) {
        const cVec3 v(static_cast<float>(p.x + centre.x), static_cast<float>(p.y + centre.y),
                      static_cast<float>(p.z + centre.z));
        if (Finite(v)) rounded.push_back(v);
      }
      const cTriangleList reduced = SoundHull(rounded);
      if (reduced.size() < 4 || !Holds(reduced, corners)) continue;
      if (DistinctCorners(reduced) > maxVertices) break;  // fewer planes
      return reduced;
    }
  }
  return hull;  // not reached for finite corners: four planes always give a tetrahedron
}

cFit FitHulls(const cTriangleList& triangles, const cFitSettings& settings,
              const cProgress& progress) {
  cFit fit;
  const std::size_t maxHulls = std::max<std::size_t>(settings.maxHulls, 1);
  const std::size_t maxVertices = std::max<std::size_t>(settings.maxHullVertices, 4);
  cGrowth growth = GrowPieces(triangles, settings.epsilon, progress, true);
  if (growth.cancelled) {
    fit.cancelled = true;
    return fit;
  }
  fit.startPieces = growth.pieces.size();
  if (growth.pieces.empty()) return fit;

  double diagonal = 0.0;
  {
    const cBoundBox box = ComputeBoundBox(triangles);
    diagonal = Length(box.max - box.min);
  }
  const bool closed = IsClosedSurface(triangles);
  std::optional<cSolidGrid> grid, pricing;
  if (closed) {
    grid.emplace(triangles, kGridCells);
    if (grid->Valid()) {
      pricing.emplace(triangles, kPricingCells);
    } else {
      grid.reset();
    }
  }
  // Enough starting clusters for the merges to choose from, few enough to price them all.
  const std::size_t startClusters = grid ? kStartClusters : 2 * kStartClusters;
  const std::size_t patchSize = std::max<std::size_t>(
      1, triangles.size() / std::max<std::size_t>(startClusters, 16 * maxHulls));
  cPatches patches = CutIntoPatches(growth.pieces, patchSize);
  growth = cGrowth();
  const cProbes probes(patches.triangles, kProbes);
  const cPatchCorners patchCorners = PatchCornersOf(std::move(patches.corners));
  // On a closed mesh the fit is made twice and the one closer to the solid on its grid kept: with
  // the inside points the grid confirms and merges that also pay for the volume they add outside
  // the solid, and with the inside points the probes give alone, priced by concavity. Neither is
  // the better on every shape: parts joined across a hole, like a gear's ring of teeth, may fit
  // better as one hull than as wedges that each reach into the hub.
  struct cRun {
    std::vector<cFittedHull> hulls;
    std::vector<std::vector<cIndex>> clusters;  // one per hull
    double iou = 0.0;
    bool done = false;  // not cancelled
  };
  auto fitOnce = [&](bool checked, const cProgress& report, double from, double span) {
    cRun result;
    const std::vector<cPointList> inside =
        closed ? InsidePoints(patches.triangles, probes, checked ? &*grid : nullptr, patchCorners)
               : std::vector<cPointList>(patches.triangles.size());
    std::vector<std::vector<cIndex>> clusters;
    {
      cMerger merger(patches.triangles, patchCorners, inside, std::vector(patches.neighbours),
                     probes, diagonal, checked ? &*pricing : nullptr);
      if (!merger.Run(maxHulls, report, from, span)) return result;
      clusters = merger.Clusters();
    }
    std::vector<std::size_t> clusterOf;
    if (!HullsOf(clusters, patchCorners, inside, maxVertices, report, result.hulls, clusterOf)) {
      return result;
    }
    for (const std::size_t c : clusterOf) result.clusters.push_back(std::move(clusters[c]));
    if (grid) result.iou = grid->UnionIoU(result.hulls);
    result.done = true;
    return result;
  };
  cRun kept;
  if (!grid) {
    kept = fitOnce(false, progress, 0.0, 1.0);
  } else {
    // The second fit runs on a thread of its own. Only this thread reports to progress; the
    // other one learns through a flag that it should stop.
    std::atomic<bool> stop{false};
    std::atomic<double> otherShare{0.0};
    const cProgress other = [&](const char* step, double fraction) {
      if (std::strcmp(step, "fitting") == 0) otherShare.store(fraction);
      return !stop.load();
    };
    std::future<cRun> second =
        std::async(std::launch::async, [&] { return fitOnce(false, other, 0.0, 1.0); });
    const cProgress own = [&](const char* step, double fraction) {
      if (std::strcmp(step, "fitting") == 0) fraction = 0.5 * (fraction + otherShare.load());
      const bool going = KeepGoing(progress, step, fraction);
      if (!going) stop.store(true);
      return going;
    };
    kept = fitOnce(true, own, 0.0, 1.0);
    if (!kept.done) stop.store(true);
    while (second.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
      if (!stop.load() && !KeepGoing(progress, "fitting", 0.5 * (1.0 + otherShare.load()))) {
        stop.store(true);
      }
    }
    cRun alternative = second.get();
    if (kept.done && alternative.done && alternative.iou > kept.iou) kept = std::move(alternative);
    if (!alternative.done) kept.done = false;
  }
  if (!kept.done) {
    fit.cancelled = true;
    return fit;
  }
  fit.hulls = std::move(kept.hulls);
  const std::vector<std::vector<cIndex>>& chosen = kept.clusters;
  for (std::size_t h = 0; h < fit.hulls.size(); ++h) {
    for (const cIndex r : chosen[h]) {
      const cTriangleList& piece = patches.triangles[r];
      fit.hulls[h].triangles.insert(fit.hulls[h].triangles.end(), piece.begin(), piece.end());
    }
  }
  return fit;
}

namespace {

bool HullsOf(const std::vector<std::vector<cIndex>>& clusters, const cPatchCorners& patchCorners,
             const std::vector<cPointList>& inside, std::size_t maxVertices,
             const cProgress& progress, std::vector<cFittedHull>& hulls,
             std::vector<std::size_t>& clusterOf) {
  for (std::size_t c = 0; c < clusters.size(); ++c) {
    if (!KeepGoing(progress, "hulls", double(c) / clusters.size())) return false;
    cFittedHull hull;
    cPointList points;
    for (const cIndex r : clusters[c]) {
      points.insert(points.end(), patchCorners.hull[r].begin(), patchCorners.hull[r].end());
      points.insert(points.end(), inside[r].begin(), inside[r].end());
    }
    cTriangleList faces = SoundHull(points);
    if (faces.empty()) continue;  // fewer than three distinct finite corners
    if (DistinctCorners(faces) > maxVertices) {
      faces = ReduceHullOutward(faces, maxVertices);
      hull.reduced = true;
    }
    hull.faces = std::move(faces);
    hulls.push_back(std::move(hull));
    clusterOf.push_back(c);
  }
  return true;
}

}  // namespace
