// Whole frames of the scene, drawn offscreen (an 800 x 600 pbuffer on Mesa's software
// rasteriser, as the render tests use) and finished with glFinish, so a frame's time includes
// the driver's vertex work and rasterisation. The mesh is a closed torus framed the way File >
// Open frames a model; the pieces case splits the same surface into lists of 1000 triangles.
//
//   build/bench/render_bench --benchmark_filter=Frame
//
// The first frame after a model change builds the cached arrays; BM_FirstFrame* time that
// frame, the others time frames that reuse them. The *Immediate cases draw every frame vertex by
// vertex (the test oracle), so their frame is also their first frame after a change.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>

#include "decomposition/decomposition.h"
#include "geometry/huge_pages.h"
#include "geometry/mesh.h"
#include "render/render.h"
#include "render/render_internal.h"
#include "tests/support/meshes.h"
#include "tests/support/offscreen_context.h"

namespace {

constexpr int kWidth = 800;
constexpr int kHeight = 600;

// The context lives for the whole program: made on first use.
bool MakeContext(std::string& error) {
  static std::unique_ptr<cOffscreenContext> context;
  static std::string contextError;
  if (!context) {
    KeepFreedMemoryForReuse();  // as the desktop program does
    setenv("LIBGL_ALWAYS_SOFTWARE", "1", 0);
    setenv("EGL_PLATFORM", "surfaceless", 0);
    context = std::make_unique<cOffscreenContext>();
    if (!context->Make(contextError, kWidth, kHeight)) contextError += " (no offscreen context)";
    InstallDrawHooks();
  }
  error = contextError;
  return contextError.empty();
}

// About n triangles: the torus has 2 * rings * sides of them, rings = 2.5 * sides.
cTriangleList TorusOf(std::int64_t n) {
  const int sides = static_cast<int>(std::lround(std::sqrt(static_cast<double>(n) / 5.0)));
  return Torus(sides * 5 / 2, sides, 4.0f, 1.5f, 0.4f);
}

// The view File > Open gives the model: centred on its box, moved back by its diagonal; the
// frames keep their arrays in cache.
cSceneView FramedView(cMesh& mesh, cDrawCache& cache) {
  cSceneView view;
  view.mesh = &mesh;
  view.cache = &cache;
  view.offset = GetCenter(mesh.box);
  const float distance = static_cast<float>(Length(mesh.box.max - mesh.box.min));
  view.eye = cVec3(0.0f, 0.3f * distance, 0.95f * distance);
  SetViewport(kWidth, kHeight);
  ApplyView(view.eye, kWidth, kHeight, 1.0, 1000.0);
  return view;
}

std::unique_ptr<cMesh> MeshOf(std::int64_t n) {
  auto mesh = std::make_unique<cMesh>();
  mesh->triangles = TorusOf(n);
  mesh->box = ComputeBoundBox(mesh->triangles);
  return mesh;
}

// Splits the mesh's triangles into pieces of per triangles under a decomposition.
void SplitIntoPieces(cMesh& mesh, std::size_t per = 1000) {
  auto owned = std::make_unique<cDecomposition>();
  cDecomposition& decomposition = *owned;
  mesh.components.push_back(std::move(owned));
  mesh.decomposition = &decomposition;
  for (std::size_t first = 0; first < mesh.triangles.size(); first += per) {
    auto piece = std::make_unique<cConvexPiece>();
    const std::size_t last = std::min(mesh.triangles.size(), first + per);
    piece->triangles.assign(mesh.triangles.begin() + static_cast<std::ptrdiff_t>(first),
                            mesh.triangles.begin() + static_cast<std::ptrdiff_t>(last));
    piece->box = ComputeBoundBox(piece->triangles);
    decomposition.pieces.push_back(std::move(piece));
  }
}

void Frames(benchmark::State& state, bool pieces, bool normals, cListDrawing drawing) {
  std::string error;
  if (!MakeContext(error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  std::unique_ptr<cMesh> mesh = MeshOf(state.range(0));
  if (pieces) SplitIntoPieces(*mesh);
  cDrawCache cache;
  cSceneView view = FramedView(*mesh, cache);
  view.showNormals = normals;
  view.modelGeneration = 1;
  SetListDrawing(cache, drawing);
  DrawScene(view);  // builds the cache
  for (auto _ : state) DrawScene(view);
  // Chunks of cached triangles left out because the GL culls all of them.
  state.counters["skipped"] = static_cast<double>(SkippedChunkCount(cache));
  state.counters["triangles"] = static_cast<double>(mesh->triangles.size());
}

void BM_FrameMesh(benchmark::State& state) {
  Frames(state, false, false, cListDrawing::Cached);
}
void BM_FramePieces(benchmark::State& state) {
  Frames(state, true, false, cListDrawing::Cached);
}
// From the arrays without leaving out the chunks the GL culls anyway.
void BM_FrameMeshWhole(benchmark::State& state) {
  Frames(state, false, false, cListDrawing::CachedWhole);
}
void BM_FrameMeshNormals(benchmark::State& state) {
  Frames(state, false, true, cListDrawing::Cached);
}
// The same frames vertex by vertex, as every frame was drawn before the cache.
void BM_FrameMeshImmediate(benchmark::State& state) {
  Frames(state, false, false, cListDrawing::Immediate);
}
void BM_FramePiecesImmediate(benchmark::State& state) {
  Frames(state, true, false, cListDrawing::Immediate);
}
void BM_FrameMeshNormalsImmediate(benchmark::State& state) {
  Frames(state, false, true, cListDrawing::Immediate);
}

// A model change before every frame: the frame rebuilds what it draws, in the memory the
// arrays of the model before had, or (cold) in memory freshly taken from the system, as after
// opening a model larger than any before.
void FirstFrames(benchmark::State& state, bool pieces, bool cold = false) {
  std::string error;
  if (!MakeContext(error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  std::unique_ptr<cMesh> mesh = MeshOf(state.range(0));
  if (pieces) SplitIntoPieces(*mesh);
  cDrawCache cache;
  cSceneView view = FramedView(*mesh, cache);
  for (auto _ : state) {
    if (cold) cache.Release();
    ++view.modelGeneration;
    DrawScene(view);
  }
  state.counters["triangles"] = static_cast<double>(mesh->triangles.size());
}
void BM_FirstFrame(benchmark::State& state) {
  FirstFrames(state, false);
}
void BM_FirstFramePieces(benchmark::State& state) {
  FirstFrames(state, true);
}
void BM_FirstFrameCold(benchmark::State& state) {
  FirstFrames(state, false, true);
}
void BM_FirstFramePiecesCold(benchmark::State& state) {
  FirstFrames(state, true, true);
}

// What a frame costs apart from the triangles: as many lists as BM_FramePieces draws at
// range(0) triangles (1000), of one triangle each that covers no pixel. An upper bound on the
// program's own time per frame at that list count (the scene walk, the cache look-ups, the GL
// calls' own overhead, Mesa's work for each draw call).
void BM_FrameOverhead(benchmark::State& state) {
  std::string error;
  if (!MakeContext(error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  std::unique_ptr<cMesh> mesh = MeshOf(state.range(0));
  cDrawCache cache;
  cSceneView view = FramedView(*mesh, cache);
  mesh->triangles.resize(static_cast<std::size_t>(state.range(0)) / 1000);
  for (cTriangle& t : mesh->triangles) t = cTriangle(t.vertex[0], t.vertex[0], t.vertex[0]);
  SplitIntoPieces(*mesh, 1);
  view.modelGeneration = 1;
  DrawScene(view);
  for (auto _ : state) DrawScene(view);
  state.counters["lists"] = static_cast<double>(mesh->decomposition->pieces.size());
}

BENCHMARK(BM_FrameOverhead)->Arg(1000000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FrameMesh)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FramePieces)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FrameMeshWhole)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FrameMeshNormals)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FrameMeshImmediate)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FramePiecesImmediate)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FrameMeshNormalsImmediate)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FirstFrame)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FirstFramePieces)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FirstFrameCold)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FirstFramePiecesCold)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace
