// Meshes built in code for the tests and the benchmarks. Header only, so that the benchmarks can
// use it without the test build.
#pragma once

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
