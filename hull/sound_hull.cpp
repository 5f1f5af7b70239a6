#include "sound_hull.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>

#include "exact_predicates.h"
#include "geometry/point_key.h"
#include "geometry/vec3d.h"

namespace {

// The distinct finite points, in order of first appearance.
std::vector<cVec3> FiniteDistinct(const cPointList& points) {
  std::vector<cVec3> kept;
  kept.reserve(points.size());
  cPointIndex index(points.size());
  for (const cVec3& p : points) {
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) continue;
    const auto next = static_cast<std::uint32_t>(kept.size());
    if (index.FindOrInsert(p, next) == next) kept.push_back(p);
  }
  return kept;
}

// Collinear points: the lexicographic ends and the first point between them, both ways round.
cTriangleList LineHull(const std::vector<cVec3>& p) {
  auto less = [](const cVec3& a, const cVec3& b) {
    return a.x != b.x ? a.x < b.x : a.y != b.y ? a.y < b.y : a.z < b.z;
  };
  std::size_t lo = 0, hi = 0;
  for (std::size_t i = 1; i < p.size(); ++i) {
    if (less(p[i], p[lo])) lo = i;
    if (less(p[hi], p[i])) hi = i;
  }
  for (std::size_t i = 0; i < p.size(); ++i) {
    if (i == lo || i == hi) continue;
    return {cTriangle(p[lo], p[i], p[hi]), cTriangle(p[lo], p[hi], p[i])};
  }
  return {};
}

// Points in one plane, not all on a line; (a, b, c) are three of them not on a line.
cTriangleList FlatHull(const std::vector<cVec3>& p, const cVec3& a, const cVec3& b,
                       const cVec3& c) {
  // Project along an axis the plane is not parallel to; of those, the one the normal is closest
  // to (the choice only needs Orient2d(a, b, c) non-zero to be exact).
  const cVec3d normal = Cross(Widen(b) - Widen(a), Widen(c) - Widen(a));
  const double n[3] = {std::fabs(normal.x), std::fabs(normal.y), std::fabs(normal.z)};
  int axis = -1;
  for (int k = 0; k < 3; ++k) {
    if (Orient2d(a, b, c, k) != 0 && (axis < 0 || n[k] > n[axis])) axis = k;
  }
  auto u = [axis](const cVec3& q) { return axis == 0 ? q.y : axis == 1 ? q.z : q.x; };
  auto v = [axis](const cVec3& q) { return axis == 0 ? q.z : axis == 1 ? q.x : q.y; };
  std::vector<std::size_t> order(p.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(), [&](std::size_t i, std::size_t j) {
    if (u(p[i]) != u(p[j])) return u(p[i]) < u(p[j]);
    if (v(p[i]) != v(p[j])) return v(p[i]) < v(p[j]);
    return i < j;
  });
  // Monotone chain, counter-clockwise in the projection, collinear points dropped.
  std::vector<std::size_t> ring(2 * p.size());
  std::size_t k = 0;
  for (std::size_t i : order) {
    while (k >= 2 && Orient2d(p[ring[k - 2]], p[ring[k - 1]], p[i], axis) <= 0) --k;
    ring[k++] = i;
  }
  const std::size_t lowerEnd = k + 1;
  for (std::size_t at = order.size() - 1; at-- > 0;) {
    const std::size_t i = order[at];
    while (k >= lowerEnd && Orient2d(p[ring[k - 2]], p[ring[k - 1]], p[i], axis) <= 0) --k;
    ring[k++] = i;
  }
  ring.resize(k - 1);  // the last equals the first
  // Seen from the side the projection axis points to, the ring runs counter-clockwise, so the
  // fan from ring[0] faces that way; the fan from ring[1], reversed, faces the other way. Their
  // inner edges differ, so every directed edge appears once and its reverse once.
  cTriangleList faces;
  const std::size_t m = ring.size();
  for (std::size_t i = 1; i + 1 < m; ++i)
    faces.emplace_back(p[ring[0]], p[ring[i]], p[ring[i + 1]]);
  for (std::size_t i = 2; i < m; ++i)
    faces.emplace_back(p[ring[1]], p[ring[(i + 1) % m]], p[ring[i]]);
  return faces;
}

