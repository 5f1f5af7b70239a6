// The incremental construction of hull.h (seed faces, then one step per added point) made fast:
// cHullResult::Build and AddPoint and BuildClosedHull all run their steps here. It takes the same
// decisions and keeps the same face order as the construction written plainly (every face
// rescanned on every step, visible ones erased in place, every candidate tested with
// IsHorizonFace against all visible faces), which the hull tests keep as their oracle. Made fast:
//   - every face's plane (Normal, float offset, double length) is computed once, when the face
//     is made, with the same float roundings SignedDistance uses;
//   - faces stay in creation order: a removed face is only marked, new faces go to the end;
//   - the visible faces of a point are found through an octree over the faces' centres whose
//     nodes bound their faces' unit normals and corners; a node is skipped only when that bound,
//     widened by a margin larger than every rounding SignedDistance can make, shows no face of
//     it can be more than VisibleTolerance in front. Faces whose plane cannot be bounded so
//     (zero, tiny or non-finite normals, non-finite corners) are tested on every step.
// It can also keep count of the surface's edges, to tell after every step whether the surface is
// closed, and check the finished hull against the points.
#pragma once

#include <cmath>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "geometry/point_key.h"
#include "geometry/vec3.h"

class cIncrementalHull {
 public:
  // box holds the points to come (most of them, at least: it only shapes the octree);
  // trackEdges turns on the edge count behind Closed().
  cIncrementalHull(const cBoundBox& box, std::size_t expectedPoints, bool trackEdges);

  // Appends a face as it is (the seed).
  void AddFace(const cTriangle& t);

  // One step of the construction: removes the faces q sees (SignedDistance > VisibleTolerance)
  // and appends, in order of acceptance, the candidate faces (q, a, b) over their edges that
  // IsHorizonFace accepts and that are not already among the accepted ones.
  void AddPoint(const cVec3& q);

  // Every directed edge of the current faces appears exactly once and its reverse exactly once,
  // and no face repeats a corner. Only meaningful with trackEdges.
  bool Closed() const { return defects == 0; }

  // The current faces, in order.
  cTriangleList Faces() const;

  // Whether the finished surface holds the points. It must not be wound inward (enclosed signed
  // volume at least -tolerance times its area) and have no face with a plane too short or too
  // long to measure. A surface enclosing more than tolerance times its area holds a point when
  // the point lies no more than tolerance in front of any face's plane (distances in double from
  // the face's float Normal and first corner; faces with a zero Normal bound nothing); a flatter
  // one holds a point when the point lies within tolerance of one of its faces. False when a
  // point is not finite.
  bool Holds(const cPointList& points, double tolerance);

 private:
  struct cFace {
    cTriangle t;
    cVec3 n;         // Normal(t)
    float offset;    // -Dot(n, corner 0), rounded to float
    double length;   // Length(n)
    double unit[3];  // n / length
    std::uint32_t id[3];
    std::int32_t leaf;      // octree leaf, or -1 when tested on every step
    std::uint16_t cell[3];  // octree cell of the centre at the finest level
    bool alive;
  };
  struct cNode {
    std::int32_t child[8];
    std::int32_t parent;
    int level = 0;
    bool split = false;  // faces are held by the children, not in items
    std::uint32_t alive = 0;
    std::uint32_t removed = 0;         // removals since the bounds were last refitted
    double nmin[3], nmax[3];           // bounds of the unit normals
    double vmin[3], vmax[3];           // bounds of the corners
    std::vector<std::uint32_t> items;  // leaf only: faces, dead ones dropped at refits
  };

  std::uint32_t PointId(const cVec3& p);
  // How far center lies behind the face's plane (negative in front).
  double Depth(const cFace& f) const;
  bool OnSurface(const cVec3& p, double tolerance);
  void Insert(std::uint32_t f);
  void Remove(std::uint32_t f);
  void ChangeEdge(std::uint64_t edge, int delta);
  int EdgeDefect(std::uint64_t edge) const;
  void ResetBounds(cNode& node);
  void Grow(cNode& node, const cFace& f);
  void Refit(std::int32_t node);
  std::int32_t Child(std::int32_t node, const cFace& f);
  void Split(std::int32_t node);
  // Appends to out every face for which test(face) holds among the faces whose bound at q
  // exceeds threshold (and all faces that are not in the octree).
  template <class cTest>
  void Query(const cVec3& q, double threshold, cTest test, std::vector<std::uint32_t>& out);

  std::vector<cFace> faces;
  std::vector<cNode> nodes;
  std::vector<std::uint32_t> unindexed;  // faces tested on every step, in creation order
  cBoundBox box;
  double center[3];               // centre of box
  double innerRadius = INFINITY;  // at most the least Depth of an indexed face
  std::uint32_t removedSinceRadius = 0;
  static constexpr int kDepth = 12;             // finest level: 4096 cells per axis
  static constexpr std::size_t kLeafSize = 24;  // a leaf holding more faces is split
  double scale = 0.0;  // largest coordinate magnitude seen, for the rounding margin
  bool trackEdges;
  cPointIndex pointIds;
  std::uint32_t nextPointId = 0;
  std::unordered_map<std::uint64_t, int> edges;  // directed edge (from id, to id) -> count
  std::int64_t defects = 0;
  std::vector<std::uint32_t> visible, stack;
  std::vector<cVec3> corners;
  cTriangleList fan;
};
