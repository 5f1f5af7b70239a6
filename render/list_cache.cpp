#include "list_cache_internal.h"

#include <GL/gl.h>

#include <algorithm>
#include <memory>

#include "frame_internal.h"
#include "primitives_internal.h"

namespace {

// The triangles' corners with their unit normals, as DrawTriangleList sends them.
void BuildTriangleArray(const cTriangleList& list, cLitVertex* out) {
  for (const cTriangle& t : list) {
    const cVec3 u = UnitNormal(t);
    for (const cVec3& p : t.vertex) *out++ = cLitVertex{p.x, p.y, p.z, u.x, u.y, u.z};
  }
}

// Whether the entry holds arrays for the list as it is now; builds them if not. False when
// there is no memory for them.
bool PrepareEntry(cCachedList& entry, const cTriangleList& list, cArrayArena& arena) {
  if (entry.triangles != nullptr && entry.data == list.data() && entry.size == list.size())
    return true;
  // A list changed against the generation's promise leaves its old arrays unused until the
  // next model change.
  entry.triangles = arena.Allocate(list.size() * 3);
  if (entry.triangles == nullptr) return false;
  BuildTriangleArray(list, entry.triangles);
  BuildChunks(list, entry.chunks);
  entry.lastNormal = UnitNormal(list.back());
  entry.data = list.data();
  entry.size = list.size();
  return true;
}

// Draws the list's triangles from the entry's arrays in the list's colour, in the list's order,
// leaving out the chunks the frame's culling would cull whole (counted in skipped).
// Leaves the current colour white and the current normal the last triangle's, as the direct
// calls do.
void DrawEntry(const cCachedList& entry, float r, float g, float b, const cCullFrame& cull,
               std::size_t& skipped) {
  glPushClientAttrib(GL_CLIENT_VERTEX_ARRAY_BIT);
  glEnableClientState(GL_VERTEX_ARRAY);
  glEnableClientState(GL_NORMAL_ARRAY);
  glVertexPointer(3, GL_FLOAT, sizeof(cLitVertex), &entry.triangles->x);
  glNormalPointer(GL_FLOAT, sizeof(cLitVertex), &entry.triangles->nx);
  glColor3f(r, g, b);
  if (!cull.active) {
    glDrawArrays(GL_TRIANGLES, 0, static_cast<GLsizei>(3 * entry.size));
  } else {
    // Runs of chunks not wholly culled, in the list's order.
    std::size_t runStart = 0;
    auto drawRun = [&](std::size_t end) {
      const std::size_t first = runStart * kChunkTriangles;
      const std::size_t last = std::min(entry.size, end * kChunkTriangles);
      if (last > first)
        glDrawArrays(GL_TRIANGLES, static_cast<GLint>(3 * first),
                     static_cast<GLsizei>(3 * (last - first)));
    };
    for (std::size_t i = 0; i < entry.chunks.size(); ++i) {
      if (!ChunkCulled(entry.chunks[i], cull)) continue;
      ++skipped;
      drawRun(i);
      runStart = i + 1;
    }
    drawRun(entry.chunks.size());
  }
  glPopClientAttrib();
  // Drawing from arrays leaves the current normal undefined.
  glColor3f(1.0f, 1.0f, 1.0f);
  glNormal3f(entry.lastNormal.x, entry.lastNormal.y, entry.lastNormal.z);
}

}  // namespace

void DropCachedLists(cDrawCache::cState& cache) {
  cache.entries.clear();
  cache.arena.Recycle();
  cache.generation = 0;
}

void DrawFrameList(const cTriangleList& list, float r, float g, float b) {
  const cFrame* frame = CurrentFrame();
  if (frame == nullptr || frame->generation == 0 ||
      frame->cache->drawing == cListDrawing::Immediate || list.empty() || frame->showNormals) {
    DrawTriangleList(list, r, g, b);
    return;
  }
  cDrawCache::cState& cache = *frame->cache;
  const cListKey key{&list, r, g, b};
  cCachedList& entry = cache.entries[key];
  if (!PrepareEntry(entry, list, cache.arena)) {  // no memory: drawn directly, as without the cache
    cache.entries.erase(key);
    DrawTriangleList(list, r, g, b);
    return;
  }
  DrawEntry(entry, r, g, b, frame->cull, cache.skippedChunks);
}

cDrawCache::cDrawCache() : state(std::make_unique<cState>()) {}

cDrawCache::~cDrawCache() = default;

void cDrawCache::Release() {
  DropCachedLists(*state);
  state->arena.Trim();
}

void SetListDrawing(cDrawCache& cache, cListDrawing mode) {
  cache.State().drawing = mode;
}

std::size_t CachedListCount(const cDrawCache& cache) {
  return cache.State().entries.size();
}

std::size_t SkippedChunkCount(const cDrawCache& cache) {
  return cache.State().skippedChunks;
}
