// Region growing over closed meshes of growing size. The scan of the remaining work list makes a
// run quadratic in the triangle count; these numbers are the reference for a faster neighbour
// search. The default platform shows no message boxes, so only the computation is timed.
#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "decomposition/decomposition.h"
#include "geometry/mesh.h"
#include "state/state.h"
#include "tests/support/meshes.h"

namespace {

// range(0): rings; the tube gets 2/5 as many sides, so the triangle count is 0.8 * rings^2
// (500, 2000, 8000) and every size keeps the same shape.
void BM_DecomposeBulgingTorus(benchmark::State& state) {
  Epsilon = 0.01;
  cMesh mesh;
  const int rings = static_cast<int>(state.range(0));
  mesh.triangles = BulgingTorus(rings, rings * 2 / 5);
  cDecomposition decomposition;
  for (auto _ : state) {
    decomposition.Apply(&mesh);
    benchmark::DoNotOptimize(decomposition.pieces.data());
  }
  state.counters["triangles"] = static_cast<double>(mesh.triangles.size());
  state.counters["pieces"] = static_cast<double>(decomposition.pieces.size());
  state.SetComplexityN(static_cast<std::int64_t>(mesh.triangles.size()));
}
BENCHMARK(BM_DecomposeBulgingTorus)
    ->Arg(25)
    ->Arg(50)
    ->Arg(100)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();

}  // namespace
