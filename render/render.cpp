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
#include <numbers>
#include <tuple>
#include <vector>

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
// A run of consecutive triangles of a list, with what a frame needs to know that the GL would
// cull every one of them as back-facing: a sphere holding their corners and a cone holding
// their normals. Doubles, from the float corners.
constexpr std::size_t kChunkTriangles = 64;
struct cChunk {
  double center[3];
  double radius;
  double axis[3];           // unit; the normals lie within the half angle of it
  double cosHalf, sinHalf;  // of the cone's half angle
  double sinHalfAndMargin;  // of the half angle plus kCullMargin
  double minHeight;         // the smallest height of a triangle over its longest edge
  bool cullable;            // false: a triangle on one line, a corner not finite, a wide cone
};
struct cCachedList {
  cLitVertex* triangles = nullptr;  // 3 per triangle, in listArena
  std::vector<cChunk> chunks;       // kChunkTriangles triangles each, the last one the rest
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

cVec3 UnitNormal(const cTriangle& t);
bool IsZero(const cVec3& v) {
  return v.x == 0.0f && v.y == 0.0f && v.z == 0.0f;
}

// What a frame reads once to skip chunks the GL would cull anyway. Facing in window coordinates
// follows from the clip coordinates' x, y and w rows: with B their 3 x 3 part and e the eye
// (where all three vanish), a triangle's window area has the sign of det(B) times
// dot(normal, corner - e) wherever w > 0.
struct cCullFrame {
  bool active = false;  // chunks may be skipped in this frame
  double eye[3] = {};   // in the coordinates the lists are drawn in
  double away = 1.0;    // sign: culled where away * dot(normal, corner - eye) > 0
  double w[3] = {};     // the w row's 3 x 3 part: depth along the view, w = dot(w, p - eye)
  double wLength = 0.0;
  double pixelsPerUnit = 0.0;   // at w = 1, across the view
  double minPixelHeight = 0.0;  // of a skipped triangle on screen
};
cCullFrame cullFrame;
std::size_t skippedChunks = 0;  // in the frame drawn last

// An angle a chunk must be back-facing by beyond the exact test, against rounding in the
// GL's facing decision.
constexpr double kCullMargin = 3.0 * 3.14159265358979323846 / 180.0;
// The least height a skipped triangle keeps on screen, in steps of the rasteriser's subpixel
// grid: snapping each corner by up to half a step moves twice the area by less than about 8.5
// half steps times the longest edge, so a triangle higher than that cannot turn around.
constexpr double kMinHeightInSteps = 16.0;

// Reads the culling state, the matrices and the viewport of the frame once.
cCullFrame ReadCullFrame() {
  cCullFrame f;
  GLint renderMode = 0, cullMode = 0, frontFace = 0;
  glGetIntegerv(GL_RENDER_MODE, &renderMode);
  glGetIntegerv(GL_CULL_FACE_MODE, &cullMode);
  glGetIntegerv(GL_FRONT_FACE, &frontFace);
  if (!glIsEnabled(GL_CULL_FACE) || renderMode != GL_RENDER ||
      (cullMode != GL_BACK && cullMode != GL_FRONT) || (frontFace != GL_CCW && frontFace != GL_CW))
    return f;
  GLfloat p[16], mv[16];
  GLint viewport[4];
  GLint subpixelBits = 0;
  glGetIntegerv(GL_SUBPIXEL_BITS, &subpixelBits);
  f.minPixelHeight = kMinHeightInSteps * std::ldexp(1.0, -std::clamp(subpixelBits, 0, 16));
  glGetFloatv(GL_PROJECTION_MATRIX, p);
  glGetFloatv(GL_MODELVIEW_MATRIX, mv);
  glGetIntegerv(GL_VIEWPORT, viewport);
  double m[4][4];  // m[row][column] of projection times modelview
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) {
      double sum = 0.0;
      for (int k = 0; k < 4; ++k) sum += double{p[k * 4 + r]} * double{mv[c * 4 + k]};
      m[r][c] = sum;
    }
  const int rows[3] = {0, 1, 3};
  double b[3][3], t[3];
  for (int i = 0; i < 3; ++i) {
    for (int c = 0; c < 3; ++c) b[i][c] = m[rows[i]][c];
    t[i] = m[rows[i]][3];
  }
  // Cofactors give the inverse: e = -B^-1 t.
  double cof[3][3];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      const int i1 = (i + 1) % 3, i2 = (i + 2) % 3, j1 = (j + 1) % 3, j2 = (j + 2) % 3;
      cof[i][j] = b[i1][j1] * b[i2][j2] - b[i1][j2] * b[i2][j1];
    }
  const double det = b[0][0] * cof[0][0] + b[0][1] * cof[0][1] + b[0][2] * cof[0][2];
  double scale = 0.0;
  for (auto& row : b)
    for (double v : row) scale = std::max(scale, std::abs(v));
  if (!std::isfinite(det) || std::abs(det) <= 1e-9 * scale * scale * scale) return f;
  for (int c = 0; c < 3; ++c) {
    double sum = 0.0;
    for (int i = 0; i < 3; ++i) sum += cof[i][c] * t[i];  // (B^-1)[c][i] = cof[i][c] / det
    f.eye[c] = -sum / det;
  }
  double sign = det < 0 ? 1.0 : -1.0;  // the usual camera has det(B) < 0: back faces point away
  if (frontFace == GL_CW) sign = -sign;
  if (cullMode == GL_FRONT) sign = -sign;
  f.away = sign;
  for (int c = 0; c < 3; ++c) f.w[c] = b[2][c];
  f.wLength = std::sqrt(f.w[0] * f.w[0] + f.w[1] * f.w[1] + f.w[2] * f.w[2]);
  const double xLength = std::sqrt(b[0][0] * b[0][0] + b[0][1] * b[0][1] + b[0][2] * b[0][2]);
  const double yLength = std::sqrt(b[1][0] * b[1][0] + b[1][1] * b[1][1] + b[1][2] * b[1][2]);
  f.pixelsPerUnit = std::min(xLength * viewport[2], yLength * viewport[3]) / 2.0;
  f.active = std::isfinite(f.eye[0]) && std::isfinite(f.eye[1]) && std::isfinite(f.eye[2]) &&
             f.wLength > 0.0 && std::isfinite(f.pixelsPerUnit) && f.pixelsPerUnit > 0.0;
  return f;
}

