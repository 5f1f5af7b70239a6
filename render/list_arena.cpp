#include "list_arena_internal.h"

#include <algorithm>

#include "geometry/huge_pages.h"

cLitVertex* cArrayArena::Allocate(std::size_t count) {
  for (; current < blocks.size(); ++current) {
    cBlock& block = blocks[current];
    if (block.capacity - block.used >= count) {
      cLitVertex* out = block.data.get() + block.used;
      block.used += count;
      return out;
    }
  }
  if (count > kMaxCount) return nullptr;
  // Whole huge pages where the system gives them on request: a page fault for every 2 MB
  // rather than every 4 kB when the arrays are first written.
  const std::size_t bytes = (count * sizeof(cLitVertex) + kPage - 1) / kPage * kPage;
  auto* data = static_cast<cLitVertex*>(std::aligned_alloc(kPage, bytes));
  if (data == nullptr) return nullptr;
  AdviseHugePages(data, bytes);
  blocks.push_back(
      cBlock{std::unique_ptr<cLitVertex[], cFree>(data), bytes / sizeof(cLitVertex), count});
  return data;
}

void cArrayArena::Recycle() {
  for (cBlock& block : blocks) block.used = 0;
  current = 0;
}

void cArrayArena::Trim() {
  std::erase_if(blocks, [](const cBlock& block) { return block.used == 0; });
  current = std::min(current, blocks.size());
}
