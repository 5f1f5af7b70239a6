// The work list of one decomposition run, kept as an index instead of a list: which triangles
// are still waiting, and which of them touch a given triangle in two corner pairs. Expanding a
// piece triangle through it moves exactly the triangles that scanning the remaining work list in
// order would move (ExpandByScan), in the same order, and reads Epsilon as often and in the same
// order; it only skips the triangles that cannot share an edge with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "decomposition/decomposition.h"
#include "geometry/vec3.h"

using cEpsilonReader = cEpsilonSource;

class cNeighbourIndex {
 public:
  // All triangles start in the work list, in the order of triangles; the index keeps its own
  // copy of them.
  explicit cNeighbourIndex(const cTriangleList& triangles);

  bool Empty() const { return remaining == 0; }
  std::size_t Remaining() const { return remaining; }

  // Grows the next piece, as Apply's literal form does: the first remaining triangle is the
  // seed; then every triangle of the piece in turn, those added meanwhile included, takes the
  // remaining triangles that share an edge with it (SharesEdge) and pass the plane test against
  // it, in work-list order, as ExpandByScan does. readEpsilon is called once for every such
  // neighbour, just before its plane test. piece receives the triangles in acceptance order.
  // beforeExpanding, when given, is called before each piece triangle i is expanded, with i and
  // the number of triangles then left in the work list; when it returns false the growth stops
  // there, piece receives the triangles taken so far and GrowPiece returns false.
  bool GrowPiece(
      cTriangleList& piece, cEpsilonReader readEpsilon,
      const std::function<bool(std::size_t i, std::size_t remaining)>& beforeExpanding = {});

 private:
  static constexpr std::uint32_t kNoPoint = 0xffffffffu;  // a corner with a NaN coordinate
  static constexpr std::uint32_t kTaken = 0xffffffffu;    // state of a triangle not waiting

  // One cache line a triangle: a walk over a point's list reaches every corner it compares
  // with one memory access per triangle, however the triangles are ordered.
  struct alignas(64) cTriangleState {
    std::uint32_t point[3];  // point number of each corner, or kNoPoint
    std::uint32_t state;     // kTaken, or the last Expand call that gathered it
    cTriangle corners;       // a copy of the triangle
  };
  // Two lists per point, each holding waiting triangles in work-list order: the triangles that
  // have the point as a corner (each once), entries[first .. last), and those that have it as
  // two or three corners, entries[firstRepeated .. lastRepeated). Taken triangles are dropped
  // from a list whenever it is walked.
  struct cPointLists {
    std::uint32_t first, last, firstRepeated, lastRepeated;
  };

  // Appends to pieceTriangles the waiting neighbours of pieceTriangles[i] that pass the plane
  // test, taking them out of the work list.
  void Expand(std::size_t i, cEpsilonReader readEpsilon);
  // How many (corner of p, corner of t) pairs are the same point.
  int CornerPairs(const cTriangleState& p, const cTriangleState& t) const;
  // Starts loading the states of the triangles in entries[from .. to); only a hint to the
  // processor, nothing changes.
  void Prefetch(std::uint32_t from, std::uint32_t to) const;
  // Adds the waiting triangles of entries[from .. to) that share an edge with p to candidates,
  // once each, and drops the taken ones; returns the new end.
  std::uint32_t Gather(std::uint32_t from, std::uint32_t to, std::uint32_t p);

  std::vector<cTriangleState> states;
  std::vector<cPointLists> lists;
  std::vector<std::uint32_t> entries;
  std::uint32_t stamp = 0;
  std::vector<std::uint32_t> candidates;
  std::vector<std::uint32_t> pieceTriangles;  // triangle numbers of the current piece
  std::size_t remaining = 0;
  std::size_t nextSeed = 0;
};
