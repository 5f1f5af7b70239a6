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

cBoundBox ComputeBoundBox(const cTriangleList& list) {
  assert(!list.empty());
  cBoundBox box;
  box.min = list.front().vertex[0];
  box.max = list.front().vertex[0];
  for (const cTriangle& t : list) {
    const cVec3& a = t.vertex[0];
    const cVec3& b = t.vertex[1];
    const cVec3& c = t.vertex[2];
    box.min.x = MinOf(MinOf(MinOf(box.min.x, a.x), b.x), c.x);
    box.max.x = MaxOf(MaxOf(MaxOf(box.max.x, a.x), b.x), c.x);
    box.min.y = MinOf(MinOf(MinOf(box.min.y, a.y), b.y), c.y);
    box.max.y = MaxOf(MaxOf(MaxOf(box.max.y, a.y), b.y), c.y);
    box.min.z = MinOf(MinOf(MinOf(box.min.z, a.z), b.z), c.z);
    box.max.z = MaxOf(MaxOf(MaxOf(box.max.z, a.z), b.z), c.z);
  }
  return box;
}

cVec3 GetCenter(const cBoundBox& box) {
  return cVec3((box.min.x + box.max.x) * 0.5f, (box.min.y + box.max.y) * 0.5f,
               (box.min.z + box.max.z) * 0.5f);
}
