#include "render/render.h"

#include "render_internal.h"

#include <GL/gl.h>
#include <GL/glu.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <tuple>

#include <sys/mman.h>

#include "decomposition/decomposition.h"
#include "hull/hull.h"

namespace {

// The float nearest 1/255: a colour byte times this is the channel drawn.
constexpr float kByteToChannel = 0.003921569f;
// The float nearest 1/3, for the centroid of a triangle.
constexpr float kThird = 0.33333334f;

// The view flags of the frame DrawScene is drawing, for the components' Draw operations (which
// take no arguments); all off outside a frame. UI thread only.
struct cFrameFlags {
  bool showBoundBox = false;
  bool showNormals = false;
};
cFrameFlags frameFlags;

// The list cache: for each triangle list drawn, buffer objects holding the vertex arrays that
// draw the same pixels as DrawTriangleList's calls for it. Valid for one model generation (see
// cSceneView): within it no list changes, so a list's address names its contents. UI thread
// only, like all drawing.
struct cListKey {
  const cTriangleList* list;
  float r, g, b;
  bool operator<(const cListKey& o) const {
    return std::tie(list, r, g, b) < std::tie(o.list, o.r, o.g, o.b);
  }
};
// A triangle's corner: where it is and the triangle's unit normal.
struct cLitVertex {
  float x, y, z;
  float nx, ny, nz;
};
struct cCachedList {
  cLitVertex* triangles = nullptr;  // 3 per triangle, in listArena
  cVec3 lastNormal;                 // the current normal the direct calls leave
  // What the list looked like when its arrays were built: a list that the model changed
  // against the generation's promise is built again when its storage or length moved.
  const cTriangle* data = nullptr;
  std::size_t size = 0;
};
struct cListCache {
  std::uint64_t generation = 0;  // of the frames that built the entries; 0: none
  std::map<cListKey, cCachedList> entries;
};
cListCache listCache;

// Storage for the cached arrays: blocks handed out front to back. When the model changes, the
// blocks are kept for the next generation's arrays rather than freed: after most commands the
// arrays are built again at about the same total size, and fresh memory costs a page fault for
// every page. Blocks that a frame with a model generation leaves unused are freed after it.
class cArrayArena {
 public:
  // count elements, or nullptr when there is no memory for them.
  cLitVertex* Allocate(std::size_t count) {
    for (; current < blocks.size(); ++current) {
      cBlock& block = blocks[current];
      if (block.capacity - block.used >= count) {
        cLitVertex* out = block.data.get() + block.used;
        block.used += count;
        return out;
      }
    }
    if (count > kMaxCount) return nullptr;
    // Whole huge pages where the system gives them on request: a page fault for every 2 MB
    // rather than every 4 kB when the arrays are first written.
    const std::size_t bytes = (count * sizeof(cLitVertex) + kPage - 1) / kPage * kPage;
    auto* data = static_cast<cLitVertex*>(std::aligned_alloc(kPage, bytes));
    if (data == nullptr) return nullptr;
#ifdef MADV_HUGEPAGE
    madvise(data, bytes, MADV_HUGEPAGE);  // a hint; without it the pages are small
#endif
    blocks.push_back(
        cBlock{std::unique_ptr<cLitVertex[], cFree>(data), bytes / sizeof(cLitVertex), count});
    return data;
  }
  // Everything handed out is free again; the blocks stay.
  void Recycle() {
    for (cBlock& block : blocks) block.used = 0;
    current = 0;
  }
  // Frees the blocks nothing is in.
  void Trim() {
    std::erase_if(blocks, [](const cBlock& block) { return block.used == 0; });
    current = std::min(current, blocks.size());
  }