// Whether the GL culls every triangle of the chunk in this frame, with room to spare: for a
// corner p and a normal n, the angle between away * n and p - eye is at most the cone's half
// angle, plus the angle between the axis and the centre, plus the angle the sphere subtends.
// When that sum stays below a right angle by the margin, every triangle faces away.
bool ChunkCulled(const cChunk& chunk) {
  if (!chunk.cullable) return false;
  const cCullFrame& f = cullFrame;
  const double d[3] = {chunk.center[0] - f.eye[0], chunk.center[1] - f.eye[1],
                       chunk.center[2] - f.eye[2]};
  const double distance = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
  const double r = chunk.radius;
  if (!(distance > 2.0 * r) || !(distance > 0.0)) return false;
  // Wholly in front of the eye (w > 0), where window facing is the side of the plane.
  const double depth = f.w[0] * d[0] + f.w[1] * d[1] + f.w[2] * d[2];
  const double near = depth - r * f.wLength * 1.001;
  if (!(near > 1e-6 * f.wLength * distance)) return false;
  const double c =
      f.away * (chunk.axis[0] * d[0] + chunk.axis[1] * d[1] + chunk.axis[2] * d[2]) / distance;
  if (!(c > 0.0)) return false;
  // With a the angle to the centre plus the one subtended (both below a right angle here, the
  // second at most 30 degrees), the test is a + halfAngle + margin < 90 degrees, that is
  // cos(a) > sin(halfAngle + margin).
  const double sinToCentre = std::sqrt(std::max(0.0, 1.0 - c * c));
  const double sinSubtended = r / distance;
  const double cosSubtended = std::sqrt(1.0 - sinSubtended * sinSubtended);
  const double cosA = c * cosSubtended - sinToCentre * sinSubtended;
  if (!(cosA > chunk.sinHalfAndMargin)) return false;
  // The thinnest triangle, turned away by at least the margin (the sine of what is left of the
  // right angle: cos(a + halfAngle)), as high on screen as its farthest corner allows.
  const double sinA = sinToCentre * cosSubtended + c * sinSubtended;
  const double turned = cosA * chunk.cosHalf - sinA * chunk.sinHalf;
  const double far = depth + r * f.wLength * 1.001;
  return chunk.minHeight * turned * f.pixelsPerUnit / far >= f.minPixelHeight;
}

