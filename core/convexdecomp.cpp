#include "core/convexdecomp.h"

#include <utility>

cDecomposeResult DecomposeMesh(const cTriangleList& triangles, const cDecomposeSettings& settings,
                               const cProgress& progress) {
  cDecomposeResult result;
  cGrowth growth = GrowPieces(triangles, settings.epsilon, progress);
  result.pieces = std::move(growth.pieces);
  result.regions = growth.regions;
  result.cancelled = growth.cancelled;
  if (result.cancelled || !settings.hulls) return result;

  std::vector<cTriangleList> lists;
  lists.reserve(result.pieces.size());
  for (const cGrownPiece& piece : result.pieces) lists.push_back(piece.triangles);
  cHullSet hulls = BuildHulls(lists, static_cast<float>(settings.smooth), progress);
  result.hulls = std::move(hulls.hulls);
  result.cancelled = hulls.cancelled;
  return result;
}
