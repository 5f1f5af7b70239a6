#include "neighbour_index.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>

#include "decomposition_internal.h"

namespace {

// The bits of a coordinate with -0 taken as 0, so that equal bits mean equal floats.
std::uint32_t CoordinateBits(float value) {
  if (value == 0.0f) value = 0.0f;
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

struct cPointKey {
  std::uint32_t x, y, z;
  bool operator==(const cPointKey&) const = default;
};

std::uint64_t Hash(const cPointKey& k) {
  std::uint64_t h = (static_cast<std::uint64_t>(k.x) << 32 | k.y) * 0x9e3779b97f4a7c15ull;
  h ^= (h >> 29) ^ (static_cast<std::uint64_t>(k.z) * 0xc2b2ae3d27d4eb4full);
  h *= 0xff51afd7ed558ccdull;
  return h ^ (h >> 32);
}

// Numbers the distinct points (exact float equality per axis) in order of first appearance.
class cPointNumbers {
 public:
  explicit cPointNumbers(std::size_t expected) {
    std::size_t capacity = 1024;
    while (capacity < 2 * expected) capacity *= 2;
    slots.assign(capacity, 0);
  }

  std::uint32_t Number(const cVec3& v) {
    const cPointKey key{CoordinateBits(v.x), CoordinateBits(v.y), CoordinateBits(v.z)};
    std::size_t mask = slots.size() - 1;
    for (std::size_t at = Hash(key) & mask;; at = (at + 1) & mask) {
      const std::uint32_t slot = slots[at];
      if (slot == 0) break;
      if (keys[slot - 1] == key) return slot - 1;
    }
    keys.push_back(key);
    if (2 * keys.size() > slots.size()) Grow();
    Place(static_cast<std::uint32_t>(keys.size()));
    return static_cast<std::uint32_t>(keys.size() - 1);
  }

  std::size_t Count() const { return keys.size(); }

 private:
  void Place(std::uint32_t slot) {
    const std::size_t mask = slots.size() - 1;
    std::size_t at = Hash(keys[slot - 1]) & mask;
    while (slots[at] != 0) at = (at + 1) & mask;
    slots[at] = slot;
  }
  void Grow() {
    slots.assign(slots.size() * 2, 0);
    for (std::uint32_t slot = 1; slot < keys.size(); ++slot) Place(slot);
  }

  std::vector<std::uint32_t> slots;  // 0 empty, else point number + 1
  std::vector<cPointKey> keys;
};

bool HasNaN(const cVec3& v) {
  return std::isnan(v.x) || std::isnan(v.y) || std::isnan(v.z);
}

}  // namespace

cNeighbourIndex::cNeighbourIndex(const cTriangleList& triangles)
    : triangles(triangles), remaining(triangles.size()) {
  const std::size_t n = triangles.size();
  assert(n < 0xffffffffu / 3);
  corner.resize(3 * n);
  cPointNumbers numbers(n);
  for (std::size_t t = 0; t < n; ++t) {
    for (int k = 0; k < 3; ++k) {
      const cVec3& v = triangles[t].vertex[k];
      // A NaN coordinate makes a corner equal to nothing, itself included.
      corner[3 * t + k] = HasNaN(v) ? kNoPoint : numbers.Number(v);
    }
  }

  // Lists per point, each triangle once per distinct point, in triangle order.
  const std::size_t points = numbers.Count();
  first.assign(points + 1, 0);
  for (std::size_t t = 0; t < n; ++t) {
    const std::uint32_t* c = &corner[3 * t];
    for (int k = 0; k < 3; ++k) {
      if (c[k] == kNoPoint) continue;
      if ((k > 0 && c[k] == c[0]) || (k > 1 && c[k] == c[1])) {
        repeated.push_back(static_cast<std::uint64_t>(c[k]) << 32 | t);
        continue;
      }
      ++first[c[k] + 1];
    }
  }
  for (std::size_t p = 0; p < points; ++p) first[p + 1] += first[p];
  last.assign(first.begin(), first.end() - 1);
  entries.resize(first[points]);
  for (std::size_t t = 0; t < n; ++t) {
    const std::uint32_t* c = &corner[3 * t];
    for (int k = 0; k < 3; ++k) {
      if (c[k] == kNoPoint || (k > 0 && c[k] == c[0]) || (k > 1 && c[k] == c[1])) continue;
      entries[last[c[k]]++] = static_cast<std::uint32_t>(t);
    }
  }
  // A triangle with all three corners alike was added twice; once is enough.
  std::sort(repeated.begin(), repeated.end());
  repeated.erase(std::unique(repeated.begin(), repeated.end()), repeated.end());

  waiting.assign(n, 1);
  seen.assign(n, 0);
}

int cNeighbourIndex::CornerPairs(std::uint32_t a, std::uint32_t b) const {
  const std::uint32_t* p = &corner[3 * a];
  const std::uint32_t* t = &corner[3 * b];
  int pairs = 0;
  for (int i = 0; i < 3; ++i) {
    if (p[i] == kNoPoint) continue;
    pairs += (p[i] == t[0]) + (p[i] == t[1]) + (p[i] == t[2]);
  }
  return pairs;
}

void cNeighbourIndex::Consider(std::uint32_t t, std::uint32_t p) {
  if (seen[t] == stamp) return;
  seen[t] = stamp;
  if (CornerPairs(p, t) >= 2) candidates.push_back(t);
}

void cNeighbourIndex::Gather(std::uint32_t point, std::uint32_t p) {
  std::uint32_t keep = first[point];
  for (std::uint32_t at = first[point]; at < last[point]; ++at) {
    const std::uint32_t t = entries[at];
    if (!waiting[t]) continue;
    entries[keep++] = t;
    Consider(t, p);
  }
  last[point] = keep;
}

void cNeighbourIndex::TakeSeed(cTriangleList& piece) {
  assert(piece.empty() && remaining > 0);
  while (!waiting[nextSeed]) ++nextSeed;
  waiting[nextSeed] = 0;
  --remaining;
  piece.push_back(triangles[nextSeed]);
  pieceTriangles.assign(1, static_cast<std::uint32_t>(nextSeed));
}

void cNeighbourIndex::Expand(cTriangleList& piece, std::size_t i, cEpsilonReader readEpsilon) {
  assert(piece.size() == pieceTriangles.size() && i < piece.size());
  const std::uint32_t p = pieceTriangles[i];
  if (++stamp == 0) {  // wrapped: forget every earlier gathering
    std::fill(seen.begin(), seen.end(), 0);
    stamp = 1;
  }
  seen[p] = stamp;  // not waiting anyway
  candidates.clear();

  // p's distinct points and how often each is a corner of p.
  const std::uint32_t* c = &corner[3 * p];
  std::uint32_t point[3];
  int times[3];
  int distinct = 0;
  for (int k = 0; k < 3; ++k) {
    if (c[k] == kNoPoint) continue;
    int d = 0;
    while (d < distinct && point[d] != c[k]) ++d;
    if (d == distinct) {
      point[distinct] = c[k];
      times[distinct++] = 0;
    }
    ++times[d];
  }

  // Two corner pairs come from two distinct shared points, from a point p has twice, or from a
  // point the other triangle has twice.
  // Two distinct points out of p's two or three lie in all but at most one of their lists, so
  // the shortest lists but one cover them.
  if (distinct >= 2) {
    int longest = 0;
    for (int d = 1; d < distinct; ++d) {
      if (last[point[d]] - first[point[d]] > last[point[longest]] - first[point[longest]])
        longest = d;
    }
    for (int d = 0; d < distinct; ++d) {
      if (d != longest) Gather(point[d], p);
    }
  }
  for (int d = 0; d < distinct; ++d) {
    if (times[d] >= 2) Gather(point[d], p);
    const std::uint64_t from = static_cast<std::uint64_t>(point[d]) << 32;
    for (auto it = std::lower_bound(repeated.begin(), repeated.end(), from);
         it != repeated.end() && (*it >> 32) == point[d]; ++it) {
      const auto t = static_cast<std::uint32_t>(*it);
      if (waiting[t]) Consider(t, p);
    }
  }

  // Work-list order is triangle order: the list only ever loses triangles.
  std::sort(candidates.begin(), candidates.end());
  for (const std::uint32_t t : candidates) {
    if (!PassesPlaneTest(triangles[p], triangles[t], readEpsilon())) continue;
    waiting[t] = 0;
    --remaining;
    piece.push_back(triangles[t]);
    pieceTriangles.push_back(t);
  }
}
