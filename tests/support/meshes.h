// Meshes built in code for the tests and the benchmarks. Header only, so that the benchmarks can
// use it without the test build.
#pragma once

#include <array>
#include <cmath>
#include <numbers>
#include <vector>

#include "geometry/torus.h"
#include "geometry/vec3.h"

// Closed torus around the z axis with six bulges along its ring (the tube's radius swings by
// bulge around minor): 2 * rings * sides triangles, corners shared bit for bit, every Normal
// pointing outward. The grooves between the bulges are concave.
inline cTriangleList Torus(int rings, int sides, float major, float minor, float bulge) {
  return TorusTriangles(rings, sides, major, [minor, bulge](double u, double) {
    return minor + bulge * std::cos(6 * u);
  });
}

// The torus the computation tests and benchmarks share; a run yields many pieces.
inline cTriangleList BulgingTorus(int rings, int sides) {
  return Torus(rings, sides, 4.0f, 1.5f, 0.4f);
}

// Closed sphere of the given radius around the origin: rings bands between the poles, sides
// segments around, the poles single points; 2 * sides * (rings - 1) triangles, every Normal
// pointing outward. Convex, so region growing keeps it in one piece.
inline cTriangleList UvSphere(int rings, int sides, float radius) {
  auto at = [&](int i, int j) {
    if (i == 0) return cVec3(0, 0, radius);
    if (i == rings) return cVec3(0, 0, -radius);
    const double v = std::numbers::pi * i / rings, u = 2 * std::numbers::pi * (j % sides) / sides;
    return cVec3(static_cast<float>(radius * std::sin(v) * std::cos(u)),
                 static_cast<float>(radius * std::sin(v) * std::sin(u)),
                 static_cast<float>(radius * std::cos(v)));
  };
  cTriangleList triangles;
  for (int i = 0; i < rings; ++i) {
    for (int j = 0; j < sides; ++j) {
      if (i > 0) triangles.emplace_back(at(i, j), at(i + 1, j), at(i, j + 1));
      if (i + 1 < rings) triangles.emplace_back(at(i, j + 1), at(i + 1, j), at(i + 1, j + 1));
    }
  }
  return triangles;
}

// The closed surface of a set of unit voxels (x, y, z cell numbers, each cell of side size): every
// face between a filled and an empty cell, cut into split x split squares of two triangles each,
// every Normal pointing out of the filled cells. Corners are whole multiples of size / split, so
// neighbouring squares share them bit for bit. Voxels that touch only along an edge give edges
// of four triangles.
inline cTriangleList VoxelSurface(const std::vector<std::array<int, 3>>& voxels, float size,
                                  int split = 1) {
  auto filled = [&](int x, int y, int z) {
    for (const auto& v : voxels) {
      if (v[0] == x && v[1] == y && v[2] == z) return true;
    }
    return false;
  };
  cTriangleList triangles;
  const float step = size / static_cast<float>(split);
  for (const auto& v : voxels) {
    for (int axis = 0; axis < 3; ++axis) {
      for (int side = 0; side < 2; ++side) {
        int n[3] = {v[0], v[1], v[2]};
        n[axis] += side == 0 ? -1 : 1;
        if (filled(n[0], n[1], n[2])) continue;
        const int u = (axis + 1) % 3, w = (axis + 2) % 3;
        for (int a = 0; a < split; ++a) {
          for (int b = 0; b < split; ++b) {
            auto corner = [&](int da, int db) {
              float p[3];
              p[axis] = static_cast<float>((v[axis] + side) * split) * step;
              p[u] = static_cast<float>(v[u] * split + a + da) * step;
              p[w] = static_cast<float>(v[w] * split + b + db) * step;
              return cVec3(p[0], p[1], p[2]);
            };
            const cVec3 c00 = corner(0, 0), c10 = corner(1, 0), c01 = corner(0, 1),
                        c11 = corner(1, 1);
            // (u, w, axis) is right-handed: counter-clockwise in (u, w) faces +axis.
            if (side == 1) {
              triangles.emplace_back(c00, c10, c11);
              triangles.emplace_back(c00, c11, c01);
            } else {
              triangles.emplace_back(c00, c11, c10);
              triangles.emplace_back(c00, c01, c11);
            }
          }
        }
      }
    }
  }
  return triangles;
}
