#include "geometry/surface.h"

#include <map>
#include <utility>

#include "geometry/point_key.h"

bool IsClosedSurface(const cTriangleList& triangles) {
  if (triangles.empty()) return false;
  std::map<std::pair<cPointKey, cPointKey>, int> edges;
  for (const cTriangle& t : triangles) {
    for (int k = 0; k < 3; ++k) {
      if (HasNaN(t.vertex[k])) return false;
      ++edges[{KeyOf(t.vertex[k]), KeyOf(t.vertex[(k + 1) % 3])}];
    }
  }
  for (const auto& [edge, count] : edges) {
    const auto reverse = edges.find({edge.second, edge.first});
    if (count != 1 || reverse == edges.end() || reverse->second != 1) return false;
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
