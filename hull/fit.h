// Few convex hulls, each with a bounded number of vertices, that stand in for a mesh as a
// collision shape. The surface is split into fine nearly convex pieces (the region growing at a
// small plane tolerance, regions of one triangle kept); pieces that share an edge are merged
// into clusters, cheapest merge first, until at most maxHulls clusters remain; every cluster is
// wrapped in the hull of all its corners, and a hull with more than maxHullVertices vertices is
// replaced by one with fewer that still holds every corner (it only moves outward). On a closed
// mesh every piece also carries a few points of the far side of the solid behind it (rays cast
// inward from its triangles meet the surface again), so that hulls fill the solid rather than
// wrap its surface in thin shells.
//
// The price of a merge is the concavity of the merged cluster: how deep the deepest of its
// surface points (a sample) lies inside the hull of the two clusters' hull corners (at most 32
// a cluster), plus a hundredth of the box diagonal times the merged share of the surface area,
// so that among equally flat merges the small clusters go first. After the count is reached,
// merges that cost no concavity (within a millionth of the diagonal) go on: a convex part is one
// hull however large maxHulls is. Clusters that share no edge (separate parts, a triangle soup)
// are joined, once no neighbouring pair is left, to the next ones along a space-filling order of
// their centres.
//
// A closed mesh is fitted twice, and the fit whose union of hulls is closer to the solid (the
// intersection over union along the columns of a grid of 96 cells over the longest side) is
// kept. The first run takes only the far-side points that the grid confirms (a ray that would
// cross a hole stops where the solid ends; points that would take a patch's hull out of the
// solid are drawn back towards it), and its merges also pay for the volume they add outside
// the solid (on a grid of 64 cells); the second takes the far-side points as the surface
// sample gives them and prices by concavity alone.
//
// Every hull is closed, wound outward and convex, decided by exact orientation tests on its float
// corners, and holds every finite corner of its cluster, so every finite mesh corner is inside
// the union. Flat clusters give flat two-sided hulls. Corners with a NaN or infinite coordinate
// take no part. Reads no process-wide value; the same input gives the same hulls in the same
// order every run. A closed mesh's second fit runs on a thread of its own; progress is only ever
// called on the calling thread.
#pragma once

#include <cstddef>
#include <vector>

#include "geometry/progress.h"
#include "geometry/vec3.h"

struct cFitSettings {
  std::size_t maxHulls = 32;         // at least 1
  std::size_t maxHullVertices = 64;  // at least 4
  double epsilon = 0.0;              // plane tolerance of the starting pieces, model units
};

// The share of the box diagonal used as the starting pieces' plane tolerance when none is given.
constexpr double kFitRelativeEpsilon = 0.002;

struct cFittedHull {
  cTriangleList faces;      // the hull
  cTriangleList triangles;  // the mesh triangles of its cluster, piece by piece
  bool reduced = false;     // the hull of all the cluster's corners had too many vertices
};

struct cFit {
  std::vector<cFittedHull> hulls;  // ordered by the cluster's first starting piece
  std::size_t startPieces = 0;     // pieces before merging
  bool cancelled = false;          // progress asked to stop: hulls is empty
};

// maxHulls below 1 is taken as 1, maxHullVertices below 4 as 4 (callers refuse them first).
// Progress: "decomposing", then "fitting" (merges done), then "hulls".
cFit FitHulls(const cTriangleList& triangles, const cFitSettings& settings,
              const cProgress& progress = {});

// The reduction on its own: a closed convex hull (as SoundHull makes it) with at most
// maxVertices distinct corners that holds every corner of hull. Returns hull itself when it has
// no more than that already.
cTriangleList ReduceHullOutward(const cTriangleList& hull, std::size_t maxVertices);
