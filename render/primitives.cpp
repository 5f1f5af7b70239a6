#include "render/render.h"

#include <GL/gl.h>

#include <cmath>

#include "frame_internal.h"
#include "primitives_internal.h"

namespace {

// The float nearest 1/3, for the centroid of a triangle.
constexpr float kThird = 0.33333334f;

}  // namespace

cVec3 UnitNormal(const cTriangle& t) {
  const cVec3 n = Normal(t);
  const float len = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
  return len > 0.0f ? cVec3(n.x / len, n.y / len, n.z / len) : cVec3();
}

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
  const cFrame* frame = CurrentFrame();
  const bool showNormals = frame != nullptr && frame->showNormals;
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
    if (showNormals) {
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
