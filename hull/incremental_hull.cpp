#include "incremental_hull.h"

#include <algorithm>
#include <cmath>

#include "exact_predicates.h"
#include "hull/hull.h"
#include "hull_internal.h"

namespace {

// SignedDistance of p from a face's plane, from the plane's stored parts. The same operations in
// the same order as SignedDistance and Dot: the products widened to double and summed z, y, x;
// the sum with the float offset rounded to float; the division in double.
inline double PlaneDistance(const cVec3& n, float offset, double length, const cVec3& p) {
  const double dot = static_cast<double>(n.z) * p.z + static_cast<double>(n.y) * p.y +
                     static_cast<double>(n.x) * p.x;
  const float numerator = static_cast<float>(dot + offset);
  return numerator / length;
}

inline bool Finite(const cVec3& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

inline double MaxAbs(const cVec3& p) {
  return std::max({std::fabs(double(p.x)), std::fabs(double(p.y)), std::fabs(double(p.z))});
}

// Upper bound of n . (q - v) over n in [nmin, nmax] and v in [vmin, vmax], per axis.
inline double Bound(const double nmin[3], const double nmax[3], const double vmin[3],
                    const double vmax[3], const cVec3& q) {
  const double qc[3] = {q.x, q.y, q.z};
  double sum = 0.0;
  for (int k = 0; k < 3; ++k) {
    const double lo = qc[k] - vmax[k], hi = qc[k] - vmin[k];
    sum += std::max(std::max(nmin[k] * lo, nmin[k] * hi), std::max(nmax[k] * lo, nmax[k] * hi));
  }
  return sum;
}

// Faces with a shorter Normal are tested on every step: below it the float rounding of the
// numerator near zero (2^-150 absolute) could outgrow the margin once divided by the length.
constexpr double kShortestIndexedNormal = 1e-30;

}  // namespace

cIncrementalHull::cIncrementalHull(const cBoundBox& box_, std::size_t expectedPoints,
                                   bool trackEdges_)
    : box(box_), trackEdges(trackEdges_), pointIds(trackEdges_ ? expectedPoints : 16) {
  if (!Finite(box.min) || !Finite(box.max)) box = cBoundBox{};
  center[0] = (double(box.min.x) + box.max.x) / 2;
  center[1] = (double(box.min.y) + box.max.y) / 2;
  center[2] = (double(box.min.z) + box.max.z) / 2;
  cNode root;
  std::fill(std::begin(root.child), std::end(root.child), -1);
  root.parent = -1;
  ResetBounds(root);
  nodes.push_back(std::move(root));
  if (trackEdges) edges.reserve(expectedPoints * 8);
}

double cIncrementalHull::Depth(const cFace& f) const {
  const cVec3& v = f.t.vertex[0];
  return f.unit[0] * (v.x - center[0]) + f.unit[1] * (v.y - center[1]) +
         f.unit[2] * (v.z - center[2]);
}

std::uint32_t cIncrementalHull::PointId(const cVec3& p) {
  const std::uint32_t id = pointIds.FindOrInsert(p, nextPointId);
  if (id == nextPointId) ++nextPointId;
  return id;
}

void cIncrementalHull::ResetBounds(cNode& node) {
  for (int k = 0; k < 3; ++k) {
    node.nmin[k] = node.vmin[k] = INFINITY;
    node.nmax[k] = node.vmax[k] = -INFINITY;
  }
}

void cIncrementalHull::Grow(cNode& node, const cFace& f) {
  for (int k = 0; k < 3; ++k) {
    node.nmin[k] = std::min(node.nmin[k], f.unit[k]);
    node.nmax[k] = std::max(node.nmax[k], f.unit[k]);
  }
  for (const cVec3& v : f.t.vertex) {
    const double c[3] = {v.x, v.y, v.z};
    for (int k = 0; k < 3; ++k) {
      node.vmin[k] = std::min(node.vmin[k], c[k]);
      node.vmax[k] = std::max(node.vmax[k], c[k]);
    }
  }
}

void cIncrementalHull::AddFace(const cTriangle& t) {
  cFace f;
  f.t = t;
  f.n = Normal(t);
  f.offset = static_cast<float>(-Dot(f.n, t.vertex[0]));
  f.length = Length(f.n);
  for (int k = 0; k < 3; ++k) f.id[k] = PointId(t.vertex[k]);
  f.alive = true;
  f.leaf = -1;
  const bool indexable = Finite(t.vertex[0]) && Finite(t.vertex[1]) && Finite(t.vertex[2]) &&
                         Finite(f.n) && std::isfinite(f.offset) && std::isfinite(f.length) &&
                         f.length >= kShortestIndexedNormal;
  if (indexable) {
    f.unit[0] = f.n.x / f.length;
    f.unit[1] = f.n.y / f.length;
    f.unit[2] = f.n.z / f.length;
    for (const cVec3& v : t.vertex) scale = std::max(scale, MaxAbs(v));
  } else {
    f.unit[0] = f.unit[1] = f.unit[2] = 0.0;
  }
  faces.push_back(f);
  const auto id = static_cast<std::uint32_t>(faces.size() - 1);
  if (indexable) {
    Insert(id);
    innerRadius = std::min(innerRadius, Depth(faces[id]));
  } else {
    unindexed.push_back(id);
  }
  if (trackEdges) {
    if (f.id[0] == f.id[1] || f.id[1] == f.id[2] || f.id[2] == f.id[0]) ++defects;
    for (int e = 0; e < 3; ++e) ChangeEdge((std::uint64_t{f.id[e]} << 32) | f.id[(e + 1) % 3], 1);
  }
}

void cIncrementalHull::Insert(std::uint32_t id) {
  cFace& f = faces[id];
  const int cells = 1 << kDepth;
  const double lo[3] = {box.min.x, box.min.y, box.min.z};
  const double hi[3] = {box.max.x, box.max.y, box.max.z};
  for (int k = 0; k < 3; ++k) {
    const double c =
        (double((&f.t.vertex[0].x)[k]) + (&f.t.vertex[1].x)[k] + (&f.t.vertex[2].x)[k]) / 3.0;
    const double extent = hi[k] - lo[k];
    const double at = extent > 0.0 ? (c - lo[k]) / extent * cells : 0.0;
    f.cell[k] = static_cast<std::uint16_t>(at >= cells ? cells - 1 : at > 0.0 ? int(at) : 0);
  }
  std::int32_t node = 0;
  for (;;) {
    ++nodes[node].alive;
    Grow(nodes[node], f);
    if (!nodes[node].split) break;
    node = Child(node, f);
  }
  nodes[node].items.push_back(id);
  f.leaf = node;
  if (nodes[node].items.size() > kLeafSize && nodes[node].level < kDepth) Split(node);
}

std::int32_t cIncrementalHull::Child(std::int32_t node, const cFace& f) {
  const int shift = kDepth - 1 - nodes[node].level;
  const int which = ((f.cell[0] >> shift) & 1) | (((f.cell[1] >> shift) & 1) << 1) |
                    (((f.cell[2] >> shift) & 1) << 2);
  if (nodes[node].child[which] < 0) {
    cNode child;
    std::fill(std::begin(child.child), std::end(child.child), -1);
    child.parent = node;
    child.level = nodes[node].level + 1;
    ResetBounds(child);
    nodes.push_back(std::move(child));
    nodes[node].child[which] = static_cast<std::int32_t>(nodes.size() - 1);
  }
  return nodes[node].child[which];
}

// Hands a full leaf's faces down to new children, one level finer.
void cIncrementalHull::Split(std::int32_t node) {
  std::vector<std::uint32_t> items;
  items.swap(nodes[node].items);
  nodes[node].split = true;
  for (std::uint32_t id : items) {
    if (!faces[id].alive) continue;
    const std::int32_t child = Child(node, faces[id]);
    ++nodes[child].alive;
    Grow(nodes[child], faces[id]);
    nodes[child].items.push_back(id);
    faces[id].leaf = child;
  }
}

void cIncrementalHull::Refit(std::int32_t at) {
  cNode& node = nodes[at];
  ResetBounds(node);
  node.removed = 0;
  const bool leaf = !node.split;
  for (std::int32_t c : node.child) {
    if (c < 0) continue;
    const cNode& child = nodes[c];
    if (child.alive == 0) continue;
    for (int k = 0; k < 3; ++k) {
      node.nmin[k] = std::min(node.nmin[k], child.nmin[k]);
      node.nmax[k] = std::max(node.nmax[k], child.nmax[k]);
      node.vmin[k] = std::min(node.vmin[k], child.vmin[k]);
      node.vmax[k] = std::max(node.vmax[k], child.vmax[k]);
    }
  }
  if (!leaf) return;
  std::size_t kept = 0;
  for (std::uint32_t id : node.items) {
    if (!faces[id].alive) continue;
    node.items[kept++] = id;
    Grow(node, faces[id]);
  }
  node.items.resize(kept);
}

void cIncrementalHull::Remove(std::uint32_t id) {
  cFace& f = faces[id];
  f.alive = false;
  if (trackEdges) {
    if (f.id[0] == f.id[1] || f.id[1] == f.id[2] || f.id[2] == f.id[0]) --defects;
    for (int e = 0; e < 3; ++e) ChangeEdge((std::uint64_t{f.id[e]} << 32) | f.id[(e + 1) % 3], -1);
  }
  if (f.leaf < 0) {
    unindexed.erase(std::find(unindexed.begin(), unindexed.end(), id));
    return;
  }
  // The inner radius only grows when faces go; it is recomputed once the removals since the last
  // recomputation outnumber the faces.
  if (++removedSinceRadius > nodes[0].alive + 16) {
    removedSinceRadius = 0;
    innerRadius = INFINITY;
    for (const cFace& g : faces) {
      if (g.alive && g.leaf >= 0 && &g != &f) innerRadius = std::min(innerRadius, Depth(g));
    }
  }
  // Bounds only shrink at refits; a node is refitted once its removals outnumber its faces, so
  // the work stays proportional to the removals.
  for (std::int32_t node = f.leaf; node >= 0; node = nodes[node].parent) {
    cNode& n = nodes[node];
    --n.alive;
    ++n.removed;
    if (n.alive == 0) {
      ResetBounds(n);
      n.removed = 0;
      n.items.clear();
    } else if (n.removed > n.alive + 8) {
      Refit(node);
    }
  }
}

int cIncrementalHull::EdgeDefect(std::uint64_t edge) const {
  const auto it = edges.find(edge);
  if (it == edges.end()) return 0;
  const std::uint64_t reverse = (edge << 32) | (edge >> 32);
  return (it->second != 1) + (edges.find(reverse) == edges.end());
}

void cIncrementalHull::ChangeEdge(std::uint64_t edge, int delta) {
  const std::uint64_t reverse = (edge << 32) | (edge >> 32);
  defects -= EdgeDefect(edge);
  if (reverse != edge) defects -= EdgeDefect(reverse);
  auto it = edges.try_emplace(edge, 0).first;
  it->second += delta;
  if (it->second == 0) edges.erase(it);
  defects += EdgeDefect(edge);
  if (reverse != edge) defects += EdgeDefect(reverse);
}

template <class cTest>
void cIncrementalHull::Query(const cVec3& q, double threshold, cTest test,
                             std::vector<std::uint32_t>& out) {
  for (std::uint32_t id : unindexed) {
    if (test(faces[id])) out.push_back(id);
  }
  if (!Finite(q)) {  // no bound holds: every face is tested
    for (std::uint32_t id = 0; id < faces.size(); ++id) {
      if (faces[id].alive && faces[id].leaf >= 0 && test(faces[id])) out.push_back(id);
    }
    return;
  }
  // Margin: SignedDistance differs from the exact n . (q - corner) / |n| by the float rounding
  // of the offset (2^-24 of |corner|), of the numerator (2^-24 of the result) and by double
  // roundings, all well inside 1e-6 of the magnitudes involved.
  const double reach = std::max(scale, MaxAbs(q));
  // No face plane lies closer to center than innerRadius, so none has q farther in front than
  // |q - center| - innerRadius.
  const double dx = q.x - center[0], dy = q.y - center[1], dz = q.z - center[2];
  const double inner = std::sqrt(dx * dx + dy * dy + dz * dz) - innerRadius;
  if (inner + 1e-6 * (std::fabs(inner) + reach) + 1e-14 <= threshold) return;
  stack.clear();
  stack.push_back(0);
  while (!stack.empty()) {
    const cNode& node = nodes[stack.back()];
    stack.pop_back();
    if (node.alive == 0) continue;
    const double bound = Bound(node.nmin, node.nmax, node.vmin, node.vmax, q);
    if (bound + 1e-6 * (std::fabs(bound) + reach) + 1e-14 <= threshold) continue;
    if (!node.items.empty()) {
      for (std::uint32_t id : node.items) {
        if (faces[id].alive && test(faces[id])) out.push_back(id);
      }
    }
    for (std::int32_t c : node.child) {
      if (c >= 0) stack.push_back(c);
    }
  }
}

void cIncrementalHull::AddPoint(const cVec3& q) {
  // Step 2: the visible faces, in the order they stand.
  visible.clear();
  const double visibleTolerance = static_cast<double>(VisibleTolerance);
  Query(
      q, visibleTolerance,
      [&](const cFace& f) { return PlaneDistance(f.n, f.offset, f.length, q) > visibleTolerance; },
      visible);
  if (visible.empty()) return;
  std::sort(visible.begin(), visible.end());

  // Step 3: the candidates. IsHorizonFace rejects when any corner of any visible face lies more
  // than HorizonTolerance in front; the answer does not depend on the order of the corners, so
  // each distinct corner is tested once.
  corners.clear();
  for (std::uint32_t id : visible) {
    for (const cVec3& v : faces[id].t.vertex) corners.push_back(v);
  }
  std::sort(corners.begin(), corners.end(), [](const cVec3& a, const cVec3& b) {
    return a.x != b.x ? a.x < b.x : a.y != b.y ? a.y < b.y : a.z < b.z;
  });
  corners.erase(std::unique(corners.begin(), corners.end(), SamePoint), corners.end());
  const double horizonTolerance = static_cast<double>(HorizonTolerance);
  fan.clear();
  for (std::uint32_t id : visible) {
    const cTriangle f = faces[id].t;
    for (int e = 0; e < 3; ++e) {
      const cTriangle candidate(q, f.vertex[e], f.vertex[(e + 1) % 3]);
      const cVec3 n = Normal(candidate);
      const float offset = static_cast<float>(-Dot(n, q));
      const double length = Length(n);
      bool horizon = true;
      for (const cVec3& corner : corners) {
        if (PlaneDistance(n, offset, length, corner) > horizonTolerance) {
          horizon = false;
          break;
        }
      }
      if (horizon && !ContainsTriangle(fan, candidate)) fan.push_back(candidate);
    }
  }

  // Step 4: the visible faces go, the fan is appended.
  for (std::uint32_t id : visible) Remove(id);
  for (const cTriangle& t : fan) AddFace(t);
}

cTriangleList cIncrementalHull::Faces() const {
  cTriangleList out;
  for (const cFace& f : faces) {
    if (f.alive) out.push_back(f.t);
  }
  return out;
}

namespace {

// Distance in double from p to the triangle a, b, c (which must have a non-zero normal), by the
// closest point on the triangle: its region found from barycentric signs (Ericson, Real-Time
// Collision Detection, 5.1.5).
double TriangleDistance(const cVec3& fa, const cVec3& fb, const cVec3& fc, const cVec3& fp) {
  struct cV {
    double x, y, z;
  };
  auto sub = [](cV u, cV v) { return cV{u.x - v.x, u.y - v.y, u.z - v.z}; };
  auto dot = [](cV u, cV v) { return u.x * v.x + u.y * v.y + u.z * v.z; };
  auto at = [](cV u, cV v, double t) { return cV{u.x + t * v.x, u.y + t * v.y, u.z + t * v.z}; };
  const cV a{fa.x, fa.y, fa.z}, b{fb.x, fb.y, fb.z}, c{fc.x, fc.y, fc.z}, p{fp.x, fp.y, fp.z};
  const cV ab = sub(b, a), ac = sub(c, a), ap = sub(p, a);
  cV closest;
  const double d1 = dot(ab, ap), d2 = dot(ac, ap);
  const cV bp = sub(p, b);
  const double d3 = dot(ab, bp), d4 = dot(ac, bp);
  const cV cp = sub(p, c);
  const double d5 = dot(ab, cp), d6 = dot(ac, cp);
  const double vc = d1 * d4 - d3 * d2, vb = d5 * d2 - d1 * d6, va = d3 * d6 - d5 * d4;
  if (d1 <= 0 && d2 <= 0) {
    closest = a;
  } else if (d3 >= 0 && d4 <= d3) {
    closest = b;
  } else if (vc <= 0 && d1 >= 0 && d3 <= 0) {
    closest = at(a, ab, d1 / (d1 - d3));
  } else if (d6 >= 0 && d5 <= d6) {
    closest = c;
  } else if (vb <= 0 && d2 >= 0 && d6 <= 0) {
    closest = at(a, ac, d2 / (d2 - d6));
  } else if (va <= 0 && (d4 - d3) >= 0 && (d5 - d6) >= 0) {
    closest = at(b, sub(c, b), (d4 - d3) / ((d4 - d3) + (d5 - d6)));
  } else {
    const double denominator = 1.0 / (va + vb + vc);
    closest = at(at(a, ab, vb * denominator), ac, vc * denominator);
  }
  const cV d = sub(p, closest);
  return std::sqrt(dot(d, d));
}

// Distance from p to the box [lo, hi].
double BoxDistance(const double lo[3], const double hi[3], const cVec3& p) {
  const double c[3] = {p.x, p.y, p.z};
  double sum = 0.0;
  for (int k = 0; k < 3; ++k) {
    const double d = c[k] < lo[k] ? lo[k] - c[k] : c[k] > hi[k] ? c[k] - hi[k] : 0.0;
    sum += d * d;
  }
  return std::sqrt(sum);
}

}  // namespace

bool cIncrementalHull::OnSurface(const cVec3& p, double tolerance) {
  for (std::uint32_t id : unindexed) {
    const cFace& f = faces[id];
    if (f.length != 0.0 &&
        TriangleDistance(f.t.vertex[0], f.t.vertex[1], f.t.vertex[2], p) <= tolerance)
      return true;
  }
  stack.clear();
  stack.push_back(0);
  while (!stack.empty()) {
    const cNode& node = nodes[stack.back()];
    stack.pop_back();
    if (node.alive == 0 || BoxDistance(node.vmin, node.vmax, p) > tolerance) continue;
    for (std::uint32_t id : node.items) {
      const cFace& f = faces[id];
      if (f.alive && TriangleDistance(f.t.vertex[0], f.t.vertex[1], f.t.vertex[2], p) <= tolerance)
        return true;
    }
    for (std::int32_t c : node.child) {
      if (c >= 0) stack.push_back(c);
    }
  }
  return false;
}

bool cIncrementalHull::Holds(const cPointList& points, double tolerance) {
  double volume = 0.0, area = 0.0;
  bool any = false;
  cVec3 origin;
  for (const cFace& f : faces) {
    if (!f.alive) continue;
    if (f.leaf < 0 && f.length != 0.0) return false;  // a plane that cannot be measured
    // A normal of length 0 is a face whose corners lie on one line, unless its products fell
    // below what a float holds (coordinates near 1e-20 and smaller): such a plane says nothing.
    if (f.length == 0.0 && !Collinear(f.t.vertex[0], f.t.vertex[1], f.t.vertex[2])) return false;
    if (!any) origin = f.t.vertex[0], any = true;
    double c[3][3];
    for (int i = 0; i < 3; ++i) {
      c[i][0] = double(f.t.vertex[i].x) - origin.x;
      c[i][1] = double(f.t.vertex[i].y) - origin.y;
      c[i][2] = double(f.t.vertex[i].z) - origin.z;
    }
    volume += (c[0][0] * (c[1][1] * c[2][2] - c[1][2] * c[2][1]) -
               c[0][1] * (c[1][0] * c[2][2] - c[1][2] * c[2][0]) +
               c[0][2] * (c[1][0] * c[2][1] - c[1][1] * c[2][0])) /
              6.0;
    area += f.length / 2.0;
  }
  // Wound inward: a volume below what the tolerance allows a flat surface.
  if (!any || volume < -tolerance * area) return false;
  const bool flat = volume <= tolerance * area;
  std::vector<std::uint32_t> out;
  for (const cVec3& p : points) {
    if (!Finite(p)) return false;
    // A flat hull holds its points on its surface; and no surface, flat or not, may have a point
    // in front of one of its faces, or it would be a folded one rather than a convex one.
    if (flat && !OnSurface(p, tolerance)) return false;
    // Inside: behind every face plane.
    Query(
        p, tolerance,
        [&](const cFace& f) {
          if (f.length == 0.0) return false;
          const cVec3& v = f.t.vertex[0];
          const double d =
              (double(f.n.x) * (double(p.x) - v.x) + double(f.n.y) * (double(p.y) - v.y) +
               double(f.n.z) * (double(p.z) - v.z)) /
              f.length;
          return d > tolerance;
        },
        out);
    if (!out.empty()) return false;
  }
  return true;
}
