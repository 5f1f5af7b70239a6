// The region growing that splits a surface into nearly convex pieces, as a plain function: a
// triangle list and a plane tolerance in, pieces out. The Decompose command is a wrapper around
// it (decomposition.h).
#pragma once

#include <cstddef>
#include <vector>

#include "geometry/progress.h"
#include "geometry/vec3.h"

// Where a run takes its plane tolerance (model units) from: a fixed value, or a function asked
// afresh before every plane comparison (the Decompose command reads the Options setting so).
class cEpsilonSource {
 public:
  cEpsilonSource(double value) : value(value) {}
  cEpsilonSource(double (*read)()) : read(read) {}
  double operator()() const { return read != nullptr ? read() : value; }

 private:
  double (*read)() = nullptr;
  double value = 0.0;
};

// One piece as the region growing leaves it.
struct cGrownPiece {
  cTriangleList triangles;  // in the order they joined the piece; at least two (see keepSingles)
  cBoundBox box;            // of its corners
  std::size_t region = 0;   // the number of the grown region it is (see cGrowth::regions)
};

// What one run of the region growing makes.
struct cGrowth {
  std::vector<cGrownPiece> pieces;  // in the order they were grown
  // Regions grown, counted from 0: every seed grows one, and a region of one triangle is dropped
  // (it is no piece), so regions >= pieces.size().
  std::size_t regions = 0;
  bool cancelled = false;  // progress asked to stop: pieces holds the pieces finished before
};

// The region growing on its own: seeds are taken from the front of triangles (in the order given)
// and grown across shared edges (two exactly equal corner pairs) with every triangle that no
// corner of it lies more than epsilon in front of the plane of the piece triangle it touches
// (double precision; NaN distances pass). Reads no process-wide value and shows nothing;
// progress ("decomposing", share of the triangles taken) is reported every 64 expansions.
// Memory: the triangles are copied once into an index and given back to the pieces.
// keepSingles keeps the regions of one triangle as pieces too, so that every triangle is in one.
cGrowth GrowPieces(cTriangleList triangles, cEpsilonSource epsilon, const cProgress& progress = {},
                   bool keepSingles = false);
