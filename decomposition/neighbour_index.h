// The work list of one decomposition run, kept as an index instead of a list: which triangles
// are still waiting, and which of them touch a given triangle in two corner pairs. Expanding a
// piece triangle through it moves exactly the triangles that scanning the remaining work list in
// order would move (ExpandByScan), in the same order, and reads Epsilon as often and in the same
// order; it only skips the triangles that cannot share an edge with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "geometry/vec3.h"

// Returns the plane tolerance to use for one comparison.
using cEpsilonReader = double (*)();

class cNeighbourIndex {
 public:
  // All triangles start in the work list, in the order of triangles, which must outlive the
  // index and stay unchanged.
  explicit cNeighbourIndex(const cTriangleList& triangles);

  bool Empty() const { return remaining == 0; }
  std::size_t Remaining() const { return remaining; }

  // Moves the first remaining triangle to piece, which must be empty: the seed of a new piece.
  void TakeSeed(cTriangleList& piece);

  // Moves every remaining triangle that shares an edge with piece[i] (SharesEdge) and passes the
  // plane test against it to the end of piece, in work-list order; readEpsilon is called once
  // for every triangle that shares the edge, just before its plane test. piece must hold only
  // triangles moved there by TakeSeed and Expand since the last TakeSeed.
  void Expand(cTriangleList& piece, std::size_t i, cEpsilonReader readEpsilon);

 private:
  static constexpr std::uint32_t kNoPoint = 0xffffffffu;  // a corner with a NaN coordinate

  // How many (corner of a, corner of b) pairs are the same point.
  int CornerPairs(std::uint32_t a, std::uint32_t b) const;
  // Adds the remaining triangles of point's list that share an edge with p to candidates (once
  // each), dropping the ones no longer waiting from the list.
  void Gather(std::uint32_t point, std::uint32_t p);
  void Consider(std::uint32_t t, std::uint32_t p);

  const cTriangleList& triangles;
  std::vector<std::uint32_t> corner;  // point number of corner k of triangle t at 3 t + k
  // Per point, the waiting triangles that have it as a corner, in work-list order:
  // entries[first[point] .. last[point]).
  std::vector<std::uint32_t> first;
  std::vector<std::uint32_t> last;
  std::vector<std::uint32_t> entries;
  // Triangles with a point as two or three of their corners, as (point, triangle), sorted.
  std::vector<std::uint64_t> repeated;
  std::vector<unsigned char> waiting;
  std::vector<std::uint32_t> seen;  // the Expand call that last gathered a triangle
  std::uint32_t stamp = 0;
  std::vector<std::uint32_t> candidates;
  std::vector<std::uint32_t> pieceTriangles;  // triangle numbers of the current piece
  std::size_t remaining = 0;
  std::size_t nextSeed = 0;
};
