// Storage for the arrays of the list cache.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

// A triangle's corner: where it is and the triangle's unit normal.
struct cLitVertex {
  float x, y, z;
  float nx, ny, nz;
};

// Blocks handed out front to back. When the model changes, the blocks are kept for the next
// generation's arrays rather than freed: after most commands the arrays are built again at about
// the same total size, and fresh memory costs a page fault for every page. Blocks that a frame
// with a model generation leaves unused are freed after it.
class cArrayArena {
 public:
  // count elements, or nullptr when there is no memory for them.
  cLitVertex* Allocate(std::size_t count);
  // Everything handed out is free again; the blocks stay.
  void Recycle();
  // Frees the blocks nothing is in.
  void Trim();

 private:
  static constexpr std::size_t kPage = std::size_t{2} << 20;
  static constexpr std::size_t kMaxCount = (SIZE_MAX - kPage) / sizeof(cLitVertex);
  struct cFree {
    void operator()(cLitVertex* p) const { std::free(p); }
  };
  struct cBlock {
    std::unique_ptr<cLitVertex[], cFree> data;
    std::size_t capacity = 0;
    std::size_t used = 0;
  };
  std::vector<cBlock> blocks;
  std::size_t current = 0;  // blocks before it are not looked at again until Recycle
};
