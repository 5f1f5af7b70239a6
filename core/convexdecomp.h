// The library: split the surface of a triangle mesh into nearly convex pieces and wrap every
// piece in a closed convex hull, as the desktop tool's Tools > Decompose and Tools > Convex Hull
// do, but as plain functions with their inputs and outputs in the open.
//
// What goes in and out
//   Meshes are lists of triangles (cTriangle: three cVec3 corners of 32-bit floats, in the
//   mesh's own units; the corner order fixes the front side, see Normal in geometry/vec3.h).
//   Two triangles are neighbours when two of their corner pairs are exactly equal floats (0
//   equals -0; a corner with a NaN coordinate equals nothing). Nothing is welded, scaled or
//   reordered: pieces, hulls and their order depend only on the triangles and the settings.
//   - ReadMeshFile / ReadMeshMemory (io/mesh_reading.h): STL (binary or text), OBJ, PLY, OFF,
//     glTF/GLB or 3MF, by the file name's extension or the format given, into triangles.
//   - GrowPieces (decomposition/region_growing.h): the pieces, each a list of triangles.
//   - BuildHulls / BuildPieceShape (hull/hull_construction.h): a hull for every piece with at
//     least four distinct corners, as faces wound outward, closed, convex.
//   - DecomposeMesh (below): both steps at once.
//
// Settings
//   epsilon: model units, how far a triangle's corner may lie in front of the plane of the piece
//   triangle it joins (strictly more fails; any finite or infinite value is taken as it is, a
//   negative one lets only triangles bent backward join). smooth: the share, 0 to 1, of a piece's
//   distinct corners its hull is built from (below 0 as 0, above 1 as 1, NaN as 0; at least four
//   corners are always used). It is used as a 32-bit float, as the desktop tool uses it.
//
// Threads
//   Every function may run on any thread, several at once on different inputs. None reads or
//   writes a process-wide value, draws a random colour, or shows anything. The progress callback
//   (geometry/progress.h) is called on the calling thread; returning false from it stops the
//   call soon after with its cancelled flag (or ECANCELED) set.
//
// Bad input
//   Empty lists give empty results; degenerate triangles and NaN or infinite coordinates give a
//   defined result (a piece of such triangles may get no hull, a hull is made of its finite
//   corners only); nothing crashes or hangs. Reading fails with an errno in cMeshData::error,
//   never an exception. Running out of memory elsewhere throws std::bad_alloc.
//
// Results are the same bit for bit on every run and machine with IEEE floats: the computations
// are single-threaded and their float roundings are fixed (the library is built with
// -ffp-contract=off).
#pragma once

#include <cstddef>
#include <vector>

#include "decomposition/region_growing.h"
#include "geometry/progress.h"
#include "geometry/vec3.h"
#include "hull/hull_construction.h"
#include "io/mesh_reading.h"

struct cDecomposeSettings {
  double epsilon = 0.1;  // plane tolerance, model units
  double smooth = 0.1;   // share of a piece's distinct corners its hull is built from
  bool hulls = true;     // false: stop after the pieces
};

struct cDecomposeResult {
  std::vector<cGrownPiece> pieces;  // as GrowPieces gives them
  std::size_t regions = 0;          // regions grown, pieces and dropped one-triangle regions
  std::vector<cBuiltHull> hulls;    // as BuildHulls gives them for the pieces' triangles
  bool cancelled = false;
};

// GrowPieces with settings.epsilon, then, when settings.hulls, BuildHulls over the pieces with
// settings.smooth. The same pieces and hull faces, in the same order, as the desktop tool's
// Decompose and Convex Hull on the same triangles with the same settings.
cDecomposeResult DecomposeMesh(const cTriangleList& triangles, const cDecomposeSettings& settings,
                               const cProgress& progress = {});
