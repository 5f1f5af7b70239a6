// Exact comparison and readable printing of points and triangles in test expectations.
#pragma once

#include <ostream>

#include "geometry/vec3.h"

inline bool operator==(const cVec3& a, const cVec3& b) {
  return SamePoint(a, b);
}
inline bool operator==(const cTriangle& a, const cTriangle& b) {
  return SameTriangle(a, b);
}
inline void PrintTo(const cVec3& v, std::ostream* os) {
  *os << '(' << v.x << ", " << v.y << ", " << v.z << ')';
}
inline void PrintTo(const cTriangle& t, std::ostream* os) {
  *os << '[';
  PrintTo(t.vertex[0], os);
  PrintTo(t.vertex[1], os);
  PrintTo(t.vertex[2], os);
  *os << ']';
}
