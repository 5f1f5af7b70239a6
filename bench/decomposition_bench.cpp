// Region growing, as Apply runs it (through the neighbour index), over the benchmark meshes and
// the samples at the default Epsilon 0.1; the literal scan of the work list, whose cost grows
// with the square of the triangle count, over the 10k meshes and the bulging torus for
// comparison. The default platform shows no message boxes, so only the computation is timed.
// Counters: triangles/s, pieces kept, and the growth of resident memory over one run (peak_MB:
// the work list, the index and the pieces).
#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "bench_files.h"
#include "decomposition/decomposition.h"
#include "decomposition/decomposition_internal.h"
#include "geometry/mesh.h"
#include "io/stl.h"
#include "tests/support/meshes.h"

namespace {

// The literal run: seeds from the front of the work list, every piece triangle expanded by a
// scan of the whole remaining list. Returns the number of pieces kept.
std::size_t DecomposeByScan(const cTriangleList& triangles) {
  cTriangleList work = triangles;
  std::size_t kept = 0;
  while (!work.empty()) {
    cTriangleList piece{work.front()};
    work.erase(work.begin());
    for (std::size_t i = 0; i < piece.size(); ++i) ExpandByScan(work, piece, i);
    kept += piece.size() > 1;
  }
  return kept;
}

void Decompose(benchmark::State& state, cMesh& mesh, bool byScan) {
  constexpr double kEpsilon = 0.1;
  std::size_t pieces = 0;
  for (auto _ : state) {
    if (byScan) {
      pieces = DecomposeByScan(mesh.triangles);
    } else {
      pieces = GrowPieces(mesh.triangles, kEpsilon).pieces.size();
    }
    benchmark::DoNotOptimize(pieces);
  }
  if (!byScan) {
    cPeakMemory peak;
    const cGrowth growth = GrowPieces(mesh.triangles, kEpsilon);
    state.counters["peak_MB"] = peak.GrowthMB();
  }
  const double n = static_cast<double>(mesh.triangles.size());
  state.counters["triangles/s"] =
      benchmark::Counter(n, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["triangles"] = n;
  state.counters["pieces"] = static_cast<double>(pieces);
}

const int registered = [] {
  for (cBenchShape shape : {cBenchShape::Scan, cBenchShape::Cad, cBenchShape::Soup}) {
    for (std::size_t count : BenchSizes()) {
      const std::string name = std::string(ShapeName(shape)) + "/" + SizeName(count);
      for (bool byScan : {false, true}) {
        if (byScan && count > 10000) continue;
        benchmark::RegisterBenchmark(
            ((byScan ? "BM_DecomposeByScan/" : "BM_Decompose/") + name).c_str(),
            [=](benchmark::State& s) {
              cMesh mesh;
              mesh.triangles = BenchMesh(shape, count);
              Decompose(s, mesh, byScan);
            })
            ->Unit(benchmark::kMillisecond);
      }
    }
  }
  for (const char* sample : {"gear.stl", "torus.stl"}) {
    benchmark::RegisterBenchmark((std::string("BM_Decompose/sample/") + sample).c_str(),
                                 [=](benchmark::State& s) {
                                   cMesh mesh;
                                   LoadStlFile(std::string(CD_SAMPLES) + "/" + sample, mesh);
                                   Decompose(s, mesh, false);
                                 })
        ->Unit(benchmark::kMillisecond);
  }
  return 0;
}();

// range(0): rings; the tube gets 2/5 as many sides, so the triangle count is 0.8 * rings^2
// (500, 2000, 8000) and every size keeps the same shape.
void BM_DecomposeBulgingTorus(benchmark::State& state) {
  const int rings = static_cast<int>(state.range(0));
  const cTriangleList triangles = BulgingTorus(rings, rings * 2 / 5);
  std::size_t pieces = 0;
  for (auto _ : state) {
    pieces = GrowPieces(triangles, 0.01).pieces.size();
    benchmark::DoNotOptimize(pieces);
  }
  state.counters["triangles"] = static_cast<double>(triangles.size());
  state.counters["pieces"] = static_cast<double>(pieces);
  state.SetComplexityN(static_cast<std::int64_t>(triangles.size()));
}
BENCHMARK(BM_DecomposeBulgingTorus)
    ->Arg(25)
    ->Arg(50)
    ->Arg(100)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();

// Many triangles on one edge. range(0): the triangle count; range(1): 0 for a book of leaves
// around the edge (about k * k / 136 plane tests, as the region growing asks for them: leaves
// that fail keep being tested by every leaf that joins), 1 for a stack of equal triangles (all
// join the first piece at its first step: the index's own work, near-linear). Counter
// plane_tests: the tests the region growing made.
void BM_DecomposeOneEdge(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  const bool stack = state.range(1) == 1;
  cTriangleList triangles;
  for (int i = 0; i < count; ++i) {
    const double angle = 2.0 * std::numbers::pi * i / count;
    triangles.emplace_back(cVec3(0, 0, 0), cVec3(1, 0, 0),
                           stack ? cVec3(0, 1, 0)
                                 : cVec3(0.5f, static_cast<float>(std::cos(angle)),
                                         static_cast<float>(std::sin(angle))));
  }
  static std::size_t tests = 0;
  std::size_t pieces = 0;
  for (auto _ : state) {
    tests = 0;
    pieces = GrowPieces(triangles, cEpsilonSource([] {
                          ++tests;
                          return 0.1;
                        }))
                 .pieces.size();
    benchmark::DoNotOptimize(pieces);
  }
  state.counters["triangles"] = count;
  state.counters["pieces"] = static_cast<double>(pieces);
  state.counters["plane_tests"] = static_cast<double>(tests);
  state.SetComplexityN(count);
}
BENCHMARK(BM_DecomposeOneEdge)
    ->ArgsProduct({{20000, 40000, 80000}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

}  // namespace
