#include "hull/fidelity.h"

#include "geometry/point_key.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <tuple>
#include <utility>

#include "exact_predicates.h"

namespace {

constexpr std::uint32_t kNone = 0xffffffffu;
constexpr double kInfinity = std::numeric_limits<double>::infinity();

bool IsFinite(const cVec3& v) {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

bool IsFinite(const cTriangle& t) {
  return IsFinite(t.vertex[0]) && IsFinite(t.vertex[1]) && IsFinite(t.vertex[2]);
}

// A point in double precision; differences of float coordinates are exact in it.
struct cPoint {
  double x = 0.0, y = 0.0, z = 0.0;
};

cPoint ToPoint(const cVec3& v) {
  return {v.x, v.y, v.z};
}
cPoint operator-(const cPoint& a, const cPoint& b) {
  return {a.x - b.x, a.y - b.y, a.z - b.z};
}
cPoint operator+(const cPoint& a, const cPoint& b) {
  return {a.x + b.x, a.y + b.y, a.z + b.z};
}
cPoint operator*(double s, const cPoint& a) {
  return {s * a.x, s * a.y, s * a.z};
}
double DotOf(const cPoint& a, const cPoint& b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}
cPoint CrossOf(const cPoint& a, const cPoint& b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// Neumaier's compensated sum: the order of Add calls fixes the result.
class cSum {
 public:
  void Add(double value) {
    const double t = sum + value;
    if (std::fabs(sum) >= std::fabs(value)) {
      compensation += (sum - t) + value;
    } else {
      compensation += (value - t) + sum;
    }
    sum = t;
  }
  double Value() const { return sum + compensation; }

 private:
  double sum = 0.0;
  double compensation = 0.0;
};

// Axis-aligned box in double precision; empty while lo > hi.
struct cBox {
  std::array<double, 3> lo = {kInfinity, kInfinity, kInfinity};
  std::array<double, 3> hi = {-kInfinity, -kInfinity, -kInfinity};

  void Add(const cPoint& p) {
    lo[0] = std::min(lo[0], p.x), hi[0] = std::max(hi[0], p.x);
    lo[1] = std::min(lo[1], p.y), hi[1] = std::max(hi[1], p.y);
    lo[2] = std::min(lo[2], p.z), hi[2] = std::max(hi[2], p.z);
  }
  void Add(const cBox& b) {
    for (int a = 0; a < 3; ++a) lo[a] = std::min(lo[a], b.lo[a]), hi[a] = std::max(hi[a], b.hi[a]);
  }
  void Grow(double margin) {
    for (int a = 0; a < 3; ++a) lo[a] -= margin, hi[a] += margin;
  }
  bool Empty() const { return lo[0] > hi[0]; }
  bool Contains(const cPoint& p) const {
    return p.x >= lo[0] && p.x <= hi[0] && p.y >= lo[1] && p.y <= hi[1] && p.z >= lo[2] &&
           p.z <= hi[2];
  }
};

cBox BoxOf(const cTriangle& t) {
  cBox box;
  for (const cVec3& v : t.vertex) box.Add(ToPoint(v));
  return box;
}

// ---------------------------------------------------------------------------------------------
// Distinct corners and closure.

// Every corner of a triangle list numbered by its distinct position.
struct cCornerIndex {
  std::vector<std::uint32_t> id;  // three per triangle; kNone for a corner that is not finite
  cPointList distinct;            // finite corners in order of first appearance, -0.0 as 0.0
  bool overflow = false;          // more corners than 32-bit ids hold: nothing numbered
};

cCornerIndex IndexCorners(const cTriangleList& triangles) {
  cCornerIndex index;
  const std::size_t corners = triangles.size() * 3;
  if (corners >= (std::size_t{1} << 31)) {
    index.overflow = true;
    return index;
  }
  cPointIndex numbers(corners / 4 + 16);
  index.id.resize(corners);
  for (std::size_t c = 0; c < corners; ++c) {
    const cVec3& v = triangles[c / 3].vertex[c % 3];
    if (!IsFinite(v)) {
      index.id[c] = kNone;
      continue;
    }
    const auto next = static_cast<std::uint32_t>(index.distinct.size());
    index.id[c] = numbers.FindOrInsert(v, next);
    if (index.id[c] == next) index.distinct.emplace_back(v.x + 0.0f, v.y + 0.0f, v.z + 0.0f);
  }
  return index;
}

// ---------------------------------------------------------------------------------------------
// Sampling.

// Area-weighted points on triangles, from a fixed sequence: sample i picks its triangle by the
// stratified share (i + 0.5) / count of the total area and its place in the triangle by the
// two-dimensional additive recurrence on the plastic number (a low-discrepancy sequence).
class cSurfaceSampler {
 public:
  void AddTriangle(const cTriangle& t) {
    const cPoint a = ToPoint(t.vertex[0]);
    const cPoint n = CrossOf(ToPoint(t.vertex[1]) - a, ToPoint(t.vertex[2]) - a);
    const double area = 0.5 * std::sqrt(DotOf(n, n));
    if (!(area > 0.0) || !std::isfinite(area)) return;
    total += area;
    triangles.push_back(&t);
    cumulative.push_back(total);
  }

  double Area() const { return total; }

  // Calls visit(point) for count points, in sequence order; none when there is no area.
  template <typename Visit>
  void Sample(std::uint32_t count, Visit visit) const {
    if (triangles.empty() || !std::isfinite(total)) return;
    constexpr double kPlastic = 1.32471795724474602596;
    constexpr double kStep1 = 1.0 / kPlastic, kStep2 = 1.0 / (kPlastic * kPlastic);
    for (std::uint32_t i = 0; i < count; ++i) {
      const double target = (i + 0.5) / count * total;
      std::size_t k =
          std::upper_bound(cumulative.begin(), cumulative.end(), target) - cumulative.begin();
      k = std::min(k, triangles.size() - 1);
      double u = 0.5 + kStep1 * i, v = 0.5 + kStep2 * i;
      u -= std::floor(u), v -= std::floor(v);
      const double s = std::sqrt(u);
      const cTriangle& t = *triangles[k];
      const cPoint a = ToPoint(t.vertex[0]);
      visit(a + (s * (1.0 - v)) * (ToPoint(t.vertex[1]) - a) +
            (s * v) * (ToPoint(t.vertex[2]) - a));
    }
  }

 private:
  std::vector<const cTriangle*> triangles;  // those with positive finite area
  std::vector<double> cumulative;           // running area sum, one entry per triangle
  double total = 0.0;
};

// ---------------------------------------------------------------------------------------------
// A bounding-volume tree over boxes: the items sorted along a Morton curve through their centres
// (10 bits per axis over the centres' box), each node split where the codes of its items first
// differ (an octree split), or in the middle where they are all equal.

// The float nearest to a finite x, the largest finite float for x beyond the float range.
float NearestFloat(double x) {
  constexpr double kLargest = std::numeric_limits<float>::max();
  return static_cast<float>(std::clamp(x, -kLargest, kLargest));
}

// Float bounds that hold the double value (infinite beyond the float range).
float FloatBelow(double x) {
  const float f = NearestFloat(x);
  return f > x ? std::nextafter(f, -std::numeric_limits<float>::infinity()) : f;
}
float FloatAbove(double x) {
  const float f = NearestFloat(x);
  return f < x ? std::nextafter(f, std::numeric_limits<float>::infinity()) : f;
}

// A box in float (corners of float triangles are exact in it) with the number of its item.
struct cItemBox {
  float lo[3] = {0, 0, 0};
  float hi[3] = {0, 0, 0};
  std::uint32_t item = 0;

  bool Contains(const cPoint& p) const {
    return p.x >= lo[0] && p.x <= hi[0] && p.y >= lo[1] && p.y <= hi[1] && p.z >= lo[2] &&
           p.z <= hi[2];
  }
  // Squared distance from p to the box (0 inside).
  double Distance2(const cPoint& p) const {
    const double q[3] = {p.x, p.y, p.z};
    double d2 = 0.0;
    for (int a = 0; a < 3; ++a) {
      const double d = q[a] < lo[a] ? lo[a] - q[a] : (q[a] > hi[a] ? q[a] - hi[a] : 0.0);
      d2 += d * d;
    }
    return d2;
  }
};

cItemBox ItemBox(const cBox& box, std::uint32_t item) {
  cItemBox result;
  for (int a = 0; a < 3; ++a) {
    result.lo[a] = FloatBelow(box.lo[a]), result.hi[a] = FloatAbove(box.hi[a]);
  }
  result.item = item;
  return result;
}

// Holds at most kMaxItems items; a longer list gives an empty tree, in which queries find nothing.
class cBoxTree {
 public:
  static constexpr std::size_t kMaxItems = std::size_t{1} << 28;

  explicit cBoxTree(std::vector<cItemBox> itemBoxes) : items(std::move(itemBoxes)) {
    if (items.size() > kMaxItems) items.clear();
    if (items.empty()) return;
    SortAlongCurve();
    nodes.reserve(2 * items.size() / kLeafSize + 2);
    nodes.emplace_back();
    BuildNode(0, 0, items.size());
    codes = {};
  }

  // Calls visit(position) (see Item) for every item whose box passes test(box), in leaf order,
  // skipping every node whose box fails it (test must pass a node's box when it passes one of
  // its items'), until visit returns true; returns whether one did.
  template <typename Test, typename Visit>
  bool Any(Test test, Visit visit) const {
    if (nodes.empty()) return false;
    std::uint32_t stack[kStack];
    int depth = 0;
    stack[depth++] = 0;
    while (depth > 0) {
      const cItemBox& node = nodes[stack[--depth]];
      if (!test(node)) continue;
      if (Leaf(node)) {
        for (std::uint32_t i = First(node); i < First(node) + Count(node); ++i) {
          if (test(items[i]) && visit(i)) return true;
        }
      } else {
        stack[depth++] = First(node) + 1;
        stack[depth++] = First(node);
      }
    }
    return false;
  }

  // Any with the items whose box contains p, or lies within squared distance bound2 of p.
  template <typename Visit>
  bool AnyContaining(const cPoint& p, Visit visit) const {
    return Any([&](const cItemBox& box) { return box.Contains(p); }, visit);
  }
  template <typename Visit>
  bool AnyWithin(const cPoint& p, double bound2, Visit visit) const {
    return Any([&](const cItemBox& box) { return box.Distance2(p) <= bound2; }, visit);
  }

  // The smallest distance2(position) below bound over the items (by their positions in leaf
  // order, see Item), pruning by box distance, and that position; (bound, nearest) when none is
  // below bound.
  template <typename Distance2>
  std::pair<double, std::uint32_t> Nearest2(const cPoint& p, Distance2 distance2, double bound,
                                            std::uint32_t nearest) const {
    double best = bound;
    if (nodes.empty()) return {best, nearest};
    std::uint32_t stack[kStack];
    int depth = 0;
    stack[depth++] = 0;
    while (depth > 0) {
      const cItemBox& node = nodes[stack[--depth]];
      if (node.Distance2(p) >= best) continue;
      if (Leaf(node)) {
        for (std::uint32_t i = First(node); i < First(node) + Count(node); ++i) {
          if (items[i].Distance2(p) >= best) continue;
          const double d2 = distance2(i);
          if (d2 < best) best = d2, nearest = i;
        }
      } else {
        const std::uint32_t left = First(node);
        const bool leftFirst = nodes[left].Distance2(p) <= nodes[left + 1].Distance2(p);
        stack[depth++] = leftFirst ? left + 1 : left;
        stack[depth++] = leftFirst ? left : left + 1;
      }
    }
    return {best, nearest};
  }

  std::size_t Size() const { return items.size(); }
  // The item at a position in leaf order: nearby positions hold nearby items.
  std::uint32_t Item(std::size_t position) const { return items[position].item; }

 private:
  static constexpr std::size_t kLeafSize = 4;
  // At most 30 splits on code bits and 31 in the middle of equal codes: the depth stays under
  // 64, and a query holds at most one entry per level plus one.
  static constexpr int kStack = 128;

  // A node is a box whose item field holds first * 8 + count: count in 1..kLeafSize for a leaf
  // (its items from first on), 0 for an inner node (its children at first and first + 1).
  // Fewer than 2 * kMaxItems nodes keep first * 8 within 32 bits.
  static bool Leaf(const cItemBox& node) { return (node.item & 7) != 0; }
  static std::uint32_t First(const cItemBox& node) { return node.item >> 3; }
  static std::uint32_t Count(const cItemBox& node) { return node.item & 7; }

  static double Centre(const cItemBox& box, int axis) {
    return 0.5 * (static_cast<double>(box.lo[axis]) + box.hi[axis]);
  }

  // Spreads the 10 low bits of v to every third bit.
  static std::uint32_t Spread(std::uint32_t v) {
    v &= 0x3ff;
    v = (v | (v << 16)) & 0x030000ff;
    v = (v | (v << 8)) & 0x0300f00f;
    v = (v | (v << 4)) & 0x030c30c3;
    v = (v | (v << 2)) & 0x09249249;
    return v;
  }

  // Sorts items by Morton code, stably (three passes of 10 bits), so equal codes keep the
  // order of the list; fills codes alongside.
  void SortAlongCurve() {
    double lo[3], hi[3];
    for (int a = 0; a < 3; ++a) lo[a] = hi[a] = Centre(items[0], a);
    for (const cItemBox& item : items) {
      for (int a = 0; a < 3; ++a) {
        lo[a] = std::min(lo[a], Centre(item, a)), hi[a] = std::max(hi[a], Centre(item, a));
      }
    }
    codes.resize(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
      std::uint32_t code = 0;
      for (int a = 0; a < 3; ++a) {
        const double extent = hi[a] - lo[a];
        // Boxes reaching past the float range have centres that are infinite or not a number:
        // those go to the first cell.
        const double share = extent > 0.0 ? (Centre(items[i], a) - lo[a]) / extent : 0.0;
        const double cell = share >= 0.0 ? std::min(std::floor(share * 1024.0), 1023.0) : 0.0;
        code |= Spread(static_cast<std::uint32_t>(cell)) << (2 - a);
      }
      codes[i] = code;
    }
    std::vector<cItemBox> sortedItems(items.size());
    std::vector<std::uint32_t> sortedCodes(items.size());
    for (int shift = 0; shift < 30; shift += 10) {
      std::vector<std::size_t> start(1025, 0);
      for (std::uint32_t code : codes) ++start[((code >> shift) & 1023) + 1];
      for (std::size_t k = 1; k < start.size(); ++k) start[k] += start[k - 1];
      for (std::size_t i = 0; i < items.size(); ++i) {
        const std::size_t to = start[(codes[i] >> shift) & 1023]++;
        sortedItems[to] = items[i];
        sortedCodes[to] = codes[i];
      }
      items.swap(sortedItems);
      codes.swap(sortedCodes);
    }
  }

  // Fills nodes[index] for items[begin, end).
  void BuildNode(std::uint32_t index, std::size_t begin, std::size_t end) {
    if (end - begin <= kLeafSize) {
      cItemBox box = items[begin];
      for (std::size_t i = begin + 1; i < end; ++i) {
        for (int a = 0; a < 3; ++a) {
          box.lo[a] = std::min(box.lo[a], items[i].lo[a]);
          box.hi[a] = std::max(box.hi[a], items[i].hi[a]);
        }
      }
      box.item = static_cast<std::uint32_t>(begin << 3 | (end - begin));
      nodes[index] = box;
      return;
    }
    std::size_t middle = begin + (end - begin) / 2;
    const std::uint32_t first = codes[begin], last = codes[end - 1];
    if (first != last) {
      // The codes share every bit above the highest one where first and last differ; the
      // split is the first item with that bit set.
      const std::uint32_t bit = std::uint32_t{1} << (31 - std::countl_zero(first ^ last));
      middle = std::partition_point(codes.begin() + begin, codes.begin() + end,
                                    [bit](std::uint32_t code) { return (code & bit) == 0; }) -
               codes.begin();
    }
    const std::uint32_t left = static_cast<std::uint32_t>(nodes.size());
    nodes.emplace_back();
    nodes.emplace_back();
    BuildNode(left, begin, middle);
    BuildNode(left + 1, middle, end);
    cItemBox box = nodes[left];
    for (int a = 0; a < 3; ++a) {
      box.lo[a] = std::min(box.lo[a], nodes[left + 1].lo[a]);
      box.hi[a] = std::max(box.hi[a], nodes[left + 1].hi[a]);
    }
    box.item = left << 3;
    nodes[index] = box;
  }

  std::vector<cItemBox> items;       // in leaf order
  std::vector<cItemBox> nodes;       // the root first
  std::vector<std::uint32_t> codes;  // of items, while building
};

// ---------------------------------------------------------------------------------------------
// Distances.

double SafeRatio(double num, double den) {
  return den > 0.0 ? std::clamp(num / den, 0.0, 1.0) : 0.0;
}

double PointSegmentDistance2(const cPoint& p, const cPoint& a, const cPoint& b) {
  const cPoint ab = b - a;
  const double t = SafeRatio(DotOf(p - a, ab), DotOf(ab, ab));
  const cPoint d = p - (a + t * ab);
  return DotOf(d, d);
}

// Squared distance from p to the closest point of triangle abc, degenerate triangles included
// (by the regions of Ericson, Real-Time Collision Detection, 5.1.5).
double PointTriangleDistance2(const cPoint& p, const cPoint& a, const cPoint& b, const cPoint& c) {
  const cPoint ab = b - a, ac = c - a, ap = p - a;
  const double d1 = DotOf(ab, ap), d2 = DotOf(ac, ap);
  if (d1 <= 0.0 && d2 <= 0.0) return DotOf(ap, ap);
  const cPoint bp = p - b;
  const double d3 = DotOf(ab, bp), d4 = DotOf(ac, bp);
  if (d3 >= 0.0 && d4 <= d3) return DotOf(bp, bp);
  const double vc = d1 * d4 - d3 * d2;
  if (vc <= 0.0 && d1 >= 0.0 && d3 <= 0.0) return PointSegmentDistance2(p, a, b);
  const cPoint cp = p - c;
  const double d5 = DotOf(ab, cp), d6 = DotOf(ac, cp);
  if (d6 >= 0.0 && d5 <= d6) return DotOf(cp, cp);
  const double vb = d5 * d2 - d1 * d6;
  if (vb <= 0.0 && d2 >= 0.0 && d6 <= 0.0) return PointSegmentDistance2(p, a, c);
  const double va = d3 * d6 - d5 * d4;
  if (va <= 0.0 && d4 - d3 >= 0.0 && d5 - d6 >= 0.0) return PointSegmentDistance2(p, b, c);
  const double denominator = va + vb + vc;
  if (!(denominator > 0.0)) {
    return std::min({PointSegmentDistance2(p, a, b), PointSegmentDistance2(p, b, c),
                     PointSegmentDistance2(p, c, a)});
  }
  const double v = vb / denominator, w = vc / denominator;
  const cPoint d = p - (a + v * ab + w * ac);
  return DotOf(d, d);
}

double PointTriangleDistance2(const cPoint& p, const cTriangle& t) {
  return PointTriangleDistance2(p, ToPoint(t.vertex[0]), ToPoint(t.vertex[1]),
                                ToPoint(t.vertex[2]));
}

// ---------------------------------------------------------------------------------------------
// Hulls.

// True when the corners do not all lie in one plane, decided exactly; every corner finite.
bool SpansSpace(const cTriangleList& faces) {
  const cVec3* a = &faces[0].vertex[0];
  const cVec3* b = nullptr;
  const cVec3* c = nullptr;
  for (const cTriangle& t : faces) {
    for (const cVec3& v : t.vertex) {
      if (b == nullptr) {
        if (!SamePoint(v, *a)) b = &v;
      } else if (c == nullptr) {
        if (!Collinear(*a, *b, v)) c = &v;
      } else if (Orient3d(*a, *b, *c, v) != 0) {
        return true;
      }
    }
  }
  return false;
}

// Inner half-space nx * x + ny * y + nz * z <= offset of one face, (nx, ny, nz) of unit length;
// a face without a normal gets the whole space (offset infinite).
struct cPlane {
  double nx = 0.0, ny = 0.0, nz = 0.0;
  double offset = kInfinity;

  double Height(const cPoint& p) const { return nx * p.x + ny * p.y + nz * p.z - offset; }
};

// A measured hull (non-empty, every corner finite), ready for point queries: a tree over its
// faces, their planes and a ball inside it.
class cPreparedHull {
 public:
  // covered: the coverage tolerance in model units, raised here to 2^-40 of the largest
  // coordinate so that points on the surface, computed with rounding, count as on it.
  cPreparedHull(const cTriangleList& hullFaces, double covered)
      : faces(&hullFaces), flat(!SpansSpace(hullFaces)) {
    for (const cTriangle& t : hullFaces) box.Add(BoxOf(t));
    double magnitude = 0.0;
    for (int a = 0; a < 3; ++a) {
      magnitude = std::max({magnitude, std::fabs(box.lo[a]), std::fabs(box.hi[a])});
    }
    tolerance = std::max(covered, std::ldexp(magnitude, -40));
    reach2 = tolerance * tolerance;
    std::vector<cItemBox> boxes;
    cPoint sum;
    double area = 0.0;
    for (std::size_t f = 0; f < hullFaces.size(); ++f) {
      const cTriangle& t = hullFaces[f];
      cBox faceBox = BoxOf(t);
      faceBox.Grow(tolerance);
      boxes.push_back(ItemBox(faceBox, static_cast<std::uint32_t>(f)));
      const cPoint a = ToPoint(t.vertex[0]), b = ToPoint(t.vertex[1]), c = ToPoint(t.vertex[2]);
      sum = sum + (1.0 / 3) * (a + b + c);
      const cPoint n = CrossOf(b - a, c - a);
      const double length = std::sqrt(DotOf(n, n));
      cPlane plane;
      if (length > 0.0 && std::isfinite(length)) {
        const cPoint unit{n.x / length, n.y / length, n.z / length};
        plane = {unit.x, unit.y, unit.z,
                 std::max({DotOf(unit, a), DotOf(unit, b), DotOf(unit, c)})};
        area += 0.5 * length;
      }
      planes.push_back(plane);
    }
    grown = box;
    grown.Grow(tolerance);
    faceTree.emplace(std::move(boxes));
    if (flat) return;
    // The mean of the faces' centres lies inside a convex hull; the ball around it up to the
    // nearest face plane answers quickly for points deep inside. Shrunk for rounding; none when
    // the centre is not behind every plane (a hull that is not convex).
    centre = (1.0 / hullFaces.size()) * sum;
    double inner = kInfinity;
    for (const cPlane& plane : planes) inner = std::min(inner, -plane.Height(centre));
    const cPoint extent{box.hi[0] - box.lo[0], box.hi[1] - box.lo[1], box.hi[2] - box.lo[2]};
    inner -= 1e-9 * std::sqrt(DotOf(extent, extent));
    innerRadius2 = inner > 0.0 && std::isfinite(inner) ? inner * inner : -1.0;
    // Nearest faces are looked for up to a few faces' sizes away, and never closer than float
    // rounding of the largest coordinate (see Covers).
    const double search =
        std::max(std::ldexp(magnitude, -20), 4.0 * std::sqrt(area / planes.size()));
    search2 = search * search;
  }

  // Whether p lies within the tolerance of one of the hull's triangles (Euclidean distance), or
  // inside the hull (a flat hull has no inside), for a convex hull; any hull gets a defined
  // answer. A hull of at most kPlaneFaces faces is tested plane by plane: a point in front of a
  // face's plane by more than the tolerance is farther than that from a convex hull; one behind
  // every plane is inside. A larger one through its faces: a point within a few faces' sizes of
  // the surface is inside when it lies behind the planes of the faces nearest to it (those
  // within a relative 1e-9 of the nearest distance: p is outside a convex hull exactly when it
  // lies in front of one of the faces through its nearest point on the surface); a point
  // farther away, when a vertical line upward from it crosses the surface an odd number of
  // times. hint, kept by the caller between queries, names a plane that rejected an earlier
  // point; it is tried first.
  bool Covers(const cPoint& p, std::uint32_t& hint) const {
    if (!grown.Contains(p)) return false;
    if (!flat) {
      const cPoint d = p - centre;
      if (DotOf(d, d) < innerRadius2) return true;
      if (hint < planes.size() && planes[hint].Height(p) > tolerance) return false;
    }
    if (!flat && planes.size() <= kPlaneFaces) {
      double highest = -kInfinity;
      for (std::size_t k = 0; k < planes.size(); ++k) {
        const double height = planes[k].Height(p);
        if (height > tolerance) {
          hint = static_cast<std::uint32_t>(k);
          return false;
        }
        highest = std::max(highest, height);
      }
      if (highest <= 0.0) return true;
    }
    auto distance2 = [&](std::uint32_t position) {
      return PointTriangleDistance2(p, (*faces)[faceTree->Item(position)]);
    };
    bool near = false;
    faceTree->AnyWithin(
        p, reach2, [&](std::uint32_t position) { return near = distance2(position) <= reach2; });
    // A point the planes leave here lies in front of one by at most the tolerance.
    if (near || flat || planes.size() <= kPlaneFaces) return near;
    const double nearest2 = faceTree->Nearest2(p, distance2, search2, kNone).first;
    if (nearest2 < search2) {
      const double tie2 = nearest2 * (1.0 + 2e-9);
      bool outside = false;
      faceTree->AnyWithin(p, tie2, [&](std::uint32_t position) {
        if (distance2(position) > tie2) return false;
        const std::uint32_t face = faceTree->Item(position);
        if (planes[face].Height(p) <= 0.0) return false;
        hint = face;
        return outside = true;
      });
      return !outside;
    }
    // Farther than 2^-20 of the largest coordinate from the surface: the line through p rounded
    // to float in x and y (less than 2^-24 of it away) starts on the same side. It is moved as
    // PerturbedOrient moves it, so that edges and corners count once.
    const cVec3 line(NearestFloat(p.x), NearestFloat(p.y), 0.0f);
    bool inside = false;
    faceTree->Any(
        [&](const cItemBox& box) {
          return line.x >= box.lo[0] && line.x <= box.hi[0] && line.y >= box.lo[1] &&
                 line.y <= box.hi[1] && p.z <= box.hi[2];
        },
        [&](std::uint32_t position) {
          double z = 0.0;
          if (VerticalCrossing((*faces)[faceTree->Item(position)], line, z) && z > p.z)
            inside = !inside;
          return false;
        });
    return inside;
  }

  const cTriangleList& Faces() const { return *faces; }
  bool Flat() const { return flat; }
  const cBox& Box() const { return box; }

 private:
  static constexpr std::size_t kPlaneFaces = 256;

  const cTriangleList* faces;
  bool flat;                         // all corners in one plane: no volume
  double tolerance = 0.0;            // model units
  double reach2 = 0.0;               // tolerance^2
  cBox box;                          // of the corners
  cBox grown;                        // by the tolerance
  std::optional<cBoxTree> faceTree;  // face boxes grown by the tolerance
  std::vector<cPlane> planes;        // one per face
  cPoint centre;
  double innerRadius2 = -1.0;
  double search2 = 0.0;  // squared reach of the nearest-face search
};

// ---------------------------------------------------------------------------------------------
// Volumes.

struct cInterval {
  double lo = kInfinity, hi = -kInfinity;
};

// The z range of the part of t inside the prism over [x0, x1] x [y0, y1] (the triangle clipped
// to the four side planes); false when t misses it.
bool CutRange(const cTriangle& t, double x0, double x1, double y0, double y1, double& lo,
              double& hi) {
  const cVec3 &a = t.vertex[0], &b = t.vertex[1], &c = t.vertex[2];
  if (std::min({a.x, b.x, c.x}) >= x0 && std::max({a.x, b.x, c.x}) <= x1 &&
      std::min({a.y, b.y, c.y}) >= y0 && std::max({a.y, b.y, c.y}) <= y1) {
    lo = std::min({a.z, b.z, c.z}), hi = std::max({a.z, b.z, c.z});
    return true;
  }
  // Sutherland-Hodgman, one side at a time, between two buffers (a triangle cut by four lines
  // has at most seven corners).
  cPoint buffers[2][8];
  int count = 3, current = 0;
  for (int k = 0; k < 3; ++k) buffers[0][k] = ToPoint(t.vertex[k]);
  // Keeps the part with sign * (coordinate - bound) <= 0 along x (axis 0) or y.
  auto clip = [&](int axis, double bound, double sign) {
    const cPoint* in = buffers[current];
    double side[8];
    bool anyOut = false, anyIn = false;
    for (int k = 0; k < count; ++k) {
      side[k] = sign * ((axis == 0 ? in[k].x : in[k].y) - bound);
      (side[k] > 0.0 ? anyOut : anyIn) = true;
    }
    if (!anyOut) return;
    if (!anyIn) {
      count = 0;
      return;
    }
    cPoint* out = buffers[1 - current];
    int kept = 0;
    for (int k = 0; k < count; ++k) {
      const int next = k + 1 == count ? 0 : k + 1;
      if (side[k] <= 0.0) out[kept++] = in[k];
      if ((side[k] < 0.0 && side[next] > 0.0) || (side[k] > 0.0 && side[next] < 0.0)) {
        const double share = side[k] / (side[k] - side[next]);
        out[kept++] = in[k] + share * (in[next] - in[k]);
      }
    }
    count = kept;
    current = 1 - current;
  };
  clip(0, x1, 1.0);
  if (count > 0) clip(0, x0, -1.0);
  if (count > 0) clip(1, y1, 1.0);
  if (count > 0) clip(1, y0, -1.0);
  if (count == 0) return false;
  const cPoint* polygon = buffers[current];
  lo = hi = polygon[0].z;
  for (int k = 1; k < count; ++k) lo = std::min(lo, polygon[k].z), hi = std::max(hi, polygon[k].z);
  return true;
}

// A face of a solid hull, for the grid.
struct cHullFace {
  const cTriangle* face = nullptr;
  std::uint32_t hull = 0;
};

// The volumes on a grid of cubic cells, column by column (columns along z). In each column the
// mesh's and each hull's crossings with one vertical line give the exact lengths inside solid
// and union along it, which stand for the column. A cell that no triangle of a surface meets is
// wholly on one side of that surface, so a cell's contribution can only be wrong where some
// surface meets it, and by at most its volume.
class cVolumeGrid {
 public:
  cVolumeGrid(const cTriangleList& mesh, const std::vector<cHullFace>& hullFaces,
              std::uint32_t resolution)
      : mesh(mesh), hullFaces(hullFaces) {
    cBox box;
    for (const cTriangle& t : mesh) box.Add(BoxOf(t));
    for (const cHullFace& f : hullFaces) box.Add(BoxOf(*f.face));
    if (box.Empty()) return;
    double longest = 0.0, magnitude = 0.0;
    for (int a = 0; a < 3; ++a) {
      longest = std::max(longest, box.hi[a] - box.lo[a]);
      magnitude = std::max({magnitude, std::fabs(box.lo[a]), std::fabs(box.hi[a])});
    }
    if (!(longest > 0.0) || !std::isfinite(longest)) return;
    low = box.lo;
    extent = {box.hi[0] - box.lo[0], box.hi[1] - box.lo[1], box.hi[2] - box.lo[2]};
    margin = 1e-13 * (magnitude + longest);
    // Columns are measured along float lines, which must fall inside them: cells at least
    // 2^-20 * magnitude wide, about 8 float steps.
    std::uint32_t n = std::clamp<std::uint32_t>(resolution, 1, 1024);
    const double narrowest = magnitude * std::ldexp(1.0, -20);
    if (longest / n < narrowest) n = static_cast<std::uint32_t>(std::max(1.0, longest / narrowest));
    for (;;) {
      SetResolution(n, longest);
      if (n == 1 || ColumnEntries() <= (std::uint64_t{1} << 24)) break;
      n /= 2;
    }
    valid = true;
  }

  bool Valid() const { return valid; }
  double CellSize() const { return h; }
  const std::array<std::uint32_t, 3>& Cells() const { return cells; }

  // Accumulates the three volumes and their uncertain cell counts over every column.
  void Measure(double& intersection, double& excess, double& missing,
               std::uint64_t& intersectionCells, std::uint64_t& excessCells,
               std::uint64_t& missingCells) {
    const cBins meshBins = Bin(mesh.size(), [&](std::size_t t) { return BoxOf(mesh[t]); });
    const cBins hullBins =
        Bin(hullFaces.size(), [&](std::size_t f) { return BoxOf(*hullFaces[f].face); });
    cSum sumIntersection, sumExcess, sumMissing;
    const std::uint32_t nz = cells[2];
    cColumn column;
    column.solidMarks.resize(nz + 1), column.inMarks.resize(nz + 1);
    column.maybeMarks.resize(nz + 1);
    for (std::uint32_t j = 0; j < cells[1]; ++j) {
      for (std::uint32_t i = 0; i < cells[0]; ++i) {
        const std::size_t c = static_cast<std::size_t>(j) * cells[0] + i;
        const std::size_t meshBegin = meshBins.start[c], meshEnd = meshBins.start[c + 1];
        const std::size_t hullBegin = hullBins.start[c], hullEnd = hullBins.start[c + 1];
        if (meshBegin == meshEnd && hullBegin == hullEnd) continue;
        column.x0 = origin[0] + i * h, column.y0 = origin[1] + j * h;
        column.line =
            cVec3(NearestFloat(column.x0 + 0.5 * h), NearestFloat(column.y0 + 0.5 * h), 0.0f);
        std::fill(column.solidMarks.begin(), column.solidMarks.end(), 0);
        std::fill(column.inMarks.begin(), column.inMarks.end(), 0);
        std::fill(column.maybeMarks.begin(), column.maybeMarks.end(), 0);
        column.crossings.clear();
        column.lineIntervals.clear();
        double z = 0.0, lo = 0.0, hi = 0.0;
        for (std::size_t k = meshBegin; k < meshEnd; ++k) {
          const cTriangle& t = mesh[meshBins.items[k]];
          if (Cut(t, column, lo, hi)) MarkCells(lo, hi, false, column.solidMarks);
          if (VerticalCrossing(t, column.line, z)) column.crossings.push_back(z);
        }
        // The faces of one hull are next to each other in the bin.
        for (std::size_t k = hullBegin; k < hullEnd;) {
          const std::uint32_t hull = hullFaces[hullBins.items[k]].hull;
          std::size_t end = k;
          while (end < hullEnd && hullFaces[hullBins.items[end]].hull == hull) ++end;
          ColumnHull(hullBins.items.data() + k, hullBins.items.data() + end, column);
          k = end;
        }
        std::sort(column.crossings.begin(), column.crossings.end());
        double lengthIntersection = 0.0, lengthSolid = 0.0, lengthUnion = 0.0;
        LineLengths(column.crossings, column.lineIntervals, lengthIntersection, lengthSolid,
                    lengthUnion);
        sumIntersection.Add(lengthIntersection);
        sumExcess.Add(std::max(0.0, lengthUnion - lengthIntersection));
        sumMissing.Add(std::max(0.0, lengthSolid - lengthIntersection));
        CountUncertain(column, intersectionCells, excessCells, missingCells);
      }
    }
    intersection = sumIntersection.Value() * h * h;
    excess = sumExcess.Value() * h * h;
    missing = sumMissing.Value() * h * h;
  }

 private:
  enum eState { kOut, kIn, kMaybe };

  // The column in progress: its square's lower corner, its line, and per cell (difference
  // arrays, index k for cell k) the marks of the mesh and of the union of the hulls.
  struct cColumn {
    double x0 = 0.0, y0 = 0.0;
    cVec3 line;
    std::vector<int> solidMarks;                   // a mesh triangle meets the cell
    std::vector<int> inMarks;                      // the cell is wholly inside some hull
    std::vector<int> maybeMarks;                   // a hull face meets the cell
    std::vector<double> crossings;                 // of the mesh
    std::vector<cInterval> lineIntervals;          // of the hulls
    std::vector<double> hullCrossings;             // of the hull in progress
    std::vector<std::pair<long, long>> hullCells;  // cells its faces meet, as ranges
    std::vector<int> hullMarks;                    // difference array over them
  };

  // The grid starts a fixed, irrational share of a cell below the box on each axis, so that
  // faces on the box (and at round coordinates) rarely lie on cell boundaries, where they would
  // make the cells on both sides uncertain.
  void SetResolution(std::uint32_t n, double longest) {
    h = longest / n;
    const double offset = 0.3819660112501051 * h;
    for (int a = 0; a < 3; ++a) {
      origin[a] = low[a] - offset;
      cells[a] = static_cast<std::uint32_t>(std::floor((extent[a] + offset) / h)) + 1;
    }
  }

  // Column index range [first, last] covered by [lo, hi] along axis a (x or y), margin included.
  std::pair<std::uint32_t, std::uint32_t> ColumnRange(double lo, double hi, int a) const {
    const double top = cells[a] - 1.0;
    const double first = std::clamp(std::floor((lo - margin - origin[a]) / h), 0.0, top);
    const double last = std::clamp(std::floor((hi + margin - origin[a]) / h), 0.0, top);
    return {static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(last)};
  }

  std::uint64_t ColumnEntries() const {
    std::uint64_t entries = 0;
    auto add = [&](const cBox& box) {
      const auto [i0, i1] = ColumnRange(box.lo[0], box.hi[0], 0);
      const auto [j0, j1] = ColumnRange(box.lo[1], box.hi[1], 1);
      entries += std::uint64_t{i1 - i0 + 1} * (j1 - j0 + 1);
    };
    for (const cTriangle& t : mesh) add(BoxOf(t));
    for (const cHullFace& f : hullFaces) add(BoxOf(*f.face));
    return entries;
  }

  // Items per column (x fastest), in item order: column c holds items[start[c], start[c + 1]).
  struct cBins {
    std::vector<std::size_t> start;
    std::vector<std::uint32_t> items;
  };

  // Every item in each column its box (plus margin) overlaps in x and y.
  template <typename BoxOfItem>
  cBins Bin(std::size_t count, BoxOfItem boxOf) const {
    cBins bins;
    bins.start.assign(std::size_t{cells[0]} * cells[1] + 1, 0);
    auto visit = [&](auto&& each) {
      for (std::size_t item = 0; item < count; ++item) {
        const cBox box = boxOf(item);
        const auto [i0, i1] = ColumnRange(box.lo[0], box.hi[0], 0);
        const auto [j0, j1] = ColumnRange(box.lo[1], box.hi[1], 1);
        for (std::uint32_t j = j0; j <= j1; ++j) {
          for (std::uint32_t i = i0; i <= i1; ++i) each(std::size_t{j} * cells[0] + i, item);
        }
      }
    };
    visit([&](std::size_t column, std::size_t) { ++bins.start[column + 1]; });
    for (std::size_t c = 1; c < bins.start.size(); ++c) bins.start[c] += bins.start[c - 1];
    bins.items.resize(bins.start.back());
    std::vector<std::size_t> next(bins.start.begin(), bins.start.end() - 1);
    visit([&](std::size_t column, std::size_t item) {
      bins.items[next[column]++] = static_cast<std::uint32_t>(item);
    });
    return bins;
  }

  // The z range, margin included, of the part of t in the column's prism.
  bool Cut(const cTriangle& t, const cColumn& column, double& lo, double& hi) const {
    if (!CutRange(t, column.x0 - margin, column.x0 + h + margin, column.y0 - margin,
                  column.y0 + h + margin, lo, hi)) {
      return false;
    }
    lo -= margin, hi += margin;
    return true;
  }

  // The cells [first, last] whose closed z range meets [lo, hi], or whose centre lies in it
  // when centres is true; first > last when there are none.
  std::pair<long, long> CellRange(double lo, double hi, bool centres) const {
    if (!(lo <= hi)) return {1, 0};
    const double top = cells[2] - 1.0;
    const double first = std::ceil((lo - origin[2]) / h - (centres ? 0.5 : 1.0));
    const double last = std::floor((hi - origin[2]) / h - (centres ? 0.5 : 0.0));
    if (first > top || last < 0.0 || first > last) return {1, 0};
    return {static_cast<long>(std::max(first, 0.0)), static_cast<long>(std::min(last, top))};
  }

  void MarkCells(double lo, double hi, bool centres, std::vector<int>& marks) const {
    const auto [first, last] = CellRange(lo, hi, centres);
    if (first > last) return;
    ++marks[first];
    --marks[last + 1];
  }

  // One hull's faces in the column: its crossings pair up into intervals of the line; the cells
  // its faces meet are uncertain for the union; the cells between its crossings that none of
  // its faces meets are wholly inside it.
  void ColumnHull(const std::uint32_t* begin, const std::uint32_t* end, cColumn& column) const {
    column.hullCrossings.clear();
    column.hullCells.clear();
    double z = 0.0, lo = 0.0, hi = 0.0;
    for (const std::uint32_t* f = begin; f != end; ++f) {
      const cTriangle& t = *hullFaces[*f].face;
      if (Cut(t, column, lo, hi)) {
        const auto range = CellRange(lo, hi, false);
        if (range.first <= range.second) {
          column.hullCells.push_back(range);
          ++column.maybeMarks[range.first];
          --column.maybeMarks[range.second + 1];
        }
      }
      if (VerticalCrossing(t, column.line, z)) column.hullCrossings.push_back(z);
    }
    std::vector<double>& crossings = column.hullCrossings;
    if (crossings.size() < 2) return;
    std::sort(crossings.begin(), crossings.end());
    for (std::size_t c = 0; c + 1 < crossings.size(); c += 2) {
      column.lineIntervals.push_back({crossings[c], crossings[c + 1]});
    }
    const auto [first, last] = CellRange(crossings.front(), crossings.back(), true);
    if (first > last) return;
    std::vector<int>& marks = column.hullMarks;
    marks.assign(static_cast<std::size_t>(last - first + 2), 0);
    for (auto [a, b] : column.hullCells) {
      a = std::max(a, first), b = std::min(b, last);
      if (a > b) continue;
      ++marks[a - first];
      --marks[b - first + 1];
    }
    int met = 0;
    std::size_t below = 0;
    for (long k = first; k <= last; ++k) {
      met += marks[k - first];
      const double centre = origin[2] + (k + 0.5) * h;
      while (below < crossings.size() && crossings[below] < centre) ++below;
      if (met == 0 && below % 2 == 1) {
        ++column.inMarks[k];
        --column.inMarks[k + 1];
      }
    }
  }

  // Lengths along the column's line: inside the solid (between crossings 0-1, 2-3, ...), inside
  // the union of the hulls' intervals, and inside both.
  static void LineLengths(const std::vector<double>& crossings,
                          std::vector<cInterval>& hullIntervals, double& both, double& solid,
                          double& hulls) {
    std::sort(hullIntervals.begin(), hullIntervals.end(),
              [](const cInterval& a, const cInterval& b) {
                return a.lo < b.lo || (a.lo == b.lo && a.hi < b.hi);
              });
    std::vector<cInterval> merged;
    for (const cInterval& interval : hullIntervals) {
      if (!merged.empty() && interval.lo <= merged.back().hi) {
        merged.back().hi = std::max(merged.back().hi, interval.hi);
      } else {
        merged.push_back(interval);
      }
    }
    for (const cInterval& interval : merged) hulls += interval.hi - interval.lo;
    std::size_t k = 0;
    for (std::size_t c = 0; c + 1 < crossings.size(); c += 2) {
      const double lo = crossings[c], hi = crossings[c + 1];
      solid += hi - lo;
      while (k < merged.size() && merged[k].hi <= lo) ++k;
      for (std::size_t m = k; m < merged.size() && merged[m].lo < hi; ++m) {
        both += std::max(0.0, std::min(hi, merged[m].hi) - std::max(lo, merged[m].lo));
      }
    }
  }

  void CountUncertain(const cColumn& column, std::uint64_t& intersectionCells,
                      std::uint64_t& excessCells, std::uint64_t& missingCells) const {
    int solidCount = 0, inCount = 0, maybeCount = 0;
    std::size_t below = 0;
    for (std::uint32_t k = 0; k < cells[2]; ++k) {
      solidCount += column.solidMarks[k], inCount += column.inMarks[k];
      maybeCount += column.maybeMarks[k];
      const double centre = origin[2] + (k + 0.5) * h;
      while (below < column.crossings.size() && column.crossings[below] < centre) ++below;
      const eState s = solidCount > 0 ? kMaybe : (below % 2 == 1 ? kIn : kOut);
      const eState u = inCount > 0 ? kIn : (maybeCount > 0 ? kMaybe : kOut);
      if (!(s == kOut || u == kOut || (s == kIn && u == kIn))) ++intersectionCells;
      if (!(u == kOut || s == kIn || (u == kIn && s == kOut))) ++excessCells;
      if (!(s == kOut || u == kIn || (s == kIn && u == kOut))) ++missingCells;
    }
  }

  const cTriangleList& mesh;
  const std::vector<cHullFace>& hullFaces;  // grouped by hull, in hull order
  bool valid = false;
  std::array<double, 3> low = {0.0, 0.0, 0.0};     // the box's lower corner
  std::array<double, 3> origin = {0.0, 0.0, 0.0};  // the grid's lower corner
  std::array<double, 3> extent = {0.0, 0.0, 0.0};
  std::array<std::uint32_t, 3> cells = {0, 0, 0};
  double h = 0.0;       // cell side
  double margin = 0.0;  // absorbs rounding of the double computations on coordinates
};

double SignedVolume(const cTriangleList& mesh) {
  if (mesh.empty()) return 0.0;
  const cPoint centre = ToPoint(GetCenter(ComputeBoundBox(mesh)));
  cSum sum;
  for (const cTriangle& t : mesh) {
    const cPoint a = ToPoint(t.vertex[0]) - centre, b = ToPoint(t.vertex[1]) - centre,
                 c = ToPoint(t.vertex[2]) - centre;
    sum.Add(DotOf(a, CrossOf(b, c)));
  }
  return sum.Value() / 6.0;
}

void MeasureVolumes(const cTriangleList& mesh, const std::vector<cPreparedHull>& prepared,
                    std::uint32_t resolution, cFidelity& result) {
  result.solidVolume = SignedVolume(mesh);
  std::vector<cHullFace> hullFaces;
  for (std::size_t k = 0; k < prepared.size(); ++k) {
    if (prepared[k].Flat()) continue;
    for (const cTriangle& face : prepared[k].Faces()) {
      hullFaces.push_back({&face, static_cast<std::uint32_t>(k)});
    }
  }
  cVolumeGrid grid(mesh, hullFaces, resolution);
  if (!grid.Valid()) return;
  std::uint64_t intersectionCells = 0, excessCells = 0, missingCells = 0;
  grid.Measure(result.intersectionVolume, result.excessVolume, result.missingVolume,
               intersectionCells, excessCells, missingCells);
  const double h = grid.CellSize();
  const double cellVolume = h * h * h;
  result.cellSize = h;
  for (int a = 0; a < 3; ++a) result.gridCells[a] = grid.Cells()[a];
  result.intersectionError = intersectionCells * cellVolume;
  result.excessError = excessCells * cellVolume;
  result.missingError = missingCells * cellVolume;

  const double solid = result.solidVolume;
  const double i = result.intersectionVolume, e = result.excessVolume;
  const double iLow = std::max(0.0, i - result.intersectionError);
  const double iHigh = std::min(i + result.intersectionError, std::max(solid, 0.0));
  const double eLow = std::max(0.0, e - result.excessError), eHigh = e + result.excessError;
  if (!(solid > 0.0)) return;
  result.iou = SafeRatio(i, solid + e);
  result.iouLow = std::min(SafeRatio(iLow, solid + eHigh), result.iou);
  result.iouHigh = std::max(SafeRatio(iHigh, solid + eLow), result.iou);
}

// The finite triangles of a mesh, each set of three corners once (a repeated triangle, in any
// corner order, adds nothing to a nearest-distance search but its cost).
std::vector<std::uint32_t> DistinctFiniteTriangles(const cCornerIndex& corners) {
  std::vector<std::uint32_t> kept;
  if (corners.overflow) return kept;
  const std::size_t count = corners.id.size() / 3;
  auto key = [&](std::size_t t) {
    std::array<std::uint32_t, 3> k = {corners.id[3 * t], corners.id[3 * t + 1],
                                      corners.id[3 * t + 2]};
    std::sort(k.begin(), k.end());
    return k;
  };
  std::size_t slots = 1024;
  while (slots < 2 * count) slots *= 2;
  std::vector<std::uint32_t> table(slots, kNone);
  for (std::size_t t = 0; t < count; ++t) {
    const auto k = key(t);
    if (k[2] == kNone) continue;  // a corner that is not finite sorts last
    std::uint64_t h =
        (std::uint64_t{k[0]} << 32 | k[1]) ^ (std::uint64_t{k[2]} * 0x9E3779B97F4A7C15ull);
    h = (h ^ (h >> 31)) * 0xBF58476D1CE4E5B9ull;
    std::size_t slot = (h ^ (h >> 29)) & (slots - 1);
    while (table[slot] != kNone && key(table[slot]) != k) slot = (slot + 1) & (slots - 1);
    if (table[slot] != kNone) continue;
    table[slot] = static_cast<std::uint32_t>(t);
    kept.push_back(static_cast<std::uint32_t>(t));
  }
  return kept;
}

void MeasureDistances(const cTriangleList& mesh, const cCornerIndex& corners,
                      const std::vector<cPreparedHull>& prepared, std::uint32_t samples,
                      cFidelity& result) {
  if (samples == 0 || !(result.diagonal > 0.0)) return;
  std::vector<cItemBox> boxes;
  for (std::uint32_t t : DistinctFiniteTriangles(corners)) {
    boxes.push_back(ItemBox(BoxOf(mesh[t]), t));
  }
  if (boxes.empty() || boxes.size() > cBoxTree::kMaxItems) return;
  cSurfaceSampler sampler;
  for (const cPreparedHull& hull : prepared) {
    for (const cTriangle& t : hull.Faces()) sampler.AddTriangle(t);
  }
  if (!(sampler.Area() > 0.0)) return;
  const cBoxTree tree(std::move(boxes));
  // The triangles in the tree's leaf order, so that a search reads memory close together.
  cTriangleList ordered(tree.Size());
  for (std::size_t i = 0; i < ordered.size(); ++i) ordered[i] = mesh[tree.Item(i)];
  double largest = 0.0;
  cSum sum;
  std::uint32_t count = 0;
  // Successive samples lie close together: the previous sample's nearest triangle gives each
  // search a starting bound.
  std::uint32_t nearest = kNone;
  sampler.Sample(samples, [&](const cPoint& p) {
    auto distance2 = [&](std::uint32_t i) { return PointTriangleDistance2(p, ordered[i]); };
    const double bound = nearest == kNone ? kInfinity : distance2(nearest);
    double d2;
    std::tie(d2, nearest) = tree.Nearest2(p, distance2, bound, nearest);
    const double d = std::sqrt(d2);
    largest = std::max(largest, d);
    sum.Add(d);
    ++count;
  });
  result.distanceSamples = count;
  if (count == 0) return;
  result.largestDistance = largest / result.diagonal;
  result.meanDistance = sum.Value() / count / result.diagonal;
}

}  // namespace

cFidelity MeasureFidelity(const cTriangleList& mesh, const std::vector<cTriangleList>& hulls,
                          const cFidelitySettings& settings) {
  cFidelity result;
  const std::uint32_t samples = std::min<std::uint32_t>(settings.surfaceSamples, 1u << 24);
  const double share =
      std::isfinite(settings.tolerance) && settings.tolerance > 0.0 ? settings.tolerance : 0.0;

  const cCornerIndex corners = IndexCorners(mesh);
  if (!corners.distinct.empty()) {
    cBox box;
    for (const cVec3& v : corners.distinct) box.Add(ToPoint(v));
    const cPoint diagonal{box.hi[0] - box.lo[0], box.hi[1] - box.lo[1], box.hi[2] - box.lo[2]};
    result.diagonal = std::sqrt(DotOf(diagonal, diagonal));
  }
  result.tolerance = share * result.diagonal;

  // The hulls' sizes, and the ones that take part.
  std::vector<cPreparedHull> prepared;
  prepared.reserve(hulls.size());
  for (const cTriangleList& faces : hulls) {
    cHullFidelity entry;
    entry.vertexCount =
        static_cast<std::uint32_t>(std::min<std::size_t>(DistinctCorners(faces), kNone));
    entry.faceCount = static_cast<std::uint32_t>(std::min<std::size_t>(faces.size(), kNone));
    entry.measured = !faces.empty() && std::all_of(faces.begin(), faces.end(),
                                                   [](const cTriangle& t) { return IsFinite(t); });
    if (entry.measured) prepared.emplace_back(faces, result.tolerance);
    result.totalVertices += entry.vertexCount;
    result.totalFaces += entry.faceCount;
    result.largestVertexCount = std::max(result.largestVertexCount, entry.vertexCount);
    result.hulls.push_back(entry);
  }

  // Coverage.
  std::vector<cItemBox> hullBoxes;
  for (std::size_t k = 0; k < prepared.size(); ++k) {
    cBox box = prepared[k].Box();
    box.Grow(result.tolerance);
    hullBoxes.push_back(ItemBox(box, static_cast<std::uint32_t>(k)));
  }
  const cBoxTree hullTree(std::move(hullBoxes));
  std::vector<std::uint32_t> hints(prepared.size(), kNone);
  auto covered = [&](const cPoint& p) {
    return hullTree.AnyContaining(p, [&](std::uint32_t position) {
      const std::uint32_t k = hullTree.Item(position);
      return prepared[k].Covers(p, hints[k]);
    });
  };
  result.meshVertices = static_cast<std::uint32_t>(corners.distinct.size());
  for (const cVec3& v : corners.distinct) result.meshVerticesCovered += covered(ToPoint(v));
  if (result.meshVertices > 0) {
    result.vertexCoverage = double(result.meshVerticesCovered) / result.meshVertices;
  }
  cSurfaceSampler meshSampler;
  for (const cTriangle& t : mesh) {
    if (IsFinite(t)) meshSampler.AddTriangle(t);
  }
  meshSampler.Sample(samples, [&](const cPoint& p) {
    ++result.surfaceSamples;
    result.surfaceSamplesCovered += covered(p);
  });
  if (result.surfaceSamples > 0) {
    result.surfaceCoverage = double(result.surfaceSamplesCovered) / result.surfaceSamples;
  }

  result.closed = IsClosedSurface(mesh);
  if (result.closed) {
    MeasureVolumes(mesh, prepared, settings.gridResolution, result);
  } else {
    MeasureDistances(mesh, corners, prepared,
                     std::min<std::uint32_t>(settings.distanceSamples, 1u << 24), result);
  }
  return result;
}
