// The hull construction as plain functions: points or a piece's triangles and the sampling
// share in, closed hulls out. The Convex Hull command and cHullResult are wrappers around them
// (hull.h).
#pragma once

#include <cstddef>
#include <vector>

#include "geometry/progress.h"
#include "geometry/vec3.h"

// A hull as the construction leaves it.
struct cHullShape {
  cTriangleList
      faces;      // closed, wound outward (Normal points out); flat and two-sided for flat input
  cBoundBox box;  // of the points it was built from
  cVec3 currentPoint;  // the last point of the construction
};

// What the Convex Hull command builds for every piece, with no result object and no colour: the
// points are sorted out and sampled (see BuildClosedHull), then the hull is built as
// cHullResult::BuildClosed does. Reads no process-wide value. The steps:
//   BuildClosedHull  from points (at least four, pairwise distinct; the fourth seed corner is
//                    removed from points); false and shape untouched for fewer than four;
//   BuildPieceShape  from a piece's triangles: its distinct corners (exact equality, in order of
//                    first appearance) sampled for smooth (clamped to 0..1, NaN as 0: every
//                    count/ceil(count*smooth)-th point, at least the first four); false for a
//                    piece with fewer than four distinct corners, which gets no hull;
//   BuildHulls       for a list of pieces, in order, progress ("hulls") before each piece.
bool BuildClosedHull(cPointList& points, cHullShape& shape);
bool BuildPieceShape(const cTriangleList& triangles, float smooth, cHullShape& shape);

struct cBuiltHull {
  std::size_t piece = 0;  // position of its piece in the list given
  cHullShape shape;
};
struct cHullSet {
  std::vector<cBuiltHull> hulls;  // pieces in order; pieces without a hull are left out
  bool cancelled = false;         // progress asked to stop: hulls of the earlier pieces only
};
cHullSet BuildHulls(const std::vector<cTriangleList>& pieces, float smooth,
                    const cProgress& progress = {});
