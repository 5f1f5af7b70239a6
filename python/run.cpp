#include "run.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <numeric>

#include "core/convexdecomp.h"
#include "geometry/point_key.h"
#include "geometry/surface.h"
#include "hull/fit.h"

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
void FindIndices(const cTriangleList& input, std::vector<cRunPiece>& pieces) {
  std::vector<std::int64_t> order(input.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](std::int64_t a, std::int64_t b) { return BitsBefore(input[a], input[b]); });
  std::vector<bool> taken(input.size(), false);
  for (cRunPiece& piece : pieces) {
    piece.indices.assign(piece.triangles.size(), -1);
    for (std::size_t i = 0; i < piece.triangles.size(); ++i) {
      const cTriangle& t = piece.triangles[i];
      auto at = std::lower_bound(
          order.begin(), order.end(), t,
          [&](std::int64_t a, const cTriangle& b) { return BitsBefore(input[a], b); });
      for (; at != order.end() && !BitsBefore(t, input[*at]); ++at) {
        if (taken[*at]) continue;
        taken[*at] = true;
        piece.indices[i] = *at;
        break;
      }
    }
  }
}

cRunHull MakeHull(cTriangleList&& faces, const cBoundBox& box, std::size_t piece) {
  cRunHull hull;
  hull.vertexCount = DistinctCorners(faces);
  hull.volume = EnclosedVolume(faces);
  hull.closed = IsClosedSurface(faces);
  hull.faces = std::move(faces);
  hull.box = box;
  hull.piece = piece;
  return hull;
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

cRunResult RunDecomposition(const cTriangleList& triangles, const cRunRequest& request,
                            const cProgress& progress) {
  cRunResult run;
  if (!triangles.empty()) run.box = ComputeBoundBox(triangles);
  run.diagonal = Length(run.box.max - run.box.min);
  run.epsilon = RunEpsilon(request, run.diagonal);
  run.messages.push_back("triangles: " + std::to_string(triangles.size()));

  if (request.maxHulls) {
    cFitSettings settings;
    settings.maxHulls = *request.maxHulls;
    settings.maxHullVertices = request.maxHullVertices.value_or(kDefaultFitVertices);
    settings.epsilon = run.epsilon;
    cFit fit = FitHulls(triangles, settings, progress);
    if (fit.cancelled) {
      run.cancelled = true;
      return run;
    }
    run.fitted = true;
    run.maxHulls = settings.maxHulls;
    run.maxHullVertices = settings.maxHullVertices;
    run.startPieces = fit.startPieces;
    for (std::size_t i = 0; i < fit.hulls.size(); ++i) {
      cFittedHull& fitted = fit.hulls[i];
      cRunPiece piece;
      piece.box = ComputeBoundBox(fitted.triangles);
      piece.triangles = std::move(fitted.triangles);
      run.pieces.push_back(std::move(piece));
      const cBoundBox box = ComputeBoundBox(fitted.faces);
      run.hulls.push_back(MakeHull(std::move(fitted.faces), box, i));
      run.hulls.back().reduced = fitted.reduced;
    }
    run.messages.push_back("pieces: " + std::to_string(fit.startPieces));
    run.messages.push_back("hulls: " + std::to_string(run.hulls.size()));
  } else if (!triangles.empty()) {
    cDecomposeResult result =
        DecomposeMesh(triangles, {run.epsilon, request.smooth, request.hulls}, progress);
    if (result.cancelled) {
      run.cancelled = true;
      return run;
    }
    run.regions = result.regions;
    for (cGrownPiece& grown : result.pieces) {
      cRunPiece piece;
      piece.triangles = std::move(grown.triangles);
      piece.box = grown.box;
      run.pieces.push_back(std::move(piece));
    }
    run.messages.push_back("objects: " + std::to_string(run.pieces.size()));
    for (cBuiltHull& built : result.hulls)
      run.hulls.push_back(MakeHull(std::move(built.shape.faces), built.shape.box, built.piece));
    if (request.hulls && !run.pieces.empty()) run.messages.push_back("Convex hull completed...");
  }

  if (!request.maxHulls && request.maxHullVertices) {
    for (std::size_t i = 0; i < run.hulls.size(); ++i) {
      if (run.hulls[i].vertexCount > *request.maxHullVertices) run.overLimit.push_back(i);
    }
  }
  if (request.fidelity) {
    std::vector<cTriangleList> faces;
    faces.reserve(run.hulls.size());
    for (const cRunHull& hull : run.hulls) faces.push_back(hull.faces);
    run.fidelity = MeasureFidelity(triangles, faces);
  }
  FindIndices(triangles, run.pieces);
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
