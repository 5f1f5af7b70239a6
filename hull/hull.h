// Convex hulls of the pieces: the result component, the incremental (beneath-beyond)
// construction, and the worker that builds one hull per leaf piece.
#pragma once

#include "geometry/mesh.h"

class cDecomposition;

// Tolerances of the construction, in model units, all held as 32-bit floats and widened to
// double where they are compared. A distance counts only when strictly greater.
constexpr float SeedTolerance = 0.0001f;   // fourth seed corner must clear the base plane
constexpr float VisibleTolerance = 1e-5f;  // a face is visible from a point farther in front
constexpr float HorizonTolerance = 0.01f;  // a candidate face is rejected by a corner farther

// The hull of one piece, with what the construction step in progress works on.
class cHullResult : public cMeshComponent {
 public:
  cHullResult();  // colour: rand() % 255 for red, green, blue in that order
  ~cHullResult() override;

  std::uint32_t GetTypeId() override { return 0; }
  void Apply(cMesh*) override {}
  void Draw() override;

  // Builds the hull of points (at least four, pairwise distinct) into faces; see hull.cpp.
  // Removes the fourth seed corner from points when one clears SeedTolerance.
  void Build(cPointList& points);

  // Adds q: removes the faces it sees and closes the hole with a fan of new faces.
  void AddPoint(cVec3 q);

  cTriangleList faces;  // wound so that Normal points outward
  cColor color;
  cTriangleList visibleFaces;  // faces removed in the step in progress; empty between steps
  cVec3 currentPoint;          // point of the latest step
  cBoundBox box;               // box of the points given to Build
  bool ready = true;           // false only while a step empties visibleFaces
};

// Signed distance of p from the plane of t, positive in front (the side Normal points to).
// Offset and numerator are rounded to float, the division is done in double. Not a number
// when t is degenerate.
double SignedDistance(const cTriangle& t, const cVec3& p);

// Tight box of a non-empty point list.
cBoundBox ComputePointBox(const cPointList& points);

// True when no corner of the visible faces lies more than HorizonTolerance in front of t.
bool IsHorizonFace(const cTriangle& t, const cTriangleList& visible);

// Exact nine-coordinate match with some element, corner i against corner i.
bool ContainsTriangle(const cTriangleList& list, const cTriangle& t);

// Exact coordinate match with some element (0.0 equals -0.0).
bool ContainsPoint(const cPointList& list, const cVec3& point);

// The distinct corners of a piece's triangles, in order of first appearance.
cPointList CollectDistinctPoints(const cTriangleList& triangles);

// The positions of the sample taken from count distinct points for the given smooth value
// (not yet clamped): empty when count is below 4.
std::vector<std::size_t> SamplePositions(std::size_t count, float smooth);

// Builds the hulls of piece (or, for a piece with children, of its leaves, depth first) into
// decomposition.hulls.
void BuildPieceHull(cDecomposition& decomposition, const cConvexPiece& piece, float smooth);

// Body of the Convex Hull worker thread: a hull for every leaf piece, Smooth read afresh for
// every top-level piece; then clears worker, shows "Convex hull completed..." and lowers Busy.
void ConvexHullWorker(cDecomposition& decomposition);
