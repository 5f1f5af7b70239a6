#include "geometry/surface.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "geometry/point_key.h"

bool IsClosedSurface(const cTriangleList& triangles) {
  if (triangles.empty()) return false;
  // Corner numbers, then the directed edges gathered by their first corner: each corner's list
  // of second corners, sorted. Closed when no list repeats a corner and every edge's reverse is
  // in the other corner's list.
  cPointIndex index(triangles.size() / 2 + 4);
  std::vector<std::uint32_t> id(3 * triangles.size());
  for (std::size_t t = 0; t < triangles.size(); ++t) {
    for (int k = 0; k < 3; ++k) {
      const cVec3& v = triangles[t].vertex[k];
      if (!std::isfinite(v.x) || !std::isfinite(v.y) || !std::isfinite(v.z)) return false;
      id[3 * t + k] = index.FindOrInsert(v, static_cast<std::uint32_t>(index.Count()));
    }
    const std::uint32_t* c = &id[3 * t];
    if (c[0] == c[1] || c[1] == c[2] || c[2] == c[0]) return false;
  }
  std::vector<std::uint32_t> start(index.Count() + 1, 0);
  for (const std::uint32_t corner : id) ++start[corner + 1];
  for (std::size_t k = 1; k < start.size(); ++k) start[k] += start[k - 1];
  std::vector<std::uint32_t> next(start.begin(), start.end() - 1), to(id.size());
  for (std::size_t c = 0; c < id.size(); ++c) {
    const std::size_t following = c % 3 == 2 ? c - 2 : c + 1;
    to[next[id[c]]++] = id[following];
  }
  for (std::size_t k = 0; k + 1 < start.size(); ++k) {
    std::sort(to.begin() + start[k], to.begin() + start[k + 1]);
    if (std::adjacent_find(to.begin() + start[k], to.begin() + start[k + 1]) !=
        to.begin() + start[k + 1]) {
      return false;
    }
  }
  for (std::size_t k = 0; k + 1 < start.size(); ++k) {
    for (std::size_t e = start[k]; e < start[k + 1]; ++e) {
      const std::uint32_t other = to[e];
      if (!std::binary_search(to.begin() + start[other], to.begin() + start[other + 1],
                              static_cast<std::uint32_t>(k))) {
        return false;
      }
    }
  }
  return true;
}

double EnclosedVolume(const cTriangleList& triangles) {
  double volume = 0.0;
  const cVec3 origin = triangles.empty() ? cVec3() : triangles[0].vertex[0];
  for (const cTriangle& t : triangles) {
    // Signed volume of the tetrahedron from the origin to this triangle.
    double d[3][3];
    for (int k = 0; k < 3; ++k) {
      d[k][0] = static_cast<double>(t.vertex[k].x) - origin.x;
      d[k][1] = static_cast<double>(t.vertex[k].y) - origin.y;
      d[k][2] = static_cast<double>(t.vertex[k].z) - origin.z;
    }
    volume += (d[0][0] * (d[1][1] * d[2][2] - d[1][2] * d[2][1]) -
               d[0][1] * (d[1][0] * d[2][2] - d[1][2] * d[2][0]) +
               d[0][2] * (d[1][0] * d[2][1] - d[1][1] * d[2][0])) /
              6.0;
  }
  return volume;
}

std::size_t DistinctCorners(const cTriangleList& triangles) {
  cPointIndex index(triangles.size() / 2 + 4);
  std::size_t apart = 0;  // corners with a NaN coordinate
  for (const cTriangle& t : triangles) {
    for (const cVec3& corner : t.vertex) {
      if (HasNaN(corner)) {
        ++apart;
      } else {
        index.FindOrInsert(corner, 0);
      }
    }
  }
  return apart + index.Count();
}
