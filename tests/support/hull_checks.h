// Checks of a hull's surface shared by the hull tests: closure, winding, convexity by exact
// orientation tests, and the corners' origin. Each returns an empty string when the check holds,
// else what is wrong, for the failure message.
#pragma once

#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <tuple>

#include "geometry/vec3.h"
#include "hull/exact_predicates.h"

// Named apart from geometry/point_key.h's cPointKey and KeyOf: a second KeyOf(const cVec3&) would
// be the same symbol as that one, and a build that does not inline would call either for both.
using cCornerKey = std::tuple<float, float, float>;
inline cCornerKey CornerKeyOf(const cVec3& v) {
  return {v.x + 0.0f, v.y + 0.0f, v.z + 0.0f};  // + 0.0f: -0.0 and 0.0 are one key
}

// Bit for bit equal (NaN equals the same NaN, 0.0 differs from -0.0).
inline bool SameBits(const cPointList& a, const cPointList& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(cVec3)) == 0);
}
inline bool SameBits(const cTriangleList& a, const cTriangleList& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(cTriangle)) == 0);
}

// Every directed edge exactly once, its reverse exactly once, no face repeating a corner.
inline std::string ClosureProblem(const cTriangleList& faces) {
  std::map<std::pair<cCornerKey, cCornerKey>, int> edges;
  for (const cTriangle& f : faces) {
    for (int e = 0; e < 3; ++e) {
      const cCornerKey a = CornerKeyOf(f.vertex[e]), b = CornerKeyOf(f.vertex[(e + 1) % 3]);
      if (a == b) return "a face repeats a corner";
      ++edges[{a, b}];
    }
  }
  for (const auto& [edge, count] : edges) {
    if (count != 1) return "a directed edge appears " + std::to_string(count) + " times";
    if (edges.find({edge.second, edge.first}) == edges.end()) return "an edge without reverse";
  }
  return "";
}

// Every point on or behind every face plane (exact), so the surface is convex, wound outward and
// holds the points; and the enclosed volume is not negative.
inline std::string ConvexityProblem(const cTriangleList& faces, const cPointList& points) {
  for (std::size_t i = 0; i < faces.size(); ++i) {
    const cTriangle& f = faces[i];
    for (const cVec3& p : points) {
      if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) continue;
      if (Orient3d(f.vertex[0], f.vertex[1], f.vertex[2], p) > 0)
        return "a point in front of face " + std::to_string(i);
    }
  }
  // Six times the volume, against the size of its rounding (a flat surface encloses 0).
  double volume = 0.0, size = 0.0;
  for (const cTriangle& f : faces) {
    const cVec3 &a = f.vertex[0], &b = f.vertex[1], &c = f.vertex[2];
    const double terms[3] = {double(a.x) * (double(b.y) * c.z - double(b.z) * c.y),
                             -double(a.y) * (double(b.x) * c.z - double(b.z) * c.x),
                             double(a.z) * (double(b.x) * c.y - double(b.y) * c.x)};
    for (double t : terms) volume += t, size += std::fabs(t);
  }
  if (volume < -1e-9 * size) return "negative volume: wound inward";
  return "";
}

// Every corner is one of the points.
inline std::string CornerProblem(const cTriangleList& faces, const cPointList& points) {
  std::set<cCornerKey> known;
  for (const cVec3& p : points) known.insert(CornerKeyOf(p));
  for (const cTriangle& f : faces) {
    for (const cVec3& v : f.vertex) {
      if (!known.count(CornerKeyOf(v))) return "a corner that is no input point";
    }
  }
  return "";
}

// All three, for a result of the sound construction.
inline std::string SoundProblem(const cTriangleList& faces, const cPointList& points) {
  std::string why = ClosureProblem(faces);
  if (why.empty()) why = ConvexityProblem(faces, points);
  if (why.empty()) why = CornerProblem(faces, points);
  return why;
}
