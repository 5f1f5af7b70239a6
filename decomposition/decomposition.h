// Splitting a mesh's surface into nearly convex pieces by region growing, the component that
// holds the pieces (and later their hulls), and the Decompose command.
//
// Threads: Decompose runs on the UI thread. The first run on a mesh computes on a platform
// thread (the worker); later runs compute on the UI thread inside Decompose. A run's message
// boxes ("triangles: %i", "objects: %i") block the thread that computes; while one is open on
// the UI thread the window keeps dispatching commands, so the caller must keep every command
// that could destroy or change the mesh away until Decompose returns (the desktop counts such
// runs in UiRunDepth). Epsilon may be changed meanwhile: it is read afresh at every comparison.
#pragma once

#include <atomic>
#include <cstdint>

#include "decomposition/region_growing.h"
#include "geometry/mesh.h"
#include "platform/platform.h"

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
  // only empties pieces. Epsilon is read at every plane comparison. The computation is
  // GrowPieces; every grown region draws a colour, in order, whether it is kept or not.
  void Apply(cMesh* mesh) override;
  void Draw() override;

  cMesh* source = nullptr;  // not owned
  cPieceList pieces;        // kept pieces of the last run, in creation order
  cHullList hulls;          // hull results of the last Convex Hull command
  // Non-zero while a worker thread (decomposition or hull) works on this component.
  std::atomic<cThreadHandle> worker{0};
};

// Makes growth's pieces the pieces of decomposition (after the ones it has), as Apply does: every
// grown region draws its colour (RandomColor(255)) in order, a dropped one-triangle region too.
void TakePieces(cDecomposition& decomposition, cGrowth&& growth);

// Tools > Decompose on a mesh: the first call attaches a new decomposition (and sets
// mesh.decomposition) and runs it on a worker thread (Busy is raised before the thread starts;
// the worker clears worker and lowers Busy as its last steps); later calls run the existing one
// on the calling thread; nothing happens while a worker computes on it. The mesh must outlive
// the worker.
void Decompose(cMesh& mesh);
