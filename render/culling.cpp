#include "culling_internal.h"

#include <GL/gl.h>

#include <algorithm>
#include <cmath>
#include <numbers>

#include "primitives_internal.h"

namespace {

bool IsZero(const cVec3& v) {
  return v.x == 0.0f && v.y == 0.0f && v.z == 0.0f;
}

// An angle a chunk must be back-facing by beyond the exact test, against rounding in the
// GL's facing decision.
constexpr double kCullMargin = 3.0 * 3.14159265358979323846 / 180.0;
// The least height a skipped triangle keeps on screen, in steps of the rasteriser's subpixel
// grid: snapping each corner by up to half a step moves twice the area by less than about 8.5
// half steps times the longest edge, so a triangle higher than that cannot turn around.
constexpr double kMinHeightInSteps = 16.0;

}  // namespace

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
  double eye[3];
  for (int c = 0; c < 3; ++c) {
    double sum = 0.0;
    for (int i = 0; i < 3; ++i) sum += cof[i][c] * t[i];  // (B^-1)[c][i] = cof[i][c] / det
    eye[c] = -sum / det;
  }
  f.eye = cVec3d{eye[0], eye[1], eye[2]};
  double sign = det < 0 ? 1.0 : -1.0;  // the usual camera has det(B) < 0: back faces point away
  if (frontFace == GL_CW) sign = -sign;
  if (cullMode == GL_FRONT) sign = -sign;
  f.away = sign;
  f.w = cVec3d{b[2][0], b[2][1], b[2][2]};
  f.wLength = Length(f.w);
  const double xLength = Length(cVec3d{b[0][0], b[0][1], b[0][2]});
  const double yLength = Length(cVec3d{b[1][0], b[1][1], b[1][2]});
  f.pixelsPerUnit = std::min(xLength * viewport[2], yLength * viewport[3]) / 2.0;
  f.active = std::isfinite(f.eye.x) && std::isfinite(f.eye.y) && std::isfinite(f.eye.z) &&
             f.wLength > 0.0 && std::isfinite(f.pixelsPerUnit) && f.pixelsPerUnit > 0.0;
  return f;
}

// Whether the GL culls every triangle of the chunk in the frame, with room to spare: for a
// corner p and a normal n, the angle between away * n and p - eye is at most the cone's half
// angle, plus the angle between the axis and the centre, plus the angle the sphere subtends.
// When that sum stays below a right angle by the margin, every triangle faces away.
bool ChunkCulled(const cChunk& chunk, const cCullFrame& f) {
  if (!chunk.cullable) return false;
  const cVec3d d = chunk.center - f.eye;
  const double distance = Length(d);
  const double r = chunk.radius;
  if (!(distance > 2.0 * r) || !(distance > 0.0)) return false;
  // Wholly in front of the eye (w > 0), where window facing is the side of the plane.
  const double depth = Dot(f.w, d);
  const double near = depth - r * f.wLength * 1.001;
  if (!(near > 1e-6 * f.wLength * distance)) return false;
  const double c = f.away * Dot(chunk.axis, d) / distance;
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

void BuildChunks(const cTriangleList& list, std::vector<cChunk>& chunks) {
  chunks.clear();
  chunks.reserve((list.size() + kChunkTriangles - 1) / kChunkTriangles);
  for (std::size_t first = 0; first < list.size(); first += kChunkTriangles) {
    const std::size_t last = std::min(list.size(), first + kChunkTriangles);
    cChunk chunk{};
    chunk.cullable = true;
    double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    cVec3d sum;
    chunk.minHeight = HUGE_VAL;
    for (std::size_t i = first; i < last; ++i) {
      const cTriangle& t = list[i];
      for (const cVec3& corner : t.vertex) {
        const double v[3] = {corner.x, corner.y, corner.z};
        for (int a = 0; a < 3; ++a) {
          if (!std::isfinite(v[a])) chunk.cullable = false;
          lo[a] = std::min(lo[a], v[a]);
          hi[a] = std::max(hi[a], v[a]);
        }
      }
      const cVec3d v0 = Widen(t.vertex[0]), v1 = Widen(t.vertex[1]), v2 = Widen(t.vertex[2]);
      const cVec3d e1 = v1 - v0, e2 = v2 - v0, e3 = v2 - v1;
      const cVec3d n = Cross(e1, e2);
      const double len = Length(n);
      const double longest = std::max({Length(e1), Length(e2), Length(e3)});
      if (!(len > 0.0) || !std::isfinite(len) || IsZero(UnitNormal(t))) {
        chunk.cullable = false;
        continue;
      }
      chunk.minHeight = std::min(chunk.minHeight, len / longest);
      sum = sum + n / len;
    }
    if (chunk.cullable) {
      const double len = Length(sum);
      if (!(len > 1e-3 * static_cast<double>(last - first))) chunk.cullable = false;
      chunk.axis = chunk.cullable ? sum / len : cVec3d{};
    }
    if (chunk.cullable) {
      double radius2 = 0.0, leastCosine = 1.0;
      chunk.center = cVec3d{(lo[0] + hi[0]) / 2, (lo[1] + hi[1]) / 2, (lo[2] + hi[2]) / 2};
      for (std::size_t i = first; i < last; ++i) {
        const cTriangle& t = list[i];
        for (const cVec3& p : t.vertex)
          radius2 = std::max(radius2, SquaredLength(Widen(p) - chunk.center));
        const cVec3d v0 = Widen(t.vertex[0]);
        const cVec3d n = Cross(Widen(t.vertex[1]) - v0, Widen(t.vertex[2]) - v0);
        const double cosine = Dot(n, chunk.axis) / Length(n);
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
