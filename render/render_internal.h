// For the renderer's tests and benchmarks: the per-frame list cache can be bypassed, so that the
// same frame can be drawn both ways and compared.
#pragma once

#include <cstddef>

enum class cListDrawing {
  Cached,       // from arrays the first frame of a model generation built (the default)
  Immediate,    // vertex by vertex in every frame
  CachedWhole,  // from the arrays, leaving out no chunk (to measure what leaving out saves)
};
void SetListDrawing(cListDrawing mode);

// How many lists the cache holds now (for tests of when it is rebuilt).
std::size_t CachedListCount();

// How many chunks of cached triangles the frame drawn last left out because the GL would have
// culled every triangle in them (for tests that the path is taken).
std::size_t SkippedChunkCount();
