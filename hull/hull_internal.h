// The steps of the hull construction and of the per-piece driver, for hull.cpp and the tests.
#pragma once

#include <cstddef>
#include <vector>

#include "geometry/mesh.h"
#include "hull/hull.h"

// Signed distance of p from the plane of t, positive in front (the side Normal points to).
// Offset and numerator are rounded to float, the division is done in double. Not a number
// when t is degenerate.
double SignedDistance(const cTriangle& t, const cVec3& p);

// True when no corner of the visible faces lies more than HorizonTolerance in front of t.
bool IsHorizonFace(const cTriangle& t, const cTriangleList& visible);

// Exact nine-coordinate match with some element, corner i against corner i.
bool ContainsTriangle(const cTriangleList& list, const cTriangle& t);

// Exact coordinate match with some element (0.0 equals -0.0). A linear scan.
bool ContainsPoint(const cPointList& list, const cVec3& point);

// The distinct corners of a piece's triangles (as ContainsPoint tells them apart), in order of
// first appearance; hashed, linear in the number of corners.
cPointList CollectDistinctPoints(const cTriangleList& triangles);

// The positions of the sample taken from count distinct points for the given smooth value
// (not yet clamped): empty when count is below 4.
std::vector<std::size_t> SamplePositions(std::size_t count, float smooth);

// Builds the hulls of piece (or, for a piece with children, of its leaves, depth first) into
// decomposition.hulls.
void BuildPieceHull(cDecomposition& decomposition, const cConvexPiece& piece, float smooth);
