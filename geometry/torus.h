// Tori made from a grid of corners closed both ways. The sample meshes, the tests' tori and the
// benchmarks' scan-like surface are all made here, so their corners and facets come out in the
// same order and with the same roundings wherever they are built. Header only.
#pragma once

#include <cmath>
#include <cstddef>
#include <numbers>
#include <vector>

#include "geometry/vec3.h"

// The facets of a grid of rings x sides corners closed both ways (ring 0 follows ring
// rings - 1, and side 0 follows side sides - 1), corner (i, j) at index i * sides + j: cell by
// cell, ring by ring, the cell from (i, j) to (i + 1, j + 1) gives (i, j), (i + 1, j),
// (i + 1, j + 1) and then (i, j), (i + 1, j + 1), (i, j + 1), each passed to facet(a, b, c) as
// three indices. With rings counter-clockwise around an axis and sides counter-clockwise around
// the ring, every facet faces outward.
template <typename cFacet>
void ForEachClosedGridFacet(int rings, int sides, cFacet&& facet) {
  auto at = [&](int i, int j) { return static_cast<std::size_t>((i % rings) * sides + j % sides); };
  for (int i = 0; i < rings; ++i) {
    for (int j = 0; j < sides; ++j) {
      facet(at(i, j), at(i + 1, j), at(i + 1, j + 1));
      facet(at(i, j), at(i + 1, j + 1), at(i, j + 1));
    }
  }
}

// The corners of a torus around the z axis, ring by ring and side by side, in double: ring i at
// the angle u = 2 pi i / rings around the axis, side j at v = 2 pi j / sides around the tube.
// The tube's radius there is r = tube(u, v) (called once per corner, in this order), and the
// corner (w cos u, w sin u, r sin v), w = major + r cos v, is passed to corner(x, y, z).
template <typename cTube, typename cCorner>
void ForEachTorusCorner(int rings, int sides, double major, cTube&& tube, cCorner&& corner) {
  for (int i = 0; i < rings; ++i) {
    for (int j = 0; j < sides; ++j) {
      const double u = 2 * std::numbers::pi * i / rings, v = 2 * std::numbers::pi * j / sides;
      const double r = tube(u, v);
      const double w = major + r * std::cos(v);
      corner(w * std::cos(u), w * std::sin(u), r * std::sin(v));
    }
  }
}

// The torus as 2 * rings * sides triangles, every coordinate rounded to the nearest float and
// corners shared bit for bit, in the order of ForEachClosedGridFacet.
template <typename cTube>
cTriangleList TorusTriangles(int rings, int sides, double major, cTube&& tube) {
  std::vector<cVec3> grid;
  cTriangleList triangles;
  if (rings > 0 && sides > 0) {
    const std::size_t corners = static_cast<std::size_t>(rings) * static_cast<std::size_t>(sides);
    grid.reserve(corners);
    triangles.reserve(2 * corners);
  }
  ForEachTorusCorner(rings, sides, major, tube, [&](double x, double y, double z) {
    grid.emplace_back(static_cast<float>(x), static_cast<float>(y), static_cast<float>(z));
  });
  ForEachClosedGridFacet(rings, sides, [&](std::size_t a, std::size_t b, std::size_t c) {
    triangles.emplace_back(grid[a], grid[b], grid[c]);
  });
  return triangles;
}
