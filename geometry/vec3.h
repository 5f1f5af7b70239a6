// Value types of all geometry: vectors, triangles, boxes and the few operations on them.
// Every coordinate is a 32-bit float; no unit is implied.
#pragma once

#include <vector>

struct cVec3 {
  float x = 0.0f;
  float y = 0.0f;
  float z = 0.0f;

  cVec3() = default;
  cVec3(float x_, float y_, float z_) : x(x_), y(y_), z(z_) {}
};

inline cVec3 operator-(const cVec3& a, const cVec3& b) {
  return cVec3(a.x - b.x, a.y - b.y, a.z - b.z);
}

// Exact float equality per axis (0.0 equals -0.0; NaN equals nothing).
inline bool SamePoint(const cVec3& a, const cVec3& b) {
  return a.x == b.x && a.y == b.y && a.z == b.z;
}

// The right-handed a x b, each component formed in float.
cVec3 Cross(const cVec3& a, const cVec3& b);

// a.z*b.z + a.y*b.y + a.x*b.x in double precision (the exact rules are in vec3.cpp).
double Dot(const cVec3& a, const cVec3& b);

// sqrt(x*x + y*y + z*z) at double precision.
double Length(const cVec3& v);

// One triangle of a surface; the corner order fixes its front side.
struct cTriangle {
  cVec3 vertex[3];

  cTriangle() = default;
  cTriangle(const cVec3& a, const cVec3& b, const cVec3& c) : vertex{a, b, c} {}
};

// All nine coordinates equal, corner i with corner i.
inline bool SameTriangle(const cTriangle& a, const cTriangle& b) {
  return SamePoint(a.vertex[0], b.vertex[0]) && SamePoint(a.vertex[1], b.vertex[1]) &&
         SamePoint(a.vertex[2], b.vertex[2]);
}

// Cross(vertex[1] - vertex[0], vertex[2] - vertex[1]); not normalised, so its length is twice
// the area. Points toward a viewer who sees the corners counter-clockwise; (0, 0, 0) when the
// corners coincide or lie on one line.
cVec3 Normal(const cTriangle& t);

// Axis-aligned box; the default box has both corners at the origin.
struct cBoundBox {
  cVec3 min;
  cVec3 max;
};

// Contiguous, insertion-ordered; erasing shifts the later entries down.
using cTriangleList = std::vector<cTriangle>;
using cPointList = std::vector<cVec3>;

// The folds used by every box computation: a < b yields a, else b (and a > b yields a, else b),
// so equal values yield the second argument and a NaN second argument always wins.
inline float MinOf(float a, float b) {
  return a < b ? a : b;
}
inline float MaxOf(float a, float b) {
  return a > b ? a : b;
}

// Widens box to hold p: each coordinate folded with MinOf (box first, p second) and MaxOf.
void ExtendBox(cBoundBox& box, const cVec3& p);

// Tight box of all corners, started from the first corner and extended by every corner in
// order. The list must hold at least one triangle; callers check first.
cBoundBox ComputeBoundBox(const cTriangleList& list);

// Tight box of a non-empty point list, folded the same way.
cBoundBox ComputeBoundBox(const cPointList& points);

cVec3 GetCenter(const cBoundBox& box);
