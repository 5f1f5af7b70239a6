#include "neighbour_index.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>

#include "decomposition_internal.h"
#include "geometry/huge_pages.h"
#include "geometry/point_key.h"

namespace {

// The entries of a point list whose triangles are loaded ahead of the step that walks the list.
constexpr std::uint32_t kPrefetchedEntries = 16;

// Normal, Length and Dot of geometry/vec3.cpp, written out here so that they are inlined into
// the loops below; every operation and its order is the same (the build contracts no
// floating-point expressions), so every result is the same to the bit.
inline cVec3 InlineNormal(const cTriangle& t) {
  const cVec3 a = t.vertex[1] - t.vertex[0];
  const cVec3 b = t.vertex[2] - t.vertex[1];
  return cVec3(a.y * b.z - b.y * a.z, a.z * b.x - b.z * a.x, b.y * a.x - a.y * b.x);
}
inline double InlineLength(const cVec3& v) {
  const double x = v.x;
  const double y = v.y;
  const double z = v.z;
  return std::sqrt(x * x + y * y + z * z);
}
inline double InlineDot(const cVec3& a, const cVec3& b) {
  return static_cast<double>(a.z) * b.z + static_cast<double>(a.y) * b.y +
         static_cast<double>(a.x) * b.x;
}

// The plane of a piece triangle, worked out as PassesPlaneTest does, once for all candidates.
struct cPlane {
  explicit cPlane(const cTriangle& p)
      : n(InlineNormal(p)), len(InlineLength(n)), d(-InlineDot(n, p.vertex[0])) {}
  bool Passes(const cTriangle& t, double epsilon) const {
    for (const cVec3& corner : t.vertex) {
      const double dist = (InlineDot(n, corner) + d) / len;
      if (dist > epsilon) return false;
    }
    return true;
  }
  cVec3 n;
  double len;
  double d;
};

}  // namespace

cNeighbourIndex::cNeighbourIndex(const cTriangleList& triangles) : remaining(triangles.size()) {
  const std::size_t n = triangles.size();
  assert(n < 0xffffffffu / 3);
  ReserveWithHugePages(states, n);
  states.resize(n);
  cPointIndex numbers(n);
  constexpr std::size_t kAhead = 32;
  for (std::size_t t = 0; t < n; ++t) {
    if (t + kAhead < n) {
      for (const cVec3& v : triangles[t + kAhead].vertex) numbers.Prefetch(v);
    }
    for (int k = 0; k < 3; ++k) {
      const cVec3& v = triangles[t].vertex[k];
      // A NaN coordinate makes a corner equal to nothing, itself included.
      states[t].point[k] =
          HasNaN(v) ? kNoPoint
                    : numbers.FindOrInsert(v, static_cast<std::uint32_t>(numbers.Count()));
    }
    states[t].state = 0;
    states[t].corners = triangles[t];
  }

  // Every triangle goes once into the list of each of its points, and once more into the
  // repeated list of a point it has twice or three times; in triangle order.
  ReserveWithHugePages(lists, numbers.Count());
  lists.assign(numbers.Count(), cPointLists{0, 0, 0, 0});
  auto each = [&](auto&& add) {
    for (std::size_t t = 0; t < n; ++t) {
      const std::uint32_t* c = states[t].point;
      for (int k = 0; k < 3; ++k) {
        if (c[k] == kNoPoint) continue;
        const bool again = (k > 0 && c[k] == c[0]) || (k > 1 && c[k] == c[1]);
        const bool third = k == 2 && c[2] == c[0] && c[2] == c[1];
        if (!third) add(c[k], again, static_cast<std::uint32_t>(t));
      }
    }
  };
  each([&](std::uint32_t point, bool again, std::uint32_t) {
    ++(again ? lists[point].lastRepeated : lists[point].last);
  });
  std::uint32_t offset = 0;
  for (cPointLists& l : lists) {
    const std::uint32_t count = l.last, repeated = l.lastRepeated;
    l.first = l.last = offset;
    offset += count;
    l.firstRepeated = l.lastRepeated = offset;
    offset += repeated;
  }
  ReserveWithHugePages(entries, offset);
  entries.resize(offset);
  each([&](std::uint32_t point, bool again, std::uint32_t t) {
    entries[again ? lists[point].lastRepeated++ : lists[point].last++] = t;
  });
}

int cNeighbourIndex::CornerPairs(const cTriangleState& p, const cTriangleState& t) const {
  int pairs = 0;
  for (const std::uint32_t a : p.point) {
    if (a == kNoPoint) continue;
    pairs += (a == t.point[0]) + (a == t.point[1]) + (a == t.point[2]);
  }
  return pairs;
}

void cNeighbourIndex::Prefetch(std::uint32_t from, std::uint32_t to) const {
  for (std::uint32_t at = from; at < to; ++at) {
    const std::uint32_t t = entries[at];
    __builtin_prefetch(&states[t]);
  }
}