 private:
  static constexpr std::size_t kPage = std::size_t{2} << 20;
  static constexpr std::size_t kMaxCount = (SIZE_MAX - kPage) / sizeof(cLitVertex);
  struct cFree {
    void operator()(cLitVertex* p) const { std::free(p); }
  };
  struct cBlock {
    std::unique_ptr<cLitVertex[], cFree> data;
    std::size_t capacity = 0;
    std::size_t used = 0;
  };
  std::vector<cBlock> blocks;
  std::size_t current = 0;  // blocks before it are not looked at again until Recycle
};
cArrayArena listArena;
cListDrawing listDrawing = cListDrawing::Cached;
std::uint64_t frameGeneration = 0;  // of the frame being drawn; 0 outside a frame

// The unit normal DrawTriangleList gives a triangle: zero for one whose corners lie on a line.
cVec3 UnitNormal(const cTriangle& t) {
  const cVec3 n = Normal(t);
  const float len = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
  return len > 0.0f ? cVec3(n.x / len, n.y / len, n.z / len) : cVec3();
}

// The triangles' corners with their unit normals, as DrawTriangleList sends them.
void BuildTriangleArray(const cTriangleList& list, cLitVertex* out) {
  for (const cTriangle& t : list) {
    const cVec3 u = UnitNormal(t);
    for (const cVec3& p : t.vertex) *out++ = cLitVertex{p.x, p.y, p.z, u.x, u.y, u.z};
  }
}

// Whether the entry holds arrays for the list as it is now; builds them if not. False when
// there is no memory for them.
bool PrepareEntry(cCachedList& entry, const cTriangleList& list) {
  if (entry.triangles != nullptr && entry.data == list.data() && entry.size == list.size())
    return true;
  // A list changed against the generation's promise leaves its old arrays unused until the
  // next model change.
  entry.triangles = listArena.Allocate(list.size() * 3);
  if (entry.triangles == nullptr) return false;
  BuildTriangleArray(list, entry.triangles);
  entry.lastNormal = UnitNormal(list.back());
  entry.data = list.data();
  entry.size = list.size();
  return true;
}

// Draws the list's triangles from the entry's arrays in the list's colour, in the list's order.
// Leaves the current colour white and the current normal the last triangle's, as the direct
// calls do.
void DrawEntry(const cCachedList& entry, float r, float g, float b) {
  glPushClientAttrib(GL_CLIENT_VERTEX_ARRAY_BIT);
  glEnableClientState(GL_VERTEX_ARRAY);
  glEnableClientState(GL_NORMAL_ARRAY);
  glVertexPointer(3, GL_FLOAT, sizeof(cLitVertex), &entry.triangles->x);
  glNormalPointer(GL_FLOAT, sizeof(cLitVertex), &entry.triangles->nx);
  glColor3f(r, g, b);
  glDrawArrays(GL_TRIANGLES, 0, static_cast<GLsizei>(3 * entry.size));
  glPopClientAttrib();
  // Drawing from arrays leaves the current normal undefined.
  glColor3f(1.0f, 1.0f, 1.0f);
  glNormal3f(entry.lastNormal.x, entry.lastNormal.y, entry.lastNormal.z);
}

// Forgets every cached list; their memory is kept for the next ones.
void DropCachedLists() {
  listCache.entries.clear();
  listArena.Recycle();
  listCache.generation = 0;
}

// DrawTriangleList for the components inside a frame: from the cache while the frame has a
// model generation.
// Frames with normal lines are drawn directly. Their lines cannot be batched apart from the
// triangles: a line lying in the plane of a later triangle ties with it in depth, and the
// direct calls, which draw that triangle after the line, show the triangle there. Drawn from
// arrays triangle by triangle, each before its line, they are slower than the direct calls.
void DrawFrameList(const cTriangleList& list, float r, float g, float b) {
  if (frameGeneration == 0 || listDrawing == cListDrawing::Immediate || list.empty() ||
      frameFlags.showNormals) {
    DrawTriangleList(list, r, g, b);
    return;
  }
  const cListKey key{&list, r, g, b};
  cCachedList& entry = listCache.entries[key];
  if (!PrepareEntry(entry, list)) {  // no memory: drawn directly, as without the cache
    listCache.entries.erase(key);
    DrawTriangleList(list, r, g, b);
    return;
  }
  DrawEntry(entry, r, g, b);
}

void DrawColorTriangles(const cTriangleList& list, const cColor& c) {
  DrawFrameList(list, c.red * kByteToChannel, c.green * kByteToChannel, c.blue * kByteToChannel);
}

}  // namespace

void DrawPoint(float x, float y, float z, float size, float r, float g, float b) {
  glColor3f(r, g, b);
  glPointSize(size);
  glBegin(GL_POINTS);
  glVertex3f(x, y, z);
  glEnd();
  glPointSize(1.0f);
  glColor3f(1.0f, 1.0f, 1.0f);
}

void DrawBox(float x0, float y0, float z0, float x1, float y1, float z1) {
  glBegin(GL_LINE_STRIP);
  glVertex3f(x0, y0, z0);
  glVertex3f(x1, y0, z0);
  glVertex3f(x1, y0, z1);
  glVertex3f(x0, y0, z1);
  glVertex3f(x0, y0, z0);
  glEnd();
  glBegin(GL_LINE_STRIP);
  glVertex3f(x1, y1, z1);
  glVertex3f(x0, y1, z1);
  glVertex3f(x0, y1, z0);
  glVertex3f(x1, y1, z0);
  glVertex3f(x1, y1, z1);
  glEnd();
  glBegin(GL_LINES);
  glVertex3f(x0, y0, z0);
  glVertex3f(x0, y1, z0);
  glVertex3f(x1, y0, z0);
  glVertex3f(x1, y1, z0);
  glVertex3f(x0, y0, z1);
  glVertex3f(x0, y1, z1);
  glVertex3f(x1, y0, z1);
  glVertex3f(x1, y1, z1);
  glEnd();
}

