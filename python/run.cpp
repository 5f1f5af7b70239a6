#include "run.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <numeric>

#include "decomposition/decomposition.h"
#include "geometry/point_key.h"
#include "geometry/surface.h"
#include "hull/fit.h"
#include "hull/hull.h"

namespace {

// The fitting mode's vertex limit when none is given (the batch tool's default).
constexpr std::size_t kDefaultFitVertices = 64;

double RunEpsilon(const cRunRequest& request, double diagonal) {
  if (request.epsilonRelative) return *request.epsilonRelative * diagonal;
  if (request.epsilon) return *request.epsilon;
  return request.maxHulls ? kFitRelativeEpsilon * diagonal : 0.1;
}

// Bitwise order of triangles, to find each piece triangle's place in the input.
bool BitsBefore(const cTriangle& a, const cTriangle& b) {
  return std::memcmp(&a, &b, sizeof(cTriangle)) < 0;
}

// Gives every piece triangle the position of a bitwise equal input triangle; equal input
// triangles are handed out in input order, each once. -1 for a triangle the input lacks.
std::vector<std::vector<std::int64_t>> FindIndices(const cTriangleList& input,
                                                   const cPieceList& pieces) {
  std::vector<std::int64_t> order(input.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](std::int64_t a, std::int64_t b) { return BitsBefore(input[a], input[b]); });
  std::vector<bool> taken(input.size(), false);
  std::vector<std::vector<std::int64_t>> found;
  for (const auto& piece : pieces) {
    std::vector<std::int64_t>& indices = found.emplace_back(piece->triangles.size(), -1);
    for (std::size_t i = 0; i < piece->triangles.size(); ++i) {
      const cTriangle& t = piece->triangles[i];
      auto at = std::lower_bound(
          order.begin(), order.end(), t,
          [&](std::int64_t a, const cTriangle& b) { return BitsBefore(input[a], b); });
      for (; at != order.end() && !BitsBefore(t, input[*at]); ++at) {
        if (taken[*at]) continue;
        taken[*at] = true;
        indices[i] = *at;
        break;
      }
    }
  }
  return found;
}

}  // namespace

std::string RequestProblem(const cRunRequest& request, double diagonal) {
  if (request.epsilon && request.epsilonRelative)
    return "give epsilon or epsilon_relative, not both";
  if (!std::isfinite(request.smooth)) return "smooth must be a finite number";
  if (request.maxHulls) {
    if (*request.maxHulls < 1) return "max_hulls must be at least 1";
    if (request.maxHullVertices && *request.maxHullVertices < 4)
      return "max_hull_vertices must be at least 4 with max_hulls";
    if (!request.hulls) return "max_hulls always builds hulls: hulls=False does not go with it";
  } else if (request.maxHullVertices && *request.maxHullVertices < 1) {
    return "max_hull_vertices must be at least 1";
  }
  const double epsilon = RunEpsilon(request, diagonal);
  if (!std::isfinite(epsilon)) {
    return "the Epsilon this gives is not finite (box diagonal " + std::to_string(diagonal) +
           "); give a finite epsilon";
  }
  return "";
}

cModuleRun RunDecomposition(cTriangleList triangles, const cRunRequest& request,
                            const cProgress& progress) {
  cModuleRun run;
  cBatchRun& batch = *run.batch;
  if (!triangles.empty()) batch.mesh.box = ComputeBoundBox(triangles);
  batch.mesh.triangles = std::move(triangles);
  run.diagonal = Length(batch.mesh.box.max - batch.mesh.box.min);
  batch.smooth = request.smooth;
  cBatchSettings settings;
  settings.epsilon = RunEpsilon(request, run.diagonal);
  settings.smooth = static_cast<float>(request.smooth);
  settings.hulls = request.hulls;
  settings.fidelity = request.fidelity;
  if (request.maxHulls) {
    cFitSettings fit;
    fit.maxHulls = *request.maxHulls;
    fit.maxHullVertices = request.maxHullVertices.value_or(kDefaultFitVertices);
    fit.epsilon = settings.epsilon;
    settings.fit = fit;
  }
  if (!batch.Run(settings, progress)) {
    run.cancelled = true;
    return run;
  }
  const cHullList& hulls = batch.decomposition.hulls;
  if (!request.maxHulls && request.maxHullVertices) {
    for (std::size_t i = 0; i < hulls.size(); ++i) {
      if (DistinctCorners(hulls[i]->faces) > *request.maxHullVertices) run.overLimit.push_back(i);
    }
  }
  run.indices = FindIndices(batch.mesh.triangles, batch.decomposition.pieces);
  return run;
}

void IndexCorners(const cTriangleList& faces, std::vector<cVec3>& corners,
                  std::vector<std::uint32_t>& indices) {
  corners.clear();
  indices.clear();
  indices.reserve(faces.size() * 3);
  std::map<cPointKey, std::uint32_t> known;
  for (const cTriangle& t : faces) {
    for (const cVec3& p : t.vertex) {
      const bool shareable = !HasNaN(p);
      if (shareable) {
        const auto found = known.find(KeyOf(p));
        if (found != known.end()) {
          indices.push_back(found->second);
          continue;
        }
      }
      const auto index = static_cast<std::uint32_t>(corners.size());
      corners.push_back(p);
      indices.push_back(index);
      if (shareable) known.emplace(KeyOf(p), index);
    }
  }
}
