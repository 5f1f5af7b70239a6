// Convex hulls of the pieces: the result component, its constructions, and the Convex Hull
// command with its worker.
//
// Two constructions. cHullResult::Build and AddPoint are the original incremental
// (beneath-beyond) construction, kept as they are: a seed tetrahedron, then one step per point,
// nothing checked or repaired afterwards. What the program runs for every piece, in the Convex
// Hull command and in the batch tool alike, is BuildClosedHull (hull_construction.h), which
// cHullResult::BuildClosed wraps: the same incremental construction, checked for a closed surface
// after every step and against the points at the end, with the exact-predicate construction of
// sound_hull.h in its place whenever a check fails.
//
// Threads: StartConvexHull runs on the UI thread; ConvexHullWorker runs on the worker thread it
// starts, and so does the construction it runs for every piece. The worker's one message box
// ("Convex hull completed...") blocks only the worker; while it is open the UI thread keeps
// drawing and dispatching commands, and may re-enter anything here except on this decomposition:
// its worker handle is non-zero until just before the box opens, and Busy stays raised until the
// box is closed, so the command's guards keep every command away from the mesh meanwhile.
#pragma once

#include <string>

#include "geometry/mesh.h"
#include "hull/fidelity.h"
#include "hull/fit.h"
#include "hull/hull_construction.h"

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

  // The original construction. Builds the hull of points (at least four, pairwise distinct) into
  // faces: a seed tetrahedron, then one AddPoint per remaining point. Removes the fourth seed
  // corner from points when one clears SeedTolerance. Fewer than four points leave faces empty.
  void Build(cPointList& points);

  // The hull of points as Build makes it, kept only when every step leaves faces closed (each
  // directed edge once, its reverse once), the result is not wound inward and holds every point
  // of the list to VisibleTolerance per unit of the list's largest extent. Otherwise faces is the
  // hull built with exact orientation tests (sound_hull.h): closed, wound outward, convex, made
  // of the finite points only. box, the removal of the fourth seed corner, currentPoint and
  // ready end as Build leaves them. The construction the program runs (through BuildClosedHull).
  void BuildClosed(cPointList& points);

  // One step of the original construction. Adds q: removes the faces it sees (farther than
  // VisibleTolerance in front) and closes the hole with a fan of new faces from q.
  void AddPoint(cVec3 q);

  cTriangleList faces;  // wound so that Normal points outward
  cColor color;
  // Faces removed in the step in progress, drawn in red. The construction keeps the faces it
  // removes to itself, so this stays empty; kept for the frames, like ready.
  cTriangleList visibleFaces;
  cVec3 currentPoint;  // point of the latest step
  cBoundBox box;       // box of the points given to Build
  bool ready = true;   // false only while a step empties visibleFaces
};

// Owns hull (made with new: a cHullResult or a class derived from it) as an entry of a cHullList.
inline cHullPointer OwnHull(cHullResult* hull) {
  return cHullPointer(hull, cHullDeleter{[](cHullResult* owned) { delete owned; }});
}

// Appends a new hull result (its colour drawn now) holding shape to decomposition.hulls.
cHullResult& AppendHull(cDecomposition& decomposition, cHullShape&& shape);

// Tools > Convex Hull on a decomposition that no worker uses: destroys its earlier hull results
// and, when it has pieces, raises Busy and starts ConvexHullWorker on a platform thread (its
// handle in decomposition.worker). The decomposition must outlive the worker; the callers'
// guards see to that.
void StartConvexHull(cDecomposition& decomposition);

// Tools > Fit Hulls... on a mesh that no worker uses: attaches a decomposition when the mesh has
// none, destroys its pieces and hull results, raises Busy and starts FitHullsWorker on a platform
// thread (its handle in decomposition.worker). The mesh must outlive the worker.
void StartFitHulls(cMesh& mesh, const cFitSettings& settings);

// Body of the Fit Hulls worker: FitHulls on the mesh's triangles; every cluster becomes a piece
// and every hull a hull result (colours drawn in that order); then clears worker, shows what was
// made and how well it stands for the mesh (caption "message"), and lowers Busy last.
void FitHullsWorker(cDecomposition& decomposition, const cFitSettings& settings);

// Appends fit's clusters to decomposition's pieces (each drawing its colour), then its hulls to
// its hull results (each drawing its colour), in order: hull i stands for piece i.
void TakeFit(cDecomposition& decomposition, cFit&& fit);

// The text of that box: the hulls made, and on a second line how well they stand for the mesh
// (as measured: the intersection over union with a closed mesh's solid, or how far the hulls'
// surfaces stray from an open one; the share of the surface inside).
std::string FitSummary(const cDecomposition& decomposition, std::size_t startPieces,
                       const cFidelity& fidelity);

// Body of the Convex Hull worker thread: appends a hull result to decomposition.hulls for every
// leaf piece with at least four distinct corners (pieces in order, children depth first), Smooth
// read afresh for every top-level piece; then clears worker, shows "Convex hull completed..."
// (caption "message") and lowers Busy as its very last step.
void ConvexHullWorker(cDecomposition& decomposition);
