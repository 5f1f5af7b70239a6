#include "formats/batch_run.h"

#include <memory>
#include <utility>

#include "decomposition/decomposition.h"
#include "decomposition/region_growing.h"
#include "geometry/surface.h"
#include "hull/hull.h"
#include "hull/hull_construction.h"

cColorDraws::cColorDraws() {
  initstate_r(1, state, sizeof state, &data);
}

int cColorDraws::Next() {
  std::int32_t value = 0;
  random_r(&data, &value);
  return value;
}

cColor cColorDraws::Color(int range) {
  cColor c;
  c.red = static_cast<unsigned char>(Next() % range);
  c.green = static_cast<unsigned char>(Next() % range);
  c.blue = static_cast<unsigned char>(Next() % range);
  return c;
}

namespace {

cDecomposition& Attach(cMesh& mesh) {
  auto owned = std::make_unique<cDecomposition>();
  cDecomposition& decomposition = *owned;
  mesh.components.push_back(std::move(owned));
  mesh.decomposition = &decomposition;
  decomposition.source = &mesh;
  return decomposition;
}

}  // namespace

cBatchRun::cBatchRun() : decomposition(Attach(mesh)) {}

bool cBatchRun::Run(const cBatchSettings& settings, const cProgress& progress,
                    const std::function<void(const std::string&)>& message) {
  const auto say = [&](std::string text) {
    if (message) message(text);
    messages.push_back(std::move(text));
  };
  epsilon = settings.epsilon;
  say("triangles: " + std::to_string(mesh.triangles.size()));
  std::vector<std::size_t> pieceRegions;  // outside the fitting mode
  if (settings.fit) {
    cFit result = FitHulls(mesh.triangles, *settings.fit, progress);
    if (result.cancelled) return !(cancelled = true);
    fit = cFitRun{settings.fit->maxHulls, settings.fit->maxHullVertices, result.startPieces};
    for (const cFittedHull& hull : result.hulls) reduced.push_back(hull.reduced);
    TakeFit(decomposition, std::move(result));
    say("pieces: " + std::to_string(fit->startPieces));
    say("hulls: " + std::to_string(decomposition.hulls.size()));
  } else if (!mesh.triangles.empty()) {
    cGrowth growth = GrowPieces(mesh.triangles, settings.epsilon, progress);
    if (growth.cancelled) return !(cancelled = true);
    regions = growth.regions;
    for (cGrownPiece& grown : growth.pieces) {
      pieceRegions.push_back(grown.region);
      auto piece = std::make_unique<cConvexPiece>();
      piece->triangles = std::move(grown.triangles);
      piece->box = grown.box;
      decomposition.pieces.push_back(std::move(piece));
    }
    say("objects: " + std::to_string(decomposition.pieces.size()));
    // Convex Hull: a hull for every piece with four distinct corners, in piece order.
    if (settings.hulls && !decomposition.pieces.empty()) {
      const std::size_t count = decomposition.pieces.size();
      for (std::size_t i = 0; i < count; ++i) {
        if (!KeepGoing(progress, "hulls", static_cast<double>(i) / count))
          return !(cancelled = true);
        cHullShape shape;
        if (BuildPieceShape(decomposition.pieces[i]->triangles, settings.smooth, shape)) {
          AppendHull(decomposition, std::move(shape));
          hullPieces.push_back(i);
        }
      }
      say("Convex hull completed...");
    }
  }
  if (settings.fidelity) {
    std::vector<cTriangleList> faces;
    faces.reserve(decomposition.hulls.size());
    for (const cHullPointer& hull : decomposition.hulls) faces.push_back(hull->faces);
    fidelity = MeasureFidelity(mesh.triangles, faces);
  }
  Paint(pieceRegions);
  return true;
}

void cBatchRun::Paint(const std::vector<std::size_t>& pieceRegions) {
  cColorDraws draws;
  mesh.color = draws.Color(225);
  cPieceList& pieces = decomposition.pieces;
  if (fit) {
    for (auto& piece : pieces) piece->color = draws.Color(255);
  } else {
    // Every grown region drew a colour, kept as a piece or dropped.
    std::size_t next = 0;
    for (std::size_t region = 0; region < regions; ++region) {
      const cColor color = draws.Color(255);
      if (next < pieces.size() && pieceRegions[next] == region) pieces[next++]->color = color;
    }
  }
  for (cHullPointer& hull : decomposition.hulls) hull->color = draws.Color(255);
}

cRunResult cBatchRun::Written() const {
  cRunResult run;
  run.epsilon = epsilon;
  run.smooth = smooth;
  run.messages = messages;
  run.mesh = &mesh;
  run.decomposition = &decomposition;
  run.fit = fit ? &*fit : nullptr;
  run.fidelity = fidelity ? &*fidelity : nullptr;
  run.hullPieces = hullPieces;
  return run;
}