struct cFace {
  std::uint32_t v[3];
  std::uint32_t nb[3];    // face across the edge v[i] -> v[i + 1]
  cVec3d n;               // approximate normal, for the furthest-point choice only
  double offset;          // n . v[0]
  std::int64_t outside;   // head of the list of points strictly in front, or -1
  std::int64_t furthest;  // the point of that list with the largest approximate distance
  double furthestDistance;
  std::uint64_t mark;  // visit stamp of the search in progress
  bool visible;
  bool alive;
};

class cQuickHull {
 public:
  explicit cQuickHull(const std::vector<cVec3>& points)
      : p(points),
        next(points.size(), -1),
        startFace(points.size(), 0),
        endFace(points.size(), 0) {}

  cTriangleList Run(std::size_t i0, std::size_t i1, std::size_t i2, std::size_t i3) {
    // The tetrahedron, every face wound with the fourth corner behind it.
    std::uint32_t a = static_cast<std::uint32_t>(i0), b = static_cast<std::uint32_t>(i1),
                  c = static_cast<std::uint32_t>(i2), d = static_cast<std::uint32_t>(i3);
    if (Orient3d(p[a], p[b], p[c], p[d]) > 0) std::swap(b, c);
    const std::uint32_t tet[4][3] = {{a, b, c}, {d, b, a}, {d, c, b}, {d, a, c}};
    for (const auto& t : tet) NewFace(t[0], t[1], t[2]);
    for (std::uint32_t f = 0; f < 4; ++f) {
      for (int e = 0; e < 3; ++e) {
        const std::uint32_t from = faces[f].v[e], to = faces[f].v[(e + 1) % 3];
        for (std::uint32_t g = 0; g < 4; ++g) {
          for (int k = 0; k < 3; ++k) {
            if (faces[g].v[k] == to && faces[g].v[(k + 1) % 3] == from) faces[f].nb[e] = g;
          }
        }
      }
    }
    for (std::size_t i = 0; i < p.size(); ++i) {
      if (i == a || i == b || i == c || i == d) continue;
      Assign(static_cast<std::int64_t>(i), 0, 4);
    }
    // Faces in creation order; a face's outside list only ever receives points when the face
    // is made, so one pass over the growing list handles every face.
    for (std::size_t f = 0; f < faces.size(); ++f) {
      if (faces[f].alive && faces[f].outside >= 0) AddPoint(static_cast<std::uint32_t>(f));
    }
    cTriangleList result;
    for (const cFace& f : faces) {
      if (f.alive) result.emplace_back(p[f.v[0]], p[f.v[1]], p[f.v[2]]);
    }
    return result;
  }

 private:
  std::uint32_t NewFace(std::uint32_t a, std::uint32_t b, std::uint32_t c) {
    cFace f{};
    f.v[0] = a;
    f.v[1] = b;
    f.v[2] = c;
    const cVec3d pa = Widen(p[a]);
    f.n = Cross(Widen(p[b]) - pa, Widen(p[c]) - pa);
    f.offset = Dot(f.n, pa);
    f.outside = -1;
    f.furthest = -1;
    f.furthestDistance = 0.0;
    f.alive = true;
    faces.push_back(f);
    return static_cast<std::uint32_t>(faces.size() - 1);
  }

  bool InFront(const cFace& f, std::int64_t i) const {
    return Orient3d(p[f.v[0]], p[f.v[1]], p[f.v[2]], p[i]) > 0;
  }

  // Puts point i into the outside list of the first face of [first, last) it lies strictly in
  // front of; a point in front of none of them is inside the hull (or on it) and is dropped.
  void Assign(std::int64_t i, std::size_t first, std::size_t last) {
    for (std::size_t g = first; g < last; ++g) {
      cFace& f = faces[g];
      if (!InFront(f, i)) continue;
      next[i] = f.outside;
      f.outside = i;
      const double distance = Dot(f.n, Widen(p[i])) - f.offset;
      if (f.furthest < 0 || distance > f.furthestDistance) {
        f.furthest = i;
        f.furthestDistance = distance;
      }
      return;
    }
  }

