#include "hull/hull.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>

#include "geometry/point_key.h"
#include "geometry/surface.h"
#include "hull_internal.h"
#include "incremental_hull.h"
#include "sound_hull.h"

#include "decomposition/decomposition.h"
#include "platform/platform.h"
#include "state/state.h"

cHullResult::cHullResult() : color(RandomColor(255)) {}

// Kept on purpose, though the members free themselves: the original teardown, step for step.
cHullResult::~cHullResult() {
  faces.clear();
  visibleFaces.shrink_to_fit();
  faces.shrink_to_fit();
}

void cHullResult::Draw() {
  if (DrawHooks().drawHullResult != nullptr) DrawHooks().drawHullResult(*this);
}

double SignedDistance(const cTriangle& t, const cVec3& p) {
  const cVec3 n = Normal(t);
  const float offset = static_cast<float>(-Dot(n, t.vertex[0]));
  const float numerator = static_cast<float>(Dot(n, p) + offset);
  return numerator / Length(n);
}

namespace {

// Seed tetrahedron from points 0 to 2 and the first later point (lowest index, not the
// farthest) that clears SeedTolerance, appended to hull; removes that point from points.
void Seed(cPointList& points, cIncrementalHull& hull) {
  const cVec3 p0 = points[0];
  const cVec3 p1 = points[1];
  const cVec3 p2 = points[2];
  const cTriangle base(p0, p1, p2);

  cVec3 p3 = points[3];
  double d = 0.0;
  for (std::size_t i = 3; i < points.size(); ++i) {
    d = SignedDistance(base, points[i]);
    if (std::fabs(d) > static_cast<double>(SeedTolerance)) {
      p3 = points[i];
      points.erase(points.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  }

  if (d >= 0.0) {
    hull.AddFace(cTriangle(p0, p2, p1));
    hull.AddFace(cTriangle(p3, p0, p1));
    hull.AddFace(cTriangle(p3, p2, p0));
    hull.AddFace(cTriangle(p3, p1, p2));
  } else {  // behind the base, or not a number
    hull.AddFace(cTriangle(p0, p1, p2));
    hull.AddFace(cTriangle(p3, p1, p0));
    hull.AddFace(cTriangle(p3, p0, p2));
    hull.AddFace(cTriangle(p3, p2, p1));
  }
}

bool AllFinite(const cPointList& points) {
  for (const cVec3& p : points) {
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) return false;
  }
  return true;
}

}  // namespace

// The seed, then one step per remaining point from index 3, all in one cIncrementalHull (the
// steps AddPoint takes one at a time); nothing is checked or repaired afterwards.
void cHullResult::Build(cPointList& points) {
  if (points.size() < 4) return;
  box = ComputeBoundBox(points);
  cIncrementalHull hull(box, points.size(), false);
  for (const cTriangle& f : faces) hull.AddFace(f);
  Seed(points, hull);
  for (std::size_t i = 3; i < points.size(); ++i) hull.AddPoint(points[i]);
  faces = hull.Faces();
  // visibleFaces and ready kept on purpose: they mirror the steps, and a frame drawn during a
  // step would see them.
  if (points.size() > 3) {  // as the last AddPoint leaves them
    currentPoint = points.back();
    visibleFaces.clear();
    ready = true;
  }
}

bool BuildClosedHull(cPointList& points, cHullShape& shape) {
  if (points.size() < 4) return false;
  shape.box = ComputeBoundBox(points);
  const cPointList sample = points;
  bool kept = AllFinite(points);
  cIncrementalHull hull(shape.box, points.size(), true);
  if (kept) {
    Seed(points, hull);
    kept = hull.Closed();
    for (std::size_t i = 3; kept && i < points.size(); ++i) {
      hull.AddPoint(points[i]);
      kept = hull.Closed();
    }
    // Held to a tolerance of VisibleTolerance per unit of the sample's largest extent, so that
    // the check means the same at every scale.
    const cBoundBox& box = shape.box;
    const double extent = std::max({double(box.max.x) - box.min.x, double(box.max.y) - box.min.y,
                                    double(box.max.z) - box.min.z});
    kept = kept && hull.Holds(sample, static_cast<double>(VisibleTolerance) * extent);
  } else {
    Seed(points, hull);  // only for its removal of the fourth corner, as Build does
  }
  shape.faces = kept ? hull.Faces() : SoundHull(sample);
  if (points.size() > 3) shape.currentPoint = points.back();
  return true;
}

void cHullResult::BuildClosed(cPointList& points) {
  cHullShape shape{faces, box, currentPoint};
  if (!BuildClosedHull(points, shape)) return;
  faces = std::move(shape.faces);
  box = shape.box;
  currentPoint = shape.currentPoint;
  if (points.size() > 3) {
    // Kept on purpose: the steps a construction ends with; nothing is drawn from them between
    // frames, but a frame drawn during a step would see them.
    visibleFaces.clear();
    ready = true;
  }
}

void cHullResult::AddPoint(cVec3 q) {
  currentPoint = q;
  cBoundBox around{q, q};
  for (const cTriangle& f : faces) {
    for (const cVec3& v : f.vertex) {
      around.min =
          cVec3(MinOf(around.min.x, v.x), MinOf(around.min.y, v.y), MinOf(around.min.z, v.z));
      around.max =
          cVec3(MaxOf(around.max.x, v.x), MaxOf(around.max.y, v.y), MaxOf(around.max.z, v.z));
    }
  }
  cIncrementalHull hull(around, faces.size() / 2 + 1, false);
  for (const cTriangle& f : faces) hull.AddFace(f);
  hull.AddPoint(q);
  faces = hull.Faces();
  // Kept on purpose, though they change nothing between frames: the step's own states (not
  // ready while its removed faces are cleared, ready after), as the construction goes through
  // them; a frame drawn during a step would see them.
  ready = false;
  visibleFaces.clear();
  ready = true;
}

bool IsHorizonFace(const cTriangle& t, const cTriangleList& visible) {
  for (const cTriangle& g : visible) {
    for (const cVec3& corner : g.vertex) {
      if (SignedDistance(t, corner) > static_cast<double>(HorizonTolerance)) return false;
    }
  }
  return true;
}

bool ContainsTriangle(const cTriangleList& list, const cTriangle& t) {
  for (const cTriangle& entry : list) {
    if (SameTriangle(entry, t)) return true;
  }
  return false;
}

bool ContainsPoint(const cPointList& list, const cVec3& point) {
  for (const cVec3& entry : list) {
    if (SamePoint(entry, point)) return true;
  }
  return false;
}

cPointList CollectDistinctPoints(const cTriangleList& triangles) {
  cPointList distinct;
  cPointIndex seen(triangles.size() / 2 + 4);
  for (const cTriangle& t : triangles) {
    for (const cVec3& corner : t.vertex) {
      const auto next = static_cast<std::uint32_t>(distinct.size());
      if (seen.FindOrInsert(corner, next) == next) distinct.push_back(corner);
    }
  }
  return distinct;
}

std::vector<std::size_t> SamplePositions(std::size_t count, float smooth) {
  std::vector<std::size_t> positions;
  if (count < 4) return positions;
  if (smooth < 0.0f) smooth = 0.0f;
  if (smooth > 1.0f) smooth = 1.0f;
  // A setting that is not a number (the Options box reads "nan" as one) samples like 0: the
  // first four points, instead of an undefined conversion of NaN to an integer.
  if (std::isnan(smooth)) smooth = 0.0f;
  // The product in double from the exact count and the single-precision smooth.
  std::size_t n = static_cast<std::size_t>(std::ceil(static_cast<double>(count) * smooth));
  std::size_t step;
  if (n <= 4) {
    n = 4;
    step = 1;
  } else {
    step = count / n;
  }
  positions.reserve(n);
  for (std::size_t k = 0; k < n; ++k) positions.push_back(k * step);
  return positions;
}

cPointList SamplePiece(const cTriangleList& triangles, float smooth) {
  const cPointList distinct = CollectDistinctPoints(triangles);
  const std::vector<std::size_t> positions = SamplePositions(distinct.size(), smooth);
  cPointList sample;
  sample.reserve(positions.size());
  for (std::size_t at : positions) sample.push_back(distinct[at]);
  return sample;
}

bool BuildPieceShape(const cTriangleList& triangles, float smooth, cHullShape& shape) {
  cPointList sample = SamplePiece(triangles, smooth);
  return BuildClosedHull(sample, shape);
}

cHullSet BuildHulls(const std::vector<cTriangleList>& pieces, float smooth,
                    const cProgress& progress) {
  cHullSet set;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (!KeepGoing(progress, "hulls", static_cast<double>(i) / pieces.size())) {
      set.cancelled = true;
      break;
    }
    cBuiltHull built;
    built.piece = i;
    if (BuildPieceShape(pieces[i], smooth, built.shape)) set.hulls.push_back(std::move(built));
  }
  return set;
}

