// The list cache: for each triangle list drawn, vertex arrays that draw the same pixels as
// DrawTriangleList's calls for it. Valid for one model generation (see cSceneView): within it no
// list changes, so a list's address names its contents. UI thread only, like all drawing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <tuple>
#include <vector>

#include "render/render.h"

#include "culling_internal.h"
#include "list_arena_internal.h"
#include "render_internal.h"

struct cListKey {
  const cTriangleList* list;
  float r, g, b;
  bool operator<(const cListKey& o) const {
    return std::tie(list, r, g, b) < std::tie(o.list, o.r, o.g, o.b);
  }
};

struct cCachedList {
  cLitVertex* triangles = nullptr;  // 3 per triangle, in the cache's arena
  std::vector<cChunk> chunks;       // kChunkTriangles triangles each, the last one the rest
  cVec3 lastNormal;                 // the current normal the direct calls leave
  // What the list looked like when its arrays were built: a list that the model changed
  // against the generation's promise is built again when its storage or length moved.
  const cTriangle* data = nullptr;
  std::size_t size = 0;
};

// What a cDrawCache holds.
struct cDrawCache::cState {
  std::uint64_t generation = 0;  // of the frames that built the entries; 0: none
  std::map<cListKey, cCachedList> entries;
  cArrayArena arena;  // the entries' arrays
  cListDrawing drawing = cListDrawing::Cached;
  std::size_t skippedChunks = 0;  // in the frame drawn last
};

// Forgets every cached list; their memory is kept for the next ones.
void DropCachedLists(cDrawCache::cState& cache);

// DrawTriangleList for the components inside a frame: from the cache while the frame has a
// model generation.
// Frames with normal lines are drawn directly. Their lines cannot be batched apart from the
// triangles: a line lying in the plane of a later triangle ties with it in depth, and the
// direct calls, which draw that triangle after the line, show the triangle there. Drawn from
// arrays triangle by triangle, each before its line, they are slower than the direct calls.
void DrawFrameList(const cTriangleList& list, float r, float g, float b);
