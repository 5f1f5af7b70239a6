// One run of the batch tool as a whole, owned: the mesh with its decomposition, the pieces and
// hulls the computations make, the messages and the colours, ready for the writers. The batch tool
// and the Python module both build their results here, so that the same triangles and settings
// give the same files.
//
// Colours: the batch tool has always drawn them from rand() with its default seed, in a fixed
// order (the mesh, then every grown region, dropped or kept, then every hull; in the fitting mode
// the mesh, every piece, every hull). A run here draws the same numbers in the same order from a
// generator of its own (cColorDraws), so its colours depend on nothing else the process does and
// runs on several threads at once give the same files as one after the other.
#pragma once

#include <stdlib.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "formats/export.h"
#include "geometry/mesh.h"
#include "geometry/progress.h"
#include "hull/fidelity.h"
#include "hull/fit.h"

// The numbers rand() gives in a process that never called srand(), from a state of its own
// (the C library's random_r, seeded 1 as rand() is until srand() is called).
class cColorDraws {
 public:
  cColorDraws();
  cColorDraws(const cColorDraws&) = delete;
  cColorDraws& operator=(const cColorDraws&) = delete;

  int Next();
  // Three draws % range, for red, green and blue in that order (RandomColor's order).
  cColor Color(int range);

 private:
  random_data data{};
  char state[128] = {};
};

struct cBatchSettings {
  double epsilon = 0.1;  // the plane tolerance, already derived from the mesh where it is
  float smooth = 0.1f;   // as the hulls use it
  bool hulls = true;     // false: stop after the pieces
  std::optional<cFitSettings> fit;  // the fitting mode instead of pieces and hulls
  bool fidelity = false;            // measure how well the hulls stand for the mesh
};

class cDecomposition;

class cBatchRun {
 public:
  cBatchRun();  // a mesh with a decomposition attached, as Tools > Decompose leaves it
  cBatchRun(const cBatchRun&) = delete;
  cBatchRun& operator=(const cBatchRun&) = delete;

  cMesh mesh;  // the caller sets its triangles and box before Run
  cDecomposition& decomposition;
  double epsilon = 0.1;  // as written in the JSON
  double smooth = 0.1;   // as given (the JSON shows it unclamped)
  std::vector<std::string> messages;
  std::optional<cFitRun> fit;
  std::optional<cFidelity> fidelity;
  std::size_t regions = 0;    // regions grown, pieces and dropped ones (not in the fitting mode)
  std::vector<bool> reduced;  // fitting mode: hull i was cut down to the vertex limit
  // The piece of every hull (outside the fitting mode, where hull i is piece i's).
  std::vector<std::size_t> hullPieces;
  bool cancelled = false;  // progress asked to stop: the run is incomplete and unpainted

  // The steps of the batch tool after reading: "triangles: N"; then either the fitting mode
  // ("pieces: N", "hulls: N") or, for a mesh with triangles, the pieces ("objects: N") and with
  // settings.hulls a hull for every piece with four distinct corners ("Convex hull
  // completed..." when there are pieces); the fidelity when asked; the colours. Every message is
  // kept in messages and handed to message (when set) as it comes. False when progress stopped
  // it.
  bool Run(const cBatchSettings& settings, const cProgress& progress,
           const std::function<void(const std::string&)>& message = {});

  // What WriteJson writes; valid while this run lives.
  cRunResult Written() const;

 private:
  void Paint(const std::vector<std::size_t>& pieceRegions);
};
