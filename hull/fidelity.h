// How well a set of convex hulls stands in for a mesh: the hulls' sizes, the share of the mesh's
// surface they cover, and either the volumes they add and miss (closed mesh) or how far their
// surfaces stray from the mesh's surface (open mesh).
//
// Deterministic and single-threaded: the same inputs and settings give the same bytes on every
// run. Reads nothing but its arguments.
#pragma once

#include <cstdint>
#include <vector>

#include "geometry/surface.h"
#include "geometry/vec3.h"

struct cFidelitySettings {
  // Points drawn on the mesh's surface for the coverage. Clamped to at most 1 << 24.
  std::uint32_t surfaceSamples = 1 << 16;
  // Points drawn on the hulls' surfaces for the distances of an open mesh; each costs a
  // nearest-triangle search. Clamped to at most 1 << 24.
  std::uint32_t distanceSamples = 1 << 14;
  // Cells of the volume grid along the longest side of the box of mesh and hulls; clamped to
  // 1..1024. The volume errors shrink about in proportion to 1 / gridResolution, the time spent
  // near surfaces grows with its square. The grid is coarsened (halved until it fits) when the
  // triangles' boxes would fill more than 2^24 column entries, and its cells are kept at least
  // 2^-20 of the largest coordinate wide (about 8 float steps).
  std::uint32_t gridResolution = 256;
  // Share of the mesh's box diagonal within which a point near a hull counts as covered (see
  // cFidelity::tolerance). Not finite or negative means 0.
  double tolerance = 1e-5;
};

// One hull of the list, in list order.
struct cHullFidelity {
  std::uint32_t vertexCount = 0;  // distinct corners: 0.0 equals -0.0, a NaN corner is its own
  std::uint32_t faceCount = 0;    // triangles of the list, degenerate ones included
  // False for a hull with no triangle or with a coordinate that is not finite: it takes no part
  // in the coverage, volumes or distances. A flat hull (all corners in one plane, decided
  // exactly) is measured but encloses no volume.
  bool measured = false;
};

// Costs on one core, for T mesh triangles with V distinct corners, hulls of F faces in all,
// S surface samples, D distance samples and grid resolution N:
//   distinct corners and closure about O(T); hull preparation O(F log F); vertex and surface
//   coverage O((V + S) log F) for hulls near which the points lie (points deep inside a hull of
//   many faces cost more); closed mesh: the signed volume O(T) and the grid, which touches
//   every cell once and every (triangle or hull face, column it overlaps) pair once:
//   O(N^3 + T + (mesh and hull area) / cell area); open mesh: a bounding-volume tree over
//   the triangles, O(T), then D nearest-triangle searches, each slower the farther the hulls'
//   surfaces lie from the mesh. Memory O(T + F + N^2).
// Measured with the defaults: a 1M-triangle closed torus with 32 box hulls, 0.6 s of one core
// (intersection error 10%, excess error 20% of the solid's volume); the same torus opened, 1.1 s;
// closed, with 64 hulls of about 260 faces, 0.8 s.
struct cFidelity {
  std::vector<cHullFidelity> hulls;  // one entry per hull, in list order
  std::uint64_t totalVertices = 0;   // sum of the hulls' vertexCount
  std::uint32_t largestVertexCount = 0;
  std::uint64_t totalFaces = 0;

  // The diagonal of the box of the mesh's finite corners (0 when there are none), and the
  // absolute coverage tolerance: settings.tolerance * diagonal, in model units.
  double diagonal = 0.0;
  double tolerance = 0.0;

  // Surface coverage: samples drawn on the mesh's triangles in proportion to their area (a fixed
  // low-discrepancy sequence; triangles with a non-finite corner or zero area get none), and the
  // share of them covered: inside some measured hull (for a convex hull; a flat one has no
  // inside) or within tolerance of one of its triangles (Euclidean distance; never less than
  // 2^-40 of the hull's largest coordinate, so that points on it, computed with rounding, count).
  // Shares are 0 when there is nothing to count.
  std::uint32_t surfaceSamples = 0;
  std::uint32_t surfaceSamplesCovered = 0;
  double surfaceCoverage = 0.0;  // 0..1
  // The same test for the mesh's distinct finite corners (0.0 equals -0.0).
  std::uint32_t meshVertices = 0;
  std::uint32_t meshVerticesCovered = 0;
  double vertexCoverage = 0.0;  // 0..1

  bool closed = false;  // IsClosedSurface(mesh)

  // Closed mesh only (all 0 otherwise), in cubed model units. The solid is the set of points
  // that an odd number of mesh triangles lie above, and a hull's inside is found the same way
  // from its own triangles (for a closed convex hull wound outward: the hull). The union is that
  // of the measured hulls that are not flat. solidVolume is the signed-volume sum over the
  // triangles in double: the solid's volume up to rounding (about 1e-15 relative) when the mesh
  // is wound outward and does not cross itself; negative when wound inward.
  double solidVolume = 0.0;
  // Estimates on a grid of cubic cells of side cellSize over the box of mesh and hulls: each
  // column of cells is measured exactly along one vertical line through it. Each estimate lies
  // within its error of the exact value: the error is the volume of the cells that a triangle
  // of the mesh or of a hull meets and where the quantity is not settled by one hull holding
  // the whole cell; a guaranteed bound (up to rounding of the coordinates), not a statistical
  // one. Where hulls meet along a shared face the cells beside it count as unsettled, so tight
  // decompositions get wider errors than their volumes would suggest.
  double intersectionVolume = 0.0;  // solid and union
  double excessVolume = 0.0;        // union outside the solid
  double missingVolume = 0.0;       // solid outside the union
  double intersectionError = 0.0;
  double excessError = 0.0;
  double missingError = 0.0;
  // intersection / (solidVolume + excess), 0 when solidVolume is not positive; iouLow and
  // iouHigh bound the exact value given the errors above (within 0..1, around iou).
  double iou = 0.0;
  double iouLow = 0.0;
  double iouHigh = 0.0;
  double cellSize = 0.0;
  std::uint32_t gridCells[3] = {0, 0, 0};  // cells along x, y, z

  // Open mesh only (0 otherwise): samples drawn on the measured hulls' triangles in proportion
  // to their area (the same sequence), and the largest and mean distance from them to the
  // nearest point of the mesh's finite triangles, as shares of diagonal. Sampled, so
  // largestDistance is at most the exact largest; 0 when there are no samples, no finite mesh
  // triangle or a zero diagonal.
  std::uint32_t distanceSamples = 0;
  double largestDistance = 0.0;
  double meanDistance = 0.0;
};

// Measures hulls against mesh. The mesh's corner order fixes each triangle's front side; a
// closed mesh should be wound outward. Each hull should be a closed convex surface wound
// outward; a hull that is not still gives a defined result. Any input, including empty lists
// and non-finite coordinates, gives a defined result.
cFidelity MeasureFidelity(const cTriangleList& mesh, const std::vector<cTriangleList>& hulls,
                          const cFidelitySettings& settings = {});
