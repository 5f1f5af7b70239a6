// The frame DrawScene is drawing, as the components' Draw operations (which take no arguments)
// see it.
#pragma once

#include <cstdint>

#include "culling_internal.h"
#include "list_cache_internal.h"

struct cFrame {
  bool showBoundBox = false;
  bool showNormals = false;
  // The model generation whose lists the frame draws from the cache; 0: everything is drawn
  // directly (no cache given, or a model that may be changing).
  std::uint64_t generation = 0;
  cDrawCache::cState* cache = nullptr;  // set whenever generation is not 0
  cCullFrame cull;                      // inactive unless chunks may be left out
};

// The frame in progress, or null outside DrawScene (where every view flag counts as off).
// UI thread only, like all drawing.
const cFrame* CurrentFrame();
