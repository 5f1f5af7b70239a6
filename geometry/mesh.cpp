#include "geometry/mesh.h"

#include <cstdlib>

cColor RandomColor(int range) {
  // Three separate calls, so red is drawn first, then green, then blue.
  cColor c;
  c.red = static_cast<unsigned char>(std::rand() % range);
  c.green = static_cast<unsigned char>(std::rand() % range);
  c.blue = static_cast<unsigned char>(std::rand() % range);
  return c;
}

cConvexPiece::cConvexPiece() : color(RandomColor(255)) {}

cConvexPiece::~cConvexPiece() {
  DestroyFirstToLast(children);
  children.shrink_to_fit();
  triangles.clear();
  triangles.shrink_to_fit();
}

cMesh::cMesh() : color(RandomColor(225)) {}

cMesh::~cMesh() {
  triangles.clear();
  box = cBoundBox();
  DestroyFirstToLast(components);
  decomposition = nullptr;
  triangles.shrink_to_fit();
  components.shrink_to_fit();
}

void cMesh::Draw() {
  if (DrawHooks().drawMesh != nullptr) DrawHooks().drawMesh(*this);
}

std::uint32_t cMesh::GetTriangleCount() {
  return static_cast<std::uint32_t>(triangles.size());
}

cTriangle& cMesh::GetTriangle(cTriangle& out, std::uint32_t index) {
  out = triangles[index];
  return out;
}

cDrawHooks& DrawHooks() {
  static cDrawHooks hooks;
  return hooks;
}