// The chunks of the triangles' corners, built from the list as drawn.
void BuildChunks(const cTriangleList& list, std::vector<cChunk>& chunks) {
  chunks.clear();
  chunks.reserve((list.size() + kChunkTriangles - 1) / kChunkTriangles);
  for (std::size_t first = 0; first < list.size(); first += kChunkTriangles) {
    const std::size_t last = std::min(list.size(), first + kChunkTriangles);
    cChunk chunk{};
    chunk.cullable = true;
    double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    double sum[3] = {};
    chunk.minHeight = HUGE_VAL;
    for (std::size_t i = first; i < last; ++i) {
      const cTriangle& t = list[i];
      double v[3][3];
      for (int k = 0; k < 3; ++k) {
        v[k][0] = t.vertex[k].x;
        v[k][1] = t.vertex[k].y;
        v[k][2] = t.vertex[k].z;
        for (int a = 0; a < 3; ++a) {
          if (!std::isfinite(v[k][a])) chunk.cullable = false;
          lo[a] = std::min(lo[a], v[k][a]);
          hi[a] = std::max(hi[a], v[k][a]);
        }
      }
      const double e1[3] = {v[1][0] - v[0][0], v[1][1] - v[0][1], v[1][2] - v[0][2]};
      const double e2[3] = {v[2][0] - v[0][0], v[2][1] - v[0][1], v[2][2] - v[0][2]};
      const double e3[3] = {v[2][0] - v[1][0], v[2][1] - v[1][1], v[2][2] - v[1][2]};
      const double n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                           e1[0] * e2[1] - e1[1] * e2[0]};
      const double len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
      auto norm = [](const double* e) {
        return std::sqrt(e[0] * e[0] + e[1] * e[1] + e[2] * e[2]);
      };
      const double longest = std::max({norm(e1), norm(e2), norm(e3)});
      if (!(len > 0.0) || !std::isfinite(len) || IsZero(UnitNormal(t))) {
        chunk.cullable = false;
        continue;
      }
      chunk.minHeight = std::min(chunk.minHeight, len / longest);
      for (int a = 0; a < 3; ++a) sum[a] += n[a] / len;
    }
    if (chunk.cullable) {
      const double len = std::sqrt(sum[0] * sum[0] + sum[1] * sum[1] + sum[2] * sum[2]);
      if (!(len > 1e-3 * static_cast<double>(last - first))) chunk.cullable = false;
      for (int a = 0; a < 3; ++a) chunk.axis[a] = chunk.cullable ? sum[a] / len : 0.0;
    }
    if (chunk.cullable) {
      double radius2 = 0.0, leastCosine = 1.0;
      for (int a = 0; a < 3; ++a) chunk.center[a] = (lo[a] + hi[a]) / 2;
      for (std::size_t i = first; i < last; ++i) {
        const cTriangle& t = list[i];
        for (const cVec3& p : t.vertex) {
          const double dx = p.x - chunk.center[0], dy = p.y - chunk.center[1],
                       dz = p.z - chunk.center[2];
          radius2 = std::max(radius2, dx * dx + dy * dy + dz * dz);
        }
        const double e1[3] = {double{t.vertex[1].x} - t.vertex[0].x,
                              double{t.vertex[1].y} - t.vertex[0].y,
                              double{t.vertex[1].z} - t.vertex[0].z};
        const double e2[3] = {double{t.vertex[2].x} - t.vertex[0].x,
                              double{t.vertex[2].y} - t.vertex[0].y,
                              double{t.vertex[2].z} - t.vertex[0].z};
        const double n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                             e1[0] * e2[1] - e1[1] * e2[0]};
        const double len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
        const double cosine =
            (n[0] * chunk.axis[0] + n[1] * chunk.axis[1] + n[2] * chunk.axis[2]) / len;
        leastCosine = std::min(leastCosine, std::clamp(cosine, -1.0, 1.0));
      }
      // Room for the rounding of the doubles and of the floats the GL works in.
      const double extent = std::max({std::abs(lo[0]), std::abs(lo[1]), std::abs(lo[2]),
                                      std::abs(hi[0]), std::abs(hi[1]), std::abs(hi[2])});
      chunk.radius = std::sqrt(radius2) * (1.0 + 1e-9) + 1e-6 * extent;
      const double halfAngle = std::acos(leastCosine) + 1e-6;
      if (!(halfAngle + kCullMargin < std::numbers::pi / 2)) chunk.cullable = false;
      chunk.cosHalf = std::cos(halfAngle);
      chunk.sinHalf = std::sin(halfAngle);
      chunk.sinHalfAndMargin = std::sin(halfAngle + kCullMargin);
    }
    chunks.push_back(chunk);
  }
}

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
  BuildChunks(list, entry.chunks);
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
  if (!cullFrame.active) {
    glDrawArrays(GL_TRIANGLES, 0, static_cast<GLsizei>(3 * entry.size));
  } else {
    // Runs of chunks not wholly culled, in the list's order.
    std::size_t runStart = 0;
    auto drawRun = [&](std::size_t end) {
      const std::size_t first = runStart * kChunkTriangles;
      const std::size_t last = std::min(entry.size, end * kChunkTriangles);
      if (last > first)
        glDrawArrays(GL_TRIANGLES, static_cast<GLint>(3 * first),
                     static_cast<GLsizei>(3 * (last - first)));
    };
    for (std::size_t i = 0; i < entry.chunks.size(); ++i) {
      if (!ChunkCulled(entry.chunks[i])) continue;
      ++skippedChunks;
      drawRun(i);
      runStart = i + 1;
    }
    drawRun(entry.chunks.size());
  }
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
  DrawHooks().drawHullResult = &DrawHullResult;
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
  skippedChunks = 0;
  cullFrame = frameGeneration != 0 && listDrawing == cListDrawing::Cached && !view.showNormals
                  ? ReadCullFrame()
                  : cCullFrame();
  if (view.mesh != nullptr) view.mesh->Draw();
  cullFrame = cCullFrame();
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

std::size_t SkippedChunkCount() {
  return skippedChunks;
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
