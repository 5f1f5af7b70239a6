// Splitting a mesh's surface into nearly convex pieces by region growing, the component that
// holds the pieces (and later their hulls), and the worker thread of the first run.
#pragma once

#include <atomic>
#include <cstdint>

#include "geometry/mesh.h"
#include "platform/interface/platform.h"

constexpr std::uint32_t kDecompositionTypeId = 0x548f647a;

class cDecomposition : public cMeshComponent {
 public:
  cDecomposition();
  ~cDecomposition() override;
  cDecomposition(const cDecomposition&) = delete;
  cDecomposition& operator=(const cDecomposition&) = delete;

  std::uint32_t GetTypeId() override { return typeId; }

  // Replaces pieces with a decomposition of mesh's surface (hulls are left alone) and reports
  // "triangles: %i" and "objects: %i" in message boxes on the calling thread. A null mesh
  // only empties pieces. Epsilon is read at every plane comparison.
  void Apply(cMesh* mesh) override;
  void Draw() override;

  cMesh* source = nullptr;  // not owned
  cPieceList pieces;        // kept pieces of the last run, in creation order
  cComponentList hulls;     // hull results of the last Convex Hull command
  // Non-zero while a worker thread (decomposition or hull) works on this component.
  std::atomic<cThreadHandle> worker{0};
};

// True when at least two (corner of p, corner of t) pairs are exactly equal points.
bool SharesEdge(const cTriangle& p, const cTriangle& t);

// True when no corner of t lies more than epsilon in front of the plane of p (double
// precision; a distance equal to epsilon, or one that is not a number, passes).
bool PassesPlaneTest(const cTriangle& p, const cTriangle& t, double epsilon);

// The reference neighbour search: expands the piece triangle at position i of piece by scanning
// work in order and moving every neighbour that passes the plane test (against Epsilon as it is
// at each comparison) to the end of piece. A faster search must move the same triangles in the
// same order.
void ExpandByScan(cTriangleList& work, cTriangleList& piece, std::size_t i);

// Tools > Decompose on a mesh: the first call attaches a new decomposition and runs it on a
// worker thread (Busy is raised before the thread starts); later calls run the existing one on
// the calling thread; nothing happens while a worker computes on it.
void Decompose(cMesh& mesh);

// Body of the first run's worker thread: Apply, then clear worker, then lower Busy.
void DecomposeWorker(cDecomposition& component);