std::uint32_t cNeighbourIndex::Gather(std::uint32_t from, std::uint32_t to, std::uint32_t p) {
  std::uint32_t keep = from;
  for (std::uint32_t at = from; at < to; ++at) {
    const std::uint32_t t = entries[at];
    cTriangleState& s = states[t];
    if (s.state == kTaken) continue;
    entries[keep++] = t;
    if (s.state == stamp) continue;
    s.state = stamp;
    if (CornerPairs(states[p], s) >= 2) candidates.push_back(t);
  }
  return keep;
}

bool cNeighbourIndex::GrowPiece(
    cTriangleList& piece, cEpsilonReader readEpsilon,
    const std::function<bool(std::size_t i, std::size_t remaining)>& beforeExpanding) {
  assert(remaining > 0);
  while (states[nextSeed].state == kTaken) ++nextSeed;
  states[nextSeed].state = kTaken;
  --remaining;
  pieceTriangles.assign(1, static_cast<std::uint32_t>(nextSeed));
  bool finished = true;
  for (std::size_t i = 0; i < pieceTriangles.size(); ++i) {
    if (beforeExpanding && !beforeExpanding(i, remaining)) {
      finished = false;
      break;
    }
    // The triangles of a piece lie anywhere in memory when the input is in random order, and
    // reaching a triangle's neighbours takes four dependent loads (its state, its point lists,
    // the list entries, their states and corners): each is started a step before it is needed.
    constexpr std::size_t kStep = 2;
    const std::size_t size = pieceTriangles.size();
    if (i + 4 * kStep < size) __builtin_prefetch(&states[pieceTriangles[i + 4 * kStep]]);
    if (i + 3 * kStep < size) {
      for (const std::uint32_t point : states[pieceTriangles[i + 3 * kStep]].point) {
        if (point != kNoPoint) __builtin_prefetch(&lists[point]);
      }
    }
    if (i + 2 * kStep < size) {
      for (const std::uint32_t point : states[pieceTriangles[i + 2 * kStep]].point) {
        if (point == kNoPoint) continue;
        __builtin_prefetch(&entries[lists[point].first]);
        __builtin_prefetch(&entries[lists[point].firstRepeated]);
      }
    }
    if (i + kStep < size) {
      // Only the start of each list: a point shared by many triangles (a fan, a stack of equal
      // triangles) has a list of any length, and its whole list every step would make a piece
      // of k such triangles cost k * k.
      const std::uint32_t next = pieceTriangles[i + kStep];
      __builtin_prefetch(&states[next]);
      for (const std::uint32_t point : states[next].point) {
        if (point == kNoPoint) continue;
        const cPointLists& l = lists[point];
        Prefetch(l.first, std::min(l.last, l.first + kPrefetchedEntries));
        Prefetch(l.firstRepeated, std::min(l.lastRepeated, l.firstRepeated + kPrefetchedEntries));
      }
    }
    Expand(i, readEpsilon);
  }
  piece.clear();
  ReserveWithHugePages(piece, pieceTriangles.size());
  for (const std::uint32_t t : pieceTriangles) piece.push_back(states[t].corners);
  return finished;
}

void cNeighbourIndex::Expand(std::size_t i, cEpsilonReader readEpsilon) {
  const std::uint32_t p = pieceTriangles[i];
  if (++stamp == kTaken) {  // wrapped: forget every earlier gathering
    for (cTriangleState& s : states) {
      if (s.state != kTaken) s.state = 0;
    }
    stamp = 1;
  }
  candidates.clear();

  // p's distinct points and how often each is a corner of p.
  const std::uint32_t* c = states[p].point;
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
  // all lists but the longest cover them.
  int skip = -1;
  if (distinct >= 2) {
    skip = 0;
    for (int d = 1; d < distinct; ++d) {
      const cPointLists& a = lists[point[d]];
      const cPointLists& b = lists[point[skip]];
      if (a.last - a.first > b.last - b.first) skip = d;
    }
  }
  bool walk[3];
  for (int d = 0; d < distinct; ++d) {
    walk[d] = distinct >= 2 ? d != skip || times[d] >= 2 : times[d] >= 2;
    // Every triangle in the lists is loaded below; their states start loading.
    const cPointLists& l = lists[point[d]];
    if (walk[d]) Prefetch(l.first, l.last);
    Prefetch(l.firstRepeated, l.lastRepeated);
  }
  for (int d = 0; d < distinct; ++d) {
    cPointLists& l = lists[point[d]];
    if (walk[d]) l.last = Gather(l.first, l.last, p);
    l.lastRepeated = Gather(l.firstRepeated, l.lastRepeated, p);
  }
  if (candidates.empty()) return;

  // Work-list order is triangle order: the list only ever loses triangles. Each point list is in
  // that order, so the candidates of a single list need no sort (a fan around one edge gathers
  // every waiting leaf from one list at every step).
  if (!std::is_sorted(candidates.begin(), candidates.end()))
    std::sort(candidates.begin(), candidates.end());
  const cPlane plane(states[p].corners);
  for (const std::uint32_t t : candidates) {
    if (!plane.Passes(states[t].corners, readEpsilon())) continue;
    states[t].state = kTaken;
    --remaining;
    pieceTriangles.push_back(t);
  }
}
