// Convex hulls side by side with qconvex (Debian package qhull-bin) on the same point sets:
// points on a sphere (all of them corners) and in a ball (most of them inside), 1e3 to 1e5, and
// the sample of a generated 1M-triangle sphere mesh at Smooth 1.0. Each benchmark times the hull
// of one piece as the Convex Hull command builds it (BuildClosed: the incremental construction,
// replaced by the exact one where it would leave the surface open); once per benchmark it also
// runs qconvex on the same points written to a file and reports its own "CPU seconds to compute
// hull (after input)" as qconvex_ms and our time over it as ratio. qconvex_wall_ms is its whole
// run: process start, reading the text, the hull.
//
// Also timed: Build alone, the Convex Hull command's per-piece work on the big mesh at Smooth 1.0
// and 0.1, and the distinct-point collection.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>

#include "decomposition/decomposition.h"
#include "hull/hull.h"
#include "hull/hull_internal.h"
#include "tests/support/meshes.h"
#include "tests/support/qconvex.h"

namespace {

cPointList RandomPoints(bool onSphere, int count) {
  std::mt19937 g(12345u + static_cast<unsigned>(count));
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  cPointList points;
  while (static_cast<int>(points.size()) < count) {
    const double x = unit(g), y = unit(g), z = unit(g);
    const double l = std::sqrt(x * x + y * y + z * z);
    if (l > 1 || l < 1e-3) continue;
    const double r = onSphere ? 1000.0 : 1000.0 * std::cbrt((unit(g) + 1) / 2);
    points.emplace_back(static_cast<float>(x / l * r), static_cast<float>(y / l * r),
                        static_cast<float>(z / l * r));
  }
  return points;
}

// The large mesh: 1000 bands of 500 segments, 999,000 triangles, 499,002 points.
const cTriangleList& BigSphere() {
  static const cTriangleList triangles = UvSphere(1000, 500, 100.0f);
  return triangles;
}

// qconvex's compute time and whole wall time in seconds, or negative when it cannot run.
std::pair<double, double> QconvexTimes(const cPointList& points) {
  const cQconvexRun run = RunQconvex(points, "Ts", true);
  if (!run.started) return {-1, -1};
  double compute = -1;
  const char* key = "CPU seconds to compute hull (after input):";
  if (const char* at = std::strstr(run.output.c_str(), key))
    compute = std::atof(at + std::strlen(key));
  return {compute, run.seconds};
}

void Compare(benchmark::State& state, const cPointList& points) {
  std::size_t faces = 0;
  for (auto _ : state) {
    cHullResult hull;
    cPointList sample = points;  // the build removes the fourth seed corner
    hull.BuildClosed(sample);
    faces = hull.faces.size();
    benchmark::DoNotOptimize(hull.faces.data());
  }
  // Our processor time for one run, measured once more outside the loop for the ratio: the
  // machine may be shared, and qconvex reports processor time too.
  const std::clock_t start = std::clock();
  {
    cHullResult hull;
    cPointList sample = points;
    hull.BuildClosed(sample);
  }
  const double mine = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
  const auto [compute, wall] = QconvexTimes(points);
  state.counters["points"] = static_cast<double>(points.size());
  state.counters["faces"] = static_cast<double>(faces);
  state.counters["ours_cpu_ms"] = mine * 1e3;
  state.counters["qconvex_ms"] = compute * 1e3;
  state.counters["qconvex_wall_ms"] = wall * 1e3;
  state.counters["ratio"] = compute > 0 ? mine / compute : -1;
  if (compute < 0) state.SkipWithError("qconvex did not run: install qhull-bin");
}

void BM_SpherePoints(benchmark::State& state) {
  Compare(state, RandomPoints(true, static_cast<int>(state.range(0))));
}
void BM_BallPoints(benchmark::State& state) {
  Compare(state, RandomPoints(false, static_cast<int>(state.range(0))));
}
void BM_BigSphereMeshSample(benchmark::State& state) {
  Compare(state, CollectDistinctPoints(BigSphere()));
}
BENCHMARK(BM_SpherePoints)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BallPoints)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BigSphereMeshSample)->Iterations(2)->Unit(benchmark::kMillisecond);

// The incremental construction alone, on sets where it stays fast.
void BM_BuildBallPoints(benchmark::State& state) {
  const cPointList points = RandomPoints(false, static_cast<int>(state.range(0)));
  for (auto _ : state) {
    cHullResult hull;
    cPointList sample = points;
    hull.Build(sample);
    benchmark::DoNotOptimize(hull.faces.data());
  }
}
BENCHMARK(BM_BuildBallPoints)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

// The Convex Hull command's work on the big mesh as one piece: distinct points, sample, hull.
// range(0): Smooth in tenths.
void BM_ConvexHullCommandBigSphere(benchmark::State& state) {
  cConvexPiece piece;
  piece.triangles = BigSphere();
  const float smooth = static_cast<float>(state.range(0)) / 10.0f;
  for (auto _ : state) {
    cDecomposition decomposition;
    BuildPieceHull(decomposition, piece, smooth);
    benchmark::DoNotOptimize(decomposition.hulls.data());
  }
  state.counters["triangles"] = static_cast<double>(piece.triangles.size());
}
BENCHMARK(BM_ConvexHullCommandBigSphere)
    ->Arg(10)
    ->Arg(1)
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);

// Distinct-point collection of one piece.
void BM_CollectDistinctPoints(benchmark::State& state) {
  for (auto _ : state) {
    cPointList distinct = CollectDistinctPoints(BigSphere());
    benchmark::DoNotOptimize(distinct.data());
  }
}
BENCHMARK(BM_CollectDistinctPoints)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
