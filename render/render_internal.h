// For the renderer's tests and benchmarks: a draw cache's list cache can be bypassed, so that the
// same frame can be drawn both ways and compared.
#pragma once

#include <cstddef>

class cDrawCache;

enum class cListDrawing {
  Cached,       // from arrays the first frame of a model generation built (the default)
  Immediate,    // vertex by vertex in every frame
  CachedWhole,  // from the arrays, leaving out no chunk (to measure what leaving out saves)
};
// How the frames given cache draw their lists from now on.
void SetListDrawing(cDrawCache& cache, cListDrawing mode);

// How many lists the cache holds now (for tests of when it is rebuilt).
std::size_t CachedListCount(const cDrawCache& cache);

// How many chunks of cached triangles the frame drawn last with the cache left out because the
// GL would have culled every triangle in them (for tests that the path is taken).
std::size_t SkippedChunkCount(const cDrawCache& cache);
