// Leaving out runs of cached triangles that the GL would cull anyway: the bounds a list's chunks
// get when their arrays are built, and the test a frame makes of each chunk.
#pragma once

#include <cstddef>
#include <vector>

#include "geometry/vec3.h"
#include "geometry/vec3d.h"

// A run of consecutive triangles of a list, with what a frame needs to know that the GL would
// cull every one of them as back-facing: a sphere holding their corners and a cone holding
// their normals. Doubles, from the float corners.
constexpr std::size_t kChunkTriangles = 64;
struct cChunk {
  cVec3d center;
  double radius;
  cVec3d axis;              // unit; the normals lie within the half angle of it
  double cosHalf, sinHalf;  // of the cone's half angle
  double sinHalfAndMargin;  // of the half angle plus kCullMargin
  double minHeight;         // the smallest height of a triangle over its longest edge
  bool cullable;            // false: a triangle on one line, a corner not finite, a wide cone
};

// The chunks of the triangles' corners, kChunkTriangles triangles each and the last one the
// rest, built from the list as drawn.
void BuildChunks(const cTriangleList& list, std::vector<cChunk>& chunks);

// What a frame reads once to skip chunks the GL would cull anyway. Facing in window coordinates
// follows from the clip coordinates' x, y and w rows: with B their 3 x 3 part and e the eye
// (where all three vanish), a triangle's window area has the sign of det(B) times
// dot(normal, corner - e) wherever w > 0.
struct cCullFrame {
  bool active = false;  // chunks may be skipped in this frame
  cVec3d eye;           // in the coordinates the lists are drawn in
  double away = 1.0;    // sign: culled where away * dot(normal, corner - eye) > 0
  cVec3d w;             // the w row's 3 x 3 part: depth along the view, w = dot(w, p - eye)
  double wLength = 0.0;
  double pixelsPerUnit = 0.0;   // at w = 1, across the view
  double minPixelHeight = 0.0;  // of a skipped triangle on screen
};

// Reads the culling state, the matrices and the viewport of the frame once (GL queries only).
cCullFrame ReadCullFrame();

// Whether the GL culls every triangle of the chunk in the frame f describes, with room to spare.
bool ChunkCulled(const cChunk& chunk, const cCullFrame& f);
