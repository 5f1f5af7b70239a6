#include "render/render.h"

#include <GL/gl.h>
#include <GL/glu.h>

#include <cmath>

#include "frame_internal.h"
#include "list_cache_internal.h"

namespace {

// The frame in progress: set by DrawScene for as long as it draws the model.
const cFrame* currentFrame = nullptr;

// Makes frame the frame in progress for as long as it lives.
class cFrameScope {
 public:
  explicit cFrameScope(const cFrame& frame) { currentFrame = &frame; }
  ~cFrameScope() { currentFrame = nullptr; }
  cFrameScope(const cFrameScope&) = delete;
  cFrameScope& operator=(const cFrameScope&) = delete;
};

}  // namespace

const cFrame* CurrentFrame() {
  return currentFrame;
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
  cDrawCache::cState* cache = view.cache != nullptr ? &view.cache->State() : nullptr;
  if (cache != nullptr) {
    if (view.modelGeneration == 0 || view.modelGeneration != cache->generation) {
      DropCachedLists(*cache);
      cache->generation = view.modelGeneration;
    }
    cache->skippedChunks = 0;
  }
  cFrame frame;
  frame.showBoundBox = view.showBoundBox;
  frame.showNormals = view.showNormals;
  frame.generation = cache != nullptr ? view.modelGeneration : 0;
  frame.cache = cache;
  if (frame.generation != 0 && cache->drawing == cListDrawing::Cached && !view.showNormals)
    frame.cull = ReadCullFrame();
  if (view.mesh != nullptr) {
    const cFrameScope scope(frame);
    view.mesh->Draw();
  }
  if (frame.generation != 0) cache->arena.Trim();
  glDisable(GL_LIGHTING);
  glFinish();
  glFlush();
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
