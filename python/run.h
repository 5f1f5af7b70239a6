// One run of the batch tool's computations on a triangle list: what the Python module's
// decompose() returns. The run is the batch tool's own (cBatchRun), so it gives the pieces, hulls,
// facts and colours the tool writes for the same triangles and settings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "formats/batch_run.h"
#include "geometry/progress.h"
#include "geometry/vec3.h"

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

// One run as decompose() returns it: the batch tool's run (its pieces, hulls, messages and
// colours, for the writers) and what the module tells beyond it.
struct cModuleRun {
  std::unique_ptr<cBatchRun> batch = std::make_unique<cBatchRun>();
  double diagonal = 0.0;
  // The position in the input of every piece's triangles, piece by piece (-1: not found).
  std::vector<std::vector<std::int64_t>> indices;
  // Hulls above maxHullVertices outside the fitting mode (indices in the hulls).
  std::vector<std::size_t> overLimit;
  bool cancelled = false;  // progress asked to stop; the rest is incomplete
};

// Empty when the request can run on a mesh of that box diagonal, else why not (the batch tool's
// refusals: an Epsilon that is not finite, both an Epsilon and a relative one, a vertex limit
// below 4 in the fitting mode, a hull count below 1, a Smooth that is not finite).
std::string RequestProblem(const cRunRequest& request, double diagonal);

// The run (cBatchRun::Run) on triangles, which it takes. request must have no RequestProblem.
cModuleRun RunDecomposition(cTriangleList triangles, const cRunRequest& request,
                            const cProgress& progress);

// A hull's faces as corners and corner indices, corners told apart as the OBJ writer does (exact
// floats, 0 equal to -0, a NaN corner never shared), in order of first appearance.
void IndexCorners(const cTriangleList& faces, std::vector<cVec3>& corners,
                  std::vector<std::uint32_t>& indices);
