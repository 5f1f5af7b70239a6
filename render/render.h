// Drawing with fixed-function OpenGL into the context that is current on the calling thread.
// Nothing here creates a context or swaps buffers; the window layer does both.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "geometry/mesh.h"

class cDecomposition;
class cHullResult;

// --- Primitives --------------------------------------------------------------------------------

// A point of the given size in pixels and colour; leaves the colour white and the size 1.
void DrawPoint(float x, float y, float z, float size, float r, float g, float b);

// The twelve edges of a box in the current colour.
void DrawBox(float minX, float minY, float minZ, float maxX, float maxY, float maxZ);
void DrawBox(const cBoundBox& box);

// Every triangle as its own lit primitive with its unit normal, in colour (r, g, b); while a
// frame that shows normals is drawn, a one-unit normal line from the centroid, black to white.
// Leaves the colour white. Vertex by vertex, every time: the components' drawing inside
// DrawScene replays the same calls from a cache instead.
void DrawTriangleList(const cTriangleList& list, float r, float g, float b);

// --- Components --------------------------------------------------------------------------------
// They draw boxes (and normals) only inside DrawScene, as its view asks.

void DrawMesh(cMesh& mesh);
void DrawDecomposition(cDecomposition& decomposition);
void DrawPiece(const cConvexPiece& piece);
void DrawHullResult(cHullResult& hull);

// Points the model's Draw operations at the functions above.
void InstallDrawHooks();

// --- Frame and view ----------------------------------------------------------------------------

// What frames keep from one to the next for the GL context they draw in: the arrays of the lists
// the first frame of a model generation drew, and the memory they are in. Made by the code that
// owns the context, given to the frames drawn in it (cSceneView::cache), and released or
// destroyed before that context is destroyed or the frames move to another one. UI thread only,
// like all drawing.
class cDrawCache {
 public:
  cDrawCache();
  ~cDrawCache();
  cDrawCache(const cDrawCache&) = delete;
  cDrawCache& operator=(const cDrawCache&) = delete;

  // Frees what the frames cached; the next frame with a model generation builds it again.
  void Release();

  // What it holds, for render/ itself (render/list_cache_internal.h).
  struct cState;
  cState& State() { return *state; }
  const cState& State() const { return *state; }

 private:
  std::unique_ptr<cState> state;
};

// Everything a frame of the scene reads.
struct cSceneView {
  cMesh* mesh = nullptr;        // drawn through its Draw; none when null
  cDrawCache* cache = nullptr;  // of the context drawn in; none: every list is drawn directly
  cVec3 eye;                    // the camera eye, where the first light sits
  cVec3 offset;                 // the model is moved by -offset (the centre of the mesh's box)
  float lightAngle = 0.0f;      // the circling light's angle, radians
  bool showBoundBox = false;
  bool showNormals = false;
  bool showAxis = false;  // a cross of 10 units at the orbit centre
  // Names the state of the model (every list the frame may draw, with its contents). Frames
  // with the same non-zero value and cache draw each list from what the first of them cached; a
  // new value drops what the cache holds. 0: the model may be changing, nothing is cached or
  // reused.
  std::uint64_t modelGeneration = 0;
};

// One frame of the scene. Ends with glFinish and glFlush; the caller swaps.
void DrawScene(const cSceneView& view);

// Projection (perspective with the given clip planes, and look-at from eye toward the origin)
// and the fixed state that every frame relies on. Leaves the projection matrix selected.
void ApplyView(const cVec3& eye, int width, int height, double nearPlane, double farPlane);

void SetViewport(int width, int height);

enum class cPolygonMode { Fill, Line, Point };
void SetPolygonMode(cPolygonMode mode);

// --- Text --------------------------------------------------------------------------------------

// One glyph for the bitmap font: rows bottom-up, each row packed to whole bytes, most
// significant bit leftmost. origin is the glyph's offset from the raster position.
struct cGlyphBitmap {
  int width = 0;
  int height = 0;
  float originX = 0.0f;
  float originY = 0.0f;
  float advance = 0.0f;  // raster position advance in pixels
  std::vector<std::uint8_t> bits;
};

constexpr int kFontFirstChar = 32;
constexpr int kFontGlyphCount = 96;  // characters 32 to 127

// Compiles the 96 glyphs into consecutive display lists; returns the first list's name.
unsigned BuildFontLists(const std::vector<cGlyphBitmap>& glyphs);
void DeleteFontLists(unsigned base);

// printf-formatted text at the current raster position in the current colour. Text beyond 255
// characters is cut; a null format draws nothing.
void PrintText(unsigned fontListBase, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// The "Please Wait..." frame. Ends with glFinish and glFlush; the caller swaps.
void DrawBusyScreen(int width, int height, unsigned fontListBase);
