// One run of the batch tool's computations on a triangle list, without files and without colours:
// what the Python module's decompose() returns. The steps, their order and their messages are
// those of convexdecomp-cli, so a run here gives the pieces, hulls and facts the tool writes for
// the same triangles and settings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "geometry/progress.h"
#include "geometry/vec3.h"
#include "hull/fidelity.h"

struct cRunRequest {
  // The plane tolerance, model units. Unset: 0.1, or with maxHulls kFitRelativeEpsilon times
  // the box diagonal (the batch tool's defaults).
  std::optional<double> epsilon;
  std::optional<double> epsilonRelative;  // Epsilon = this times the box diagonal
  double smooth = 0.1;                    // used as a float clamped to 0..1, as the tool does
  bool hulls = true;                      // false: stop after the pieces
  std::optional<std::size_t> maxHulls;    // the fitting mode
  std::optional<std::size_t> maxHullVertices;
  bool fidelity = false;  // measure how well the hulls stand for the mesh
};

struct cRunPiece {
  cTriangleList triangles;            // in the order they joined the piece
  cBoundBox box;                      // of its corners
  std::vector<std::int64_t> indices;  // the position of each triangle in the input
};

struct cRunHull {
  cTriangleList faces;  // wound outward
  cBoundBox box;        // of the points it was built from
  std::size_t piece = 0;
  std::size_t vertexCount = 0;  // distinct corners (geometry/surface.h)
  double volume = 0.0;
  bool closed = false;
  bool reduced = false;  // fitting mode: the hull of all the cluster's corners had too many
};

struct cRunResult {
  double epsilon = 0.0;  // the tolerance used
  cBoundBox box;         // of every input corner, zero for no triangles
  double diagonal = 0.0;
  std::vector<std::string> messages;
  std::vector<cRunPiece> pieces;
  std::size_t regions = 0;  // regions grown (not in the fitting mode)
  std::vector<cRunHull> hulls;
  // Fitting mode only.
  bool fitted = false;
  std::size_t maxHulls = 0, maxHullVertices = 0, startPieces = 0;
  // Hulls above maxHullVertices outside the fitting mode (indices in hulls).
  std::vector<std::size_t> overLimit;
  std::optional<cFidelity> fidelity;
  bool cancelled = false;  // progress asked to stop; the rest is incomplete
};

// Empty when the request can run on a mesh of that box diagonal, else why not (the batch tool's
// refusals: an Epsilon that is not finite, both an Epsilon and a relative one, a vertex limit
// below 4 in the fitting mode, a hull count below 1, a Smooth that is not finite).
std::string RequestProblem(const cRunRequest& request, double diagonal);

// The run: "triangles: N", then the fitting mode (FitHulls; "pieces: N", "hulls: N") or, for a
// mesh with triangles, DecomposeMesh ("objects: N", and with hulls "Convex hull completed..." when
// there are pieces). request must have no RequestProblem.
cRunResult RunDecomposition(const cTriangleList& triangles, const cRunRequest& request,
                            const cProgress& progress);

// A hull's faces as corners and corner indices, corners told apart as the OBJ writer does (exact
// floats, 0 equal to -0, a NaN corner never shared), in order of first appearance.
void IndexCorners(const cTriangleList& faces, std::vector<cVec3>& corners,
                  std::vector<std::uint32_t>& indices);
