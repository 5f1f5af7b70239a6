// The steps of the region growing, for decomposition.cpp and the tests.
#pragma once

#include <cstddef>

#include "decomposition/decomposition.h"
#include "geometry/mesh.h"
#include "neighbour_index.h"

// True when at least two (corner of p, corner of t) pairs are exactly equal points.
bool SharesEdge(const cTriangle& p, const cTriangle& t);

// True when no corner of t lies more than epsilon in front of the plane of p (double
// precision; a distance equal to epsilon, or one that is not a number, passes).
bool PassesPlaneTest(const cTriangle& p, const cTriangle& t, double epsilon);

// Epsilon as it is now; read once for every plane comparison.
double ReadEpsilon();

// The reference neighbour search: expands the piece triangle at position i of piece by scanning
// work in order and moving every neighbour that passes the plane test (against readEpsilon(),
// called once per neighbour) to the end of piece. cNeighbourIndex::Expand, which Apply uses,
// must move the same triangles in the same order.
void ExpandByScan(cTriangleList& work, cTriangleList& piece, std::size_t i,
                  cEpsilonReader readEpsilon = ReadEpsilon);

// Body of the first run's worker thread: Apply, then clear worker, then lower Busy.
void DecomposeWorker(cDecomposition& component);
