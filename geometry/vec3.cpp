#include "geometry/vec3.h"

#include <cassert>
#include <cmath>

cVec3 Cross(const cVec3& a, const cVec3& b) {
  return cVec3(a.y * b.z - b.y * a.z, a.z * b.x - b.z * a.x, b.y * a.x - a.y * b.x);
}

// Precision: each coordinate is widened to double before it is multiplied, so every product of
// two floats is exact (24 + 24 significant bits fit in double's 53); the three products are summed
// in double, z term first, then y, then x, and the double sum is returned without rounding to
// float. Callers that want a float (the hull's signed distance) round the result themselves.
// The build turns off floating-point contraction (-ffp-contract=off), so no fused multiply-add
// changes these roundings on any target.
double Dot(const cVec3& a, const cVec3& b) {
  return static_cast<double>(a.z) * b.z + static_cast<double>(a.y) * b.y +
         static_cast<double>(a.x) * b.x;
}

// Same precision as Dot: squares exact in double, summed x, y, z in double, root in double.
double Length(const cVec3& v) {
  const double x = v.x;
  const double y = v.y;
  const double z = v.z;
  return std::sqrt(x * x + y * y + z * z);
}

cVec3 Normal(const cTriangle& t) {
  return Cross(t.vertex[1] - t.vertex[0], t.vertex[2] - t.vertex[1]);
}

void ExtendBox(cBoundBox& box, const cVec3& p) {
  box.min.x = MinOf(box.min.x, p.x);
  box.max.x = MaxOf(box.max.x, p.x);
  box.min.y = MinOf(box.min.y, p.y);
  box.max.y = MaxOf(box.max.y, p.y);
  box.min.z = MinOf(box.min.z, p.z);
  box.max.z = MaxOf(box.max.z, p.z);
}

cBoundBox ComputeBoundBox(const cTriangleList& list) {
  assert(!list.empty());
  cBoundBox box;
  box.min = list.front().vertex[0];
  box.max = list.front().vertex[0];
  for (const cTriangle& t : list) {
    for (const cVec3& corner : t.vertex) ExtendBox(box, corner);
  }
  return box;
}

cBoundBox ComputeBoundBox(const cPointList& points) {
  assert(!points.empty());
  cBoundBox box;
  box.min = points.front();
  box.max = points.front();
  for (const cVec3& p : points) ExtendBox(box, p);
  return box;
}

cVec3 GetCenter(const cBoundBox& box) {
  return cVec3((box.min.x + box.max.x) * 0.5f, (box.min.y + box.max.y) * 0.5f,
               (box.min.z + box.max.z) * 0.5f);
}
