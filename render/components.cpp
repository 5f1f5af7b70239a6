#include "render/render.h"

#include <GL/gl.h>

#include "decomposition/decomposition.h"
#include "frame_internal.h"
#include "hull/hull.h"
#include "list_cache_internal.h"

namespace {

// The float nearest 1/255: a colour byte times this is the channel drawn.
constexpr float kByteToChannel = 0.003921569f;

// Whether the frame in progress asks for boxes.
bool ShowBoundBox() {
  const cFrame* frame = CurrentFrame();
  return frame != nullptr && frame->showBoundBox;
}

void DrawColorTriangles(const cTriangleList& list, const cColor& c) {
  DrawFrameList(list, c.red * kByteToChannel, c.green * kByteToChannel, c.blue * kByteToChannel);
}

}  // namespace

void DrawMesh(cMesh& mesh) {
  if (!mesh.components.empty()) {
    mesh.components.back()->Draw();
    return;
  }
  DrawColorTriangles(mesh.triangles, mesh.color);
  if (ShowBoundBox()) DrawBox(mesh.box);
}

void DrawDecomposition(cDecomposition& decomposition) {
  if (!decomposition.hulls.empty()) {
    for (auto& hull : decomposition.hulls) hull->Draw();
    return;
  }
  for (const auto& piece : decomposition.pieces) {
    if (ShowBoundBox()) {
      glColor3f(1.0f, 0.0f, 0.0f);
      DrawBox(piece->box);
    }
    DrawPiece(*piece);
  }
}

void DrawPiece(const cConvexPiece& piece) {
  if (!piece.children.empty()) {
    for (const auto& child : piece.children) DrawPiece(*child);
    return;
  }
  DrawColorTriangles(piece.triangles, piece.color);
}

void DrawHullResult(cHullResult& hull) {
  if (!hull.ready) return;
  DrawColorTriangles(hull.faces, hull.color);
  // Kept on purpose: the faces the step in progress removes, in red. The construction leaves the
  // list empty, so nothing is drawn between steps; a frame drawn during a step would see them.
  DrawFrameList(hull.visibleFaces, 1.0f, 0.0f, 0.0f);
  DrawPoint(hull.currentPoint.x, hull.currentPoint.y, hull.currentPoint.z, 10.0f, 0.0f, 0.0f, 1.0f);
  if (ShowBoundBox()) DrawBox(hull.box);
}

void InstallDrawHooks() {
  DrawHooks().drawMesh = &DrawMesh;
  DrawHooks().drawDecomposition = &DrawDecomposition;
  DrawHooks().drawHullResult = &DrawHullResult;
}
