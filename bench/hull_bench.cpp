// The incremental hull over point sets of growing size. Every added point rescans all current
// faces, so the cost grows with points times faces: points on a sphere (all of them corners)
// are the hard case, points in a ball (most of them inside) the mild one.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>

#include "hull/hull.h"
#include "hull/hull_internal.h"

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

void Build(benchmark::State& state, bool onSphere) {
  const cPointList points = RandomPoints(onSphere, static_cast<int>(state.range(0)));
  std::size_t faces = 0;
  for (auto _ : state) {
    cHullResult hull;
    cPointList sample = points;  // Build removes the fourth seed corner
    hull.Build(sample);
    faces = hull.faces.size();
    benchmark::DoNotOptimize(hull.faces.data());
  }
  state.counters["faces"] = static_cast<double>(faces);
  state.SetComplexityN(state.range(0));
}

void BM_BuildSpherePoints(benchmark::State& state) {
  Build(state, true);
}
void BM_BuildBallPoints(benchmark::State& state) {
  Build(state, false);
}

BENCHMARK(BM_BuildSpherePoints)
    ->RangeMultiplier(4)
    ->Range(64, 4096)
    ->Unit(benchmark::kMicrosecond)
    ->Complexity();
BENCHMARK(BM_BuildBallPoints)
    ->RangeMultiplier(4)
    ->Range(64, 16384)
    ->Unit(benchmark::kMicrosecond)
    ->Complexity();

// Distinct-point collection and sampling of one piece, as the worker does it per leaf.
void BM_CollectDistinctPoints(benchmark::State& state) {
  const cPointList points = RandomPoints(true, static_cast<int>(state.range(0)));
  cTriangleList triangles;
  for (std::size_t i = 0; i + 2 < points.size(); ++i)
    triangles.emplace_back(points[i], points[i + 1], points[i + 2]);
  for (auto _ : state) {
    cPointList distinct = CollectDistinctPoints(triangles);
    benchmark::DoNotOptimize(distinct.data());
  }
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_CollectDistinctPoints)
    ->RangeMultiplier(4)
    ->Range(64, 4096)
    ->Unit(benchmark::kMicrosecond)
    ->Complexity();

}  // namespace
