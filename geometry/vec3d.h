// Vectors of doubles, for the measures that widen float coordinates (facing, distances, the
// choice of seed points). Each operation is written out component by component in one fixed
// order, and the build turns off floating-point contraction, so a measure gives the same bits
// wherever it is computed with these. Dot here sums x, y, z in that order; vec3.h's Dot of float
// vectors sums z, y, x and is not interchangeable with it.
#pragma once

#include <cmath>

#include "geometry/vec3.h"

struct cVec3d {
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;
};

// p in double, exactly.
inline cVec3d Widen(const cVec3& p) {
  return cVec3d{p.x, p.y, p.z};
}

inline cVec3d operator+(const cVec3d& a, const cVec3d& b) {
  return cVec3d{a.x + b.x, a.y + b.y, a.z + b.z};
}

inline cVec3d operator-(const cVec3d& a, const cVec3d& b) {
  return cVec3d{a.x - b.x, a.y - b.y, a.z - b.z};
}

// Each component divided by s.
inline cVec3d operator/(const cVec3d& a, double s) {
  return cVec3d{a.x / s, a.y / s, a.z / s};
}

// a.x * b.x + a.y * b.y + a.z * b.z, summed left to right.
inline double Dot(const cVec3d& a, const cVec3d& b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}

// The right-handed a x b: (a.y b.z - a.z b.y, a.z b.x - a.x b.z, a.x b.y - a.y b.x).
inline cVec3d Cross(const cVec3d& a, const cVec3d& b) {
  return cVec3d{a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// Dot(v, v).
inline double SquaredLength(const cVec3d& v) {
  return Dot(v, v);
}

inline double Length(const cVec3d& v) {
  return std::sqrt(SquaredLength(v));
}
