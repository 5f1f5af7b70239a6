#include "tests/support/reference_hull.h"

#include <cmath>

void ReferenceBuild(cHullResult& h, cPointList& points) {
  if (points.size() < 4) return;
  ReferenceSeed(h, points);
  for (std::size_t i = 3; i < points.size(); ++i) ReferenceAddPoint(h, points[i]);
}

void ReferenceSeed(cHullResult& h, cPointList& points) {
  if (points.size() < 4) return;
  h.box = ComputeBoundBox(points);
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
    h.faces.emplace_back(p0, p2, p1);
    h.faces.emplace_back(p3, p0, p1);
    h.faces.emplace_back(p3, p2, p0);
    h.faces.emplace_back(p3, p1, p2);
  } else {
    h.faces.emplace_back(p0, p1, p2);
    h.faces.emplace_back(p3, p1, p0);
    h.faces.emplace_back(p3, p0, p2);
    h.faces.emplace_back(p3, p2, p1);
  }
}

void ReferenceAddPoint(cHullResult& h, cVec3 q) {
  h.currentPoint = q;

  std::size_t at = 0;
  while (at < h.faces.size()) {
    if (SignedDistance(h.faces[at], q) > static_cast<double>(VisibleTolerance)) {
      h.visibleFaces.push_back(h.faces[at]);
      h.faces.erase(h.faces.begin() + static_cast<std::ptrdiff_t>(at));
    } else {
      ++at;
    }
  }

  cTriangleList fan;
  for (const cTriangle& f : h.visibleFaces) {
    for (int e = 0; e < 3; ++e) {
      const cTriangle candidate(q, f.vertex[e], f.vertex[(e + 1) % 3]);
      if (IsHorizonFace(candidate, h.visibleFaces) && !ContainsTriangle(fan, candidate)) {
        fan.push_back(candidate);
      }
    }
  }
  h.faces.insert(h.faces.end(), fan.begin(), fan.end());

  fan.clear();
  h.ready = false;
  h.visibleFaces.clear();
  h.ready = true;
}