void BuildPieceHull(cDecomposition& decomposition, const cConvexPiece& piece, float smooth) {
  if (!piece.children.empty()) {
    for (const auto& child : piece.children) BuildPieceHull(decomposition, *child, smooth);
    return;
  }
  cPointList sample = SamplePiece(piece.triangles, smooth);
  if (sample.empty()) return;  // fewer than four distinct corners: no result, no colour
  cHullResult* result = new (std::nothrow) cHullResult();
  if (result == nullptr) return;
  decomposition.hulls.push_back(OwnHull(result));
  cHullShape shape;
  BuildClosedHull(sample, shape);
  result->faces = std::move(shape.faces);
  result->box = shape.box;
  result->currentPoint = shape.currentPoint;
}

cHullResult& AppendHull(cDecomposition& decomposition, cHullShape&& shape) {
  auto* result = new cHullResult();
  decomposition.hulls.push_back(OwnHull(result));
  result->faces = std::move(shape.faces);
  result->box = shape.box;
  result->currentPoint = shape.currentPoint;
  return *result;
}

void StartConvexHull(cDecomposition& decomposition) {
  DestroyFirstToLast(decomposition.hulls);
  if (decomposition.pieces.empty()) return;
  Busy.fetch_add(1);
  cDecomposition* target = &decomposition;
  Platform().StartThread([target] { ConvexHullWorker(*target); }, decomposition.worker);
}

