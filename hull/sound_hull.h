// The convex hull of a point set built with exact orientation tests: the construction used for a
// piece whenever the incremental construction of hull.h would leave its surface open or fail its
// checks.
#pragma once

#include "geometry/vec3.h"

// A closed surface of triangles whose corners are points of the list: every directed edge appears
// exactly once and its reverse exactly once, every Normal points outward, and every point of the
// list lies on or behind the plane of every face, decided exactly on the float coordinates.
//
// Points with a coordinate that is not finite take no part; repeated points count once. Flat
// input (all points in one plane) gives a flat closed surface: the convex polygon fanned from its
// first corner, facing one way, and fanned from its second corner, facing the other way.
// Collinear input gives two faces (end, inner point, other end) and the reverse. Fewer than three
// distinct finite points give no face.
//
// Deterministic: the same list gives the same faces in the same order. The construction is
// quickhull (Barber, Dobkin, Huhdanpaa 1996) with a conflict list per face; a face's furthest
// outside point is chosen by a double-precision distance, which only affects the order of work,
// never a decision of which side a point lies on.
cTriangleList SoundHull(const cPointList& points);