void DrawBox(const cBoundBox& box) {
  DrawBox(box.min.x, box.min.y, box.min.z, box.max.x, box.max.y, box.max.z);
}

void DrawTriangleList(const cTriangleList& list, float r, float g, float b) {
  glColor3f(r, g, b);
  for (const cTriangle& t : list) {
    const cVec3& p = t.vertex[0];
    const cVec3& q = t.vertex[1];
    const cVec3& s = t.vertex[2];
    // A triangle on one line covers no pixels; it keeps the zero normal rather than NaNs, and
    // its normal line (of zero length) is drawn like any other.
    const cVec3 u = UnitNormal(t);
    glBegin(GL_TRIANGLES);
    glNormal3f(u.x, u.y, u.z);
    glVertex3f(p.x, p.y, p.z);
    glVertex3f(q.x, q.y, q.z);
    glVertex3f(s.x, s.y, s.z);
    glEnd();
    if (frameFlags.showNormals) {
      const cVec3 m((s.x + q.x + p.x) * kThird, (s.y + q.y + p.y) * kThird,
                    (s.z + q.z + p.z) * kThird);
      glBegin(GL_LINES);
      glColor3f(0.0f, 0.0f, 0.0f);
      glVertex3f(m.x, m.y, m.z);
      glColor3f(1.0f, 1.0f, 1.0f);
      glVertex3f(m.x + u.x, m.y + u.y, m.z + u.z);
      glEnd();
      glColor3f(r, g, b);
    }
  }
  glColor3f(1.0f, 1.0f, 1.0f);
}

void DrawMesh(cMesh& mesh) {
  if (!mesh.components.empty()) {
    mesh.components.back()->Draw();
    return;
  }
  DrawColorTriangles(mesh.triangles, mesh.color);
  if (frameFlags.showBoundBox) DrawBox(mesh.box);
}

