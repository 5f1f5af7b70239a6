// Exact orientation tests on points with 32-bit float coordinates: the sign returned is the sign
// of the exact real determinant, never one changed by rounding. A double-precision filter decides
// the clear cases; the rest is summed exactly as a floating-point expansion (a list of doubles
// whose exact sum is the value), following Shewchuk's adaptive-precision arithmetic.
//
// Every coordinate must be finite. Float magnitudes (up to 3.4e38, down to 1.4e-45) keep every
// intermediate product inside double's range, so no overflow or underflow changes a sign.
#pragma once

#include "geometry/vec3.h"

// +1 when q lies in front of the plane through a, b, c (the side Normal(a, b, c) points to),
// -1 behind it, 0 on it (or when a, b, c are collinear).
int Orient3d(const cVec3& a, const cVec3& b, const cVec3& c, const cVec3& q);

// The sign of the z component of (b - a) x (c - a): +1 when a, b, c turn counter-clockwise seen
// from +z, -1 clockwise, 0 collinear in the xy projection. axis 0 projects along x (onto y, z),
// axis 1 along y (onto z, x), axis 2 along z (onto x, y).
int Orient2d(const cVec3& a, const cVec3& b, const cVec3& c, int axis);

// True when a, b, c lie on one line (exactly).
bool Collinear(const cVec3& a, const cVec3& b, const cVec3& c);

// Where the vertical line through (line.x, line.y) crosses triangle t: its z (clamped to the
// corners' range), or false. The line is moved by (e, e^2) for an infinitesimal e > 0, so that
// it never passes through an edge or a corner: two triangles that share an edge are never both
// crossed there, and a line crosses a closed surface an even number of times, however it meets
// its edges and corners.
bool VerticalCrossing(const cTriangle& t, const cVec3& line, double& z);