  void AddPoint(std::uint32_t start) {
    const std::int64_t qi = faces[start].furthest;
    ++stamp;
    // The faces q lies strictly in front of: a connected region around start.
    visibleList.clear();
    horizon.clear();
    faces[start].mark = stamp;
    faces[start].visible = true;
    visibleList.push_back(start);
    for (std::size_t at = 0; at < visibleList.size(); ++at) {
      const std::uint32_t f = visibleList[at];
      for (int e = 0; e < 3; ++e) {
        const std::uint32_t g = faces[f].nb[e];
        if (faces[g].mark != stamp) {
          faces[g].mark = stamp;
          faces[g].visible = InFront(faces[g], qi);
          if (faces[g].visible) visibleList.push_back(g);
        }
        if (!faces[g].visible) horizon.push_back({f, e});
      }
    }
    // One new face (q, a, b) per horizon edge (a, b), linked to the face across it and, through
    // the horizon's corners, to its two new neighbours.
    const std::size_t firstNew = faces.size();
    const std::uint32_t qv = static_cast<std::uint32_t>(qi);
    for (const auto& [f, e] : horizon) {
      const std::uint32_t a = faces[f].v[e], b = faces[f].v[(e + 1) % 3];
      const std::uint32_t g = faces[f].nb[e];
      const std::uint32_t n = NewFace(qv, a, b);
      faces[n].nb[1] = g;
      for (int k = 0; k < 3; ++k) {
        if (faces[g].v[k] == b && faces[g].v[(k + 1) % 3] == a) faces[g].nb[k] = n;
      }
      startFace[a] = n;
      endFace[b] = n;
    }
    // Every horizon corner starts one horizon edge and ends another, all of them set just now.
    for (std::size_t n = firstNew; n < faces.size(); ++n) {
      cFace& f = faces[n];
      f.nb[0] = endFace[f.v[1]];    // across q -> a: the new face ending at a
      f.nb[2] = startFace[f.v[2]];  // across b -> q: the new face starting at b
    }
    // The visible faces go; their outside points move to the new faces or are dropped.
    for (std::uint32_t f : visibleList) {
      faces[f].alive = false;
      for (std::int64_t i = faces[f].outside; i >= 0;) {
        const std::int64_t after = next[i];
        if (i != qi) Assign(i, firstNew, faces.size());
        i = after;
      }
      faces[f].outside = -1;
    }
  }

  const std::vector<cVec3>& p;
  std::vector<std::int64_t> next;
  std::vector<cFace> faces;
  std::vector<std::uint32_t> visibleList;
  std::vector<std::pair<std::uint32_t, int>> horizon;
  std::vector<std::uint32_t> startFace, endFace;
  std::uint64_t stamp = 0;
};

}  // namespace

cTriangleList SoundHull(const cPointList& points) {
  const std::vector<cVec3> p = FiniteDistinct(points);
  if (p.size() < 3) return {};
  // Seed: the lowest x (first on ties), the point farthest from it, the point farthest from
  // their line and the point farthest from their plane, each chosen by double-precision
  // measures and confirmed by the exact tests (or replaced by the first point that passes).
  std::size_t i0 = 0;
  for (std::size_t i = 1; i < p.size(); ++i) {
    if (p[i].x < p[i0].x) i0 = i;
  }
  std::size_t i1 = i0;
  double best = -1.0;
  for (std::size_t i = 0; i < p.size(); ++i) {
    const double d = SquaredLength(Widen(p[i]) - Widen(p[i0]));
    if (d > best) best = d, i1 = i;
  }
  const cVec3 &a = p[i0], &b = p[i1];
  const cVec3d u = Widen(b) - Widen(a);
  std::size_t i2 = p.size();
  best = -1.0;
  for (std::size_t i = 0; i < p.size(); ++i) {
    const double d = SquaredLength(Cross(u, Widen(p[i]) - Widen(a)));
    if (d > best) best = d, i2 = i;
  }
  if (Collinear(a, b, p[i2])) {
    i2 = p.size();
    for (std::size_t i = 0; i < p.size() && i2 == p.size(); ++i) {
      if (!Collinear(a, b, p[i])) i2 = i;
    }
    if (i2 == p.size()) return LineHull(p);
  }
  const cVec3& c = p[i2];
  const cVec3d n = Cross(u, Widen(c) - Widen(a));
  std::size_t i3 = p.size();
  best = -1.0;
  for (std::size_t i = 0; i < p.size(); ++i) {
    const double d = std::fabs(Dot(n, Widen(p[i]) - Widen(a)));
    if (d > best) best = d, i3 = i;
  }
  if (Orient3d(a, b, c, p[i3]) == 0) {
    i3 = p.size();
    for (std::size_t i = 0; i < p.size() && i3 == p.size(); ++i) {
      if (Orient3d(a, b, c, p[i]) != 0) i3 = i;
    }
    if (i3 == p.size()) return FlatHull(p, a, b, c);
  }
  cQuickHull hull(p);
  return hull.Run(i0, i1, i2, i3);
}
