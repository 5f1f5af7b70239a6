// What the primitives share with the list cache, which must send the very same values.
#pragma once

#include "geometry/vec3.h"

// The unit normal DrawTriangleList gives a triangle: zero for one whose corners lie on a line.
cVec3 UnitNormal(const cTriangle& t);
