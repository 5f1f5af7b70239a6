#include "hull/hull.h"

#include "hull_internal.h"

#include <cmath>
#include <new>

#include "decomposition/decomposition.h"
#include "platform/platform.h"
#include "state/state.h"

cHullResult::cHullResult() : color(RandomColor(255)) {}

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

// Seed tetrahedron from points 0 to 2 and the first later point (lowest index, not the
// farthest) that clears SeedTolerance; then one AddPoint per remaining point from index 3.
// Nothing is checked or repaired afterwards.
void cHullResult::Build(cPointList& points) {
  if (points.size() < 4) return;
  box = ComputeBoundBox(points);
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
    faces.emplace_back(p0, p2, p1);
    faces.emplace_back(p3, p0, p1);
    faces.emplace_back(p3, p2, p0);
    faces.emplace_back(p3, p1, p2);
  } else {  // behind the base, or not a number
    faces.emplace_back(p0, p1, p2);
    faces.emplace_back(p3, p1, p0);
    faces.emplace_back(p3, p0, p2);
    faces.emplace_back(p3, p2, p1);
  }

  for (std::size_t i = 3; i < points.size(); ++i) AddPoint(points[i]);
}

void cHullResult::AddPoint(cVec3 q) {
  currentPoint = q;

  std::size_t at = 0;
  while (at < faces.size()) {
    if (SignedDistance(faces[at], q) > static_cast<double>(VisibleTolerance)) {
      visibleFaces.push_back(faces[at]);
      faces.erase(faces.begin() + static_cast<std::ptrdiff_t>(at));
    } else {
      ++at;
    }
  }

  cTriangleList fan;
  for (const cTriangle& f : visibleFaces) {
    for (int e = 0; e < 3; ++e) {
      const cTriangle candidate(q, f.vertex[e], f.vertex[(e + 1) % 3]);
      if (IsHorizonFace(candidate, visibleFaces) && !ContainsTriangle(fan, candidate)) {
        fan.push_back(candidate);
      }
    }
  }
  faces.insert(faces.end(), fan.begin(), fan.end());

  fan.clear();
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
  for (const cTriangle& t : triangles) {
    for (const cVec3& corner : t.vertex) {
      if (!ContainsPoint(distinct, corner)) distinct.push_back(corner);
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

void BuildPieceHull(cDecomposition& decomposition, const cConvexPiece& piece, float smooth) {
  if (!piece.children.empty()) {
    for (const auto& child : piece.children) BuildPieceHull(decomposition, *child, smooth);
    return;
  }
  const cPointList distinct = CollectDistinctPoints(piece.triangles);
  const std::vector<std::size_t> positions = SamplePositions(distinct.size(), smooth);
  if (positions.empty()) return;
  cPointList sample;
  sample.reserve(positions.size());
  for (std::size_t at : positions) sample.push_back(distinct[at]);

  cHullResult* result = new (std::nothrow) cHullResult();
  if (result == nullptr) return;
  decomposition.hulls.emplace_back(result);
  result->Build(sample);
}

void StartConvexHull(cDecomposition& decomposition) {
  DestroyFirstToLast(decomposition.hulls);
  if (decomposition.pieces.empty()) return;
  Busy.fetch_add(1);
  cDecomposition* target = &decomposition;
  Platform().StartThread([target] { ConvexHullWorker(*target); }, decomposition.worker);
}

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
