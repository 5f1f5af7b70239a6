// Facts about a surface of triangles that several parts of the program need: whether it is
// closed, the volume it encloses, and how many distinct corners it has. Corners are told apart
// as geometry/point_key.h says.
#pragma once

#include <cstddef>

#include "geometry/vec3.h"

// Closed: at least one triangle, every corner finite, no triangle repeating a corner, and every
// directed edge (a corner to the next in the triangle's order) appears exactly once with its
// reverse exactly once. A closed list wound outward bounds a solid; one wound inward, or crossing
// itself, is still closed here.
bool IsClosedSurface(const cTriangleList& triangles);

// The volume a surface wound outward encloses (negative when wound inward): the sum over the
// triangles of the signed tetrahedra from the coordinate origin, summed exactly and rounded
// once, so its sign (and whether it is 0) is always the exact one, at any scale of coordinates.
// Only meaningful for a closed surface; NaN when a coordinate is not finite; 0 for no triangles.
double EnclosedVolume(const cTriangleList& triangles);

// Distinct corners; every corner with a NaN coordinate counts as one of its own.
std::size_t DistinctCorners(const cTriangleList& triangles);