// The pieces' hulls are built one piece at a time here, rather than through BuildHulls, because
// each top-level piece reads Smooth afresh and makes its results (and their colours) as it goes.
void ConvexHullWorker(cDecomposition& decomposition) {
  for (std::size_t i = 0; i < decomposition.pieces.size(); ++i) {
    const float smooth = static_cast<float>(Smooth.load());
    Platform().Progress("hulls", static_cast<double>(i) / decomposition.pieces.size());
    BuildPieceHull(decomposition, *decomposition.pieces[i], smooth);
  }
  decomposition.worker.store(0);
  Platform().ShowMessage("Convex hull completed...", "message");
  Busy.fetch_sub(1);  // raised by whoever started this worker
}

void StartFitHulls(cMesh& mesh, const cFitSettings& settings) {
  cDecomposition* decomposition = mesh.decomposition;
  if (decomposition == nullptr) {
    auto owned = std::make_unique<cDecomposition>();
    decomposition = owned.get();
    decomposition->source = &mesh;
    mesh.components.push_back(std::move(owned));
    mesh.decomposition = decomposition;
  }
  if (decomposition->worker.load() != 0) return;
  DestroyFirstToLast(decomposition->hulls);
  DestroyFirstToLast(decomposition->pieces);
  decomposition->source = &mesh;
  Busy.fetch_add(1);
  Platform().StartThread([decomposition, settings] { FitHullsWorker(*decomposition, settings); },
                         decomposition->worker);
}

void FitHullsWorker(cDecomposition& decomposition, const cFitSettings& settings) {
  cTriangleList triangles;
  cMesh* mesh = decomposition.source;
  if (mesh != nullptr) {
    triangles.reserve(mesh->GetTriangleCount());
    for (std::uint32_t i = 0; i < mesh->GetTriangleCount(); ++i) {
      cTriangle t;
      triangles.push_back(mesh->GetTriangle(t, i));
    }
  }
  cFit fit = FitHulls(triangles, settings, [](const char* step, double fraction) {
    Platform().Progress(step, fraction);
    return true;
  });
  TakeFit(decomposition, std::move(fit));
  std::vector<cTriangleList> hulls;
  for (const cHullPointer& hull : decomposition.hulls) hulls.push_back(hull->faces);
  const std::string summary =
      FitSummary(decomposition, fit.startPieces,
                 hulls.empty() ? cFidelity() : MeasureFidelity(triangles, hulls));
  decomposition.worker.store(0);
  Platform().ShowMessage(summary, "message");
  Busy.fetch_sub(1);  // raised by whoever started this worker
}

void TakeFit(cDecomposition& decomposition, cFit&& fit) {
  for (cFittedHull& hull : fit.hulls) {
    auto piece = std::make_unique<cConvexPiece>();
    piece->triangles = std::move(hull.triangles);
    piece->box = ComputeBoundBox(piece->triangles);
    decomposition.pieces.push_back(std::move(piece));
  }
  for (cFittedHull& hull : fit.hulls) {
    cHullShape shape;
    shape.box = ComputeBoundBox(hull.faces);
    shape.currentPoint = hull.faces.back().vertex[2];
    shape.faces = std::move(hull.faces);
    AppendHull(decomposition, std::move(shape));
  }
}

namespace {

// The solid's volume, or 1 when it has none, to divide by.
double Positive(const cFidelity& fidelity) {
  return fidelity.solidVolume > 0.0 ? fidelity.solidVolume : 1.0;
}

}  // namespace

std::string FitSummary(const cDecomposition& decomposition, std::size_t startPieces,
                       const cFidelity& fidelity) {
  std::size_t most = 0;
  for (const cHullPointer& hull : decomposition.hulls) {
    most = std::max(most, DistinctCorners(hull->faces));
  }
  char text[160];
  std::snprintf(text, sizeof text, "%zu hulls from %zu pieces, at most %zu vertices each",
                decomposition.hulls.size(), startPieces, most);
  std::string summary = text;
  if (decomposition.hulls.empty()) return summary;
  if (fidelity.closed) {
    std::snprintf(text, sizeof text,
                  "\nIoU with the solid %.3f (missing %.2f %%, excess %.2f %%); %.2f %% of the "
                  "surface inside",
                  fidelity.iou, 100.0 * std::max(0.0, fidelity.missingVolume) / Positive(fidelity),
                  100.0 * fidelity.excessVolume / Positive(fidelity),
                  100.0 * fidelity.surfaceCoverage);
  } else {
    std::snprintf(text, sizeof text,
                  "\nnot closed: the hulls' surfaces lie at most %.2f %% (mean %.2f %%) of the "
                  "diagonal from the mesh; %.2f %% of the surface inside",
                  100.0 * fidelity.largestDistance, 100.0 * fidelity.meanDistance,
                  100.0 * fidelity.surfaceCoverage);
  }
  return summary + text;
}