void DrawDecomposition(cDecomposition& decomposition) {
  if (!decomposition.hulls.empty()) {
    for (auto& hull : decomposition.hulls) hull->Draw();
    return;
  }
  for (const auto& piece : decomposition.pieces) {
    if (frameFlags.showBoundBox) {
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
  DrawFrameList(hull.visibleFaces, 1.0f, 0.0f, 0.0f);
  DrawPoint(hull.currentPoint.x, hull.currentPoint.y, hull.currentPoint.z, 10.0f, 0.0f, 0.0f, 1.0f);
  if (frameFlags.showBoundBox) DrawBox(hull.box);
}

void InstallDrawHooks() {
  DrawHooks().drawMesh = &DrawMesh;
  DrawHooks().drawDecomposition = &DrawDecomposition;
  DrawHooks().drawHullResult = [](cMeshComponent& hull) {
    DrawHullResult(static_cast<cHullResult&>(hull));
  };
}

void DrawScene(const cSceneView& view) {
  const GLfloat grey[4] = {0.5f, 0.5f, 0.5f, 1.0f};
  const GLfloat eyeLight[4] = {view.eye.x, view.eye.y, view.eye.z, 1.0f};
  const GLfloat circlingLight[4] = {10.0f * std::cos(view.lightAngle), 0.0f,
                                    10.0f * std::sin(view.lightAngle), 1.0f};

  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glColor3f(1.0f, 1.0f, 1.0f);
  glLightfv(GL_LIGHT0, GL_AMBIENT, grey);
  glLightfv(GL_LIGHT0, GL_SPECULAR, grey);
  glLightfv(GL_LIGHT1, GL_AMBIENT, grey);
  glLightfv(GL_LIGHT1, GL_SPECULAR, grey);
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  glLightfv(GL_LIGHT0, GL_POSITION, eyeLight);
  glLightfv(GL_LIGHT1, GL_POSITION, circlingLight);

  if (view.showAxis) {
    glPushAttrib(GL_DEPTH_BUFFER_BIT);
    glPushMatrix();
    glLoadIdentity();
    glBegin(GL_LINES);
    glColor3f(1.0f, 0.0f, 0.0f);
    glVertex3f(0.0f, 0.0f, 0.0f);
    glVertex3f(10.0f, 0.0f, 0.0f);
    glColor3f(0.0f, 1.0f, 0.0f);
    glVertex3f(0.0f, 0.0f, 0.0f);
    glVertex3f(0.0f, 10.0f, 0.0f);
    glColor3f(0.0f, 0.0f, 1.0f);
    glVertex3f(0.0f, 0.0f, 0.0f);
    glVertex3f(0.0f, 0.0f, 10.0f);
    glEnd();
    glPopMatrix();
    glPopAttrib();
    glColor3f(1.0f, 1.0f, 1.0f);
  }

  glTranslatef(-view.offset.x, -view.offset.y, -view.offset.z);
  glEnable(GL_LIGHTING);
  glEnable(GL_LIGHT0);
  glEnable(GL_LIGHT1);
  if (view.modelGeneration == 0 || view.modelGeneration != listCache.generation) {
    DropCachedLists();
    listCache.generation = view.modelGeneration;
  }
  frameFlags = cFrameFlags{view.showBoundBox, view.showNormals};
  frameGeneration = view.modelGeneration;
  if (view.mesh != nullptr) view.mesh->Draw();
  if (frameGeneration != 0) listArena.Trim();
  frameGeneration = 0;
  frameFlags = cFrameFlags();
  glDisable(GL_LIGHTING);
  glFinish();
  glFlush();
}

void ReleaseDrawCache() {
  DropCachedLists();
  listArena.Trim();
}

void SetListDrawing(cListDrawing mode) {
  listDrawing = mode;
}

std::size_t CachedListCount() {
  return listCache.entries.size();
}

void ApplyView(const cVec3& eye, int width, int height, double nearPlane, double farPlane) {
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  gluPerspective(45.0, static_cast<double>(width) / static_cast<double>(height), nearPlane,
                 farPlane);
  gluLookAt(eye.x, eye.y, eye.z, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0);
  glShadeModel(GL_SMOOTH);
  glEnable(GL_DEPTH_TEST);
  glClearDepth(1.0);
  glDepthFunc(GL_LEQUAL);
  glEnable(GL_COLOR_MATERIAL);
  glClearColor(0.5f, 0.5f, 0.5f, 1.0f);
  glEnable(GL_CULL_FACE);
  glCullFace(GL_BACK);
  glFrontFace(GL_CCW);
}

void SetViewport(int width, int height) {
  glViewport(0, 0, width, height);
}

void SetPolygonMode(cPolygonMode mode) {
  switch (mode) {
    case cPolygonMode::Fill:
      glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
      break;
    case cPolygonMode::Line:
      glPolygonMode(GL_FRONT_AND_BACK, GL_LINE);
      break;
    case cPolygonMode::Point:
      glPolygonMode(GL_FRONT_AND_BACK, GL_POINT);
      break;
  }
}

unsigned BuildFontLists(const std::vector<cGlyphBitmap>& glyphs) {
  const GLuint base = glGenLists(kFontGlyphCount);
  if (base == 0) return 0;
  glPushClientAttrib(GL_CLIENT_PIXEL_STORE_BIT);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  for (int i = 0; i < kFontGlyphCount; ++i) {
    glNewList(base + static_cast<GLuint>(i), GL_COMPILE);
    if (static_cast<std::size_t>(i) < glyphs.size()) {
      const cGlyphBitmap& g = glyphs[static_cast<std::size_t>(i)];
      const bool hasBits = g.width > 0 && g.height > 0 &&
                           g.bits.size() >= static_cast<std::size_t>((g.width + 7) / 8 * g.height);
      glBitmap(hasBits ? g.width : 0, hasBits ? g.height : 0, g.originX, g.originY, g.advance, 0.0f,
               hasBits ? g.bits.data() : nullptr);
    }
    glEndList();
  }
  glPopClientAttrib();
  return base;
}

void DeleteFontLists(unsigned base) {
  if (base != 0) glDeleteLists(base, kFontGlyphCount);
}

void PrintText(unsigned fontListBase, const char* format, ...) {
  if (format == nullptr) return;
  char text[256];
  std::memset(text, 0, sizeof text);
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  glPushAttrib(GL_LIST_BIT);
  glListBase(fontListBase - kFontFirstChar);
  glCallLists(static_cast<GLsizei>(std::strlen(text)), GL_UNSIGNED_BYTE, text);
  glPopAttrib();
}

void DrawBusyScreen(int width, int height, unsigned fontListBase) {
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  gluPerspective(45.0, static_cast<double>(width) / static_cast<double>(height), 1.0, 1000.0);
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glColor3f(0.7f, 0.9f, 0.8f);
  glRasterPos3f(-0.3f, -0.1f, -1.0f);
  PrintText(fontListBase, "Please Wait...");
  glColor3f(1.0f, 1.0f, 1.0f);
  glFinish();
  glFlush();
}
