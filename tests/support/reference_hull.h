// The hull construction written as plainly as it is described, face list scans and all: the
// oracle that cHullResult::Build and AddPoint (made fast) must match face for face.
#pragma once

#include "hull/hull.h"
#include "hull/hull_internal.h"

// Build's first part: box, the seed tetrahedron, the removal of the fourth corner.
void ReferenceSeed(cHullResult& h, cPointList& points);

// Build as described: the seed tetrahedron, then ReferenceAddPoint per remaining point.
void ReferenceBuild(cHullResult& h, cPointList& points);

// One step as described: every face rescanned, visible ones erased in place, every candidate
// tested with IsHorizonFace against all visible faces.
void ReferenceAddPoint(cHullResult& h, cVec3 q);
